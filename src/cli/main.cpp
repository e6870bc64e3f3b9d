// sph2wav: converts NIST SPHERE files, or whole trees of them, to WAV or raw
// PCM with the same core as the korrin_native module. Run under the name
// sph2pipe (the wheel installs a copy of that name; a link does the same),
// it takes sph2pipe's command line instead.
#include <cstdio>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "cli/front/data_dir.hpp"
#include "cli/front/sph2pipe.hpp"
#include "cli/front/sph2wav.hpp"
#include "cli/front/sph2wav_options.hpp"
#include "cli/info/info.hpp"
#include "cli/run/process.hpp"

namespace {

int complain(const char* what) {
    std::fprintf(stderr, "sph2wav: %s\n", what);
    return korrin::cli::exit_failed;
}

int bad_usage(const std::string& why) {
    std::fprintf(stderr, "sph2wav: %s\n%sTry 'sph2wav --help' for more information.\n", why.c_str(),
                 korrin::cli::usage_line);
    return korrin::cli::exit_usage;
}

// True when the last component of `path` is `name`.
bool invoked_as(std::string_view path, std::string_view name) {
    const std::size_t slash = path.rfind('/');
    return path.substr(slash == std::string_view::npos ? 0 : slash + 1) == name;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace korrin::cli;
    // Before anything is opened: a closed standard descriptor would be
    // taken by the first file opened, which would then receive reports.
    if (!open_standard_descriptors()) return exit_failed;
    const std::span<const char* const> args(argv + (argc > 0 ? 1 : 0),
                                            static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
    if (argc > 0 && invoked_as(argv[0], "sph2pipe")) {
        try {
            return sph2pipe_main(args);
        } catch (const std::bad_alloc&) {
            std::fputs("sph2pipe: out of memory\n", stderr);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sph2pipe: %s\n", e.what());
        }
        return exit_failed;
    }
    try {
        const Command command = parse_command_line(args);
        switch (command.action) {
            case Action::Help:
                std::fputs(help_text, stdout);
                return std::fflush(stdout) == 0 ? exit_converted : exit_failed;
            case Action::Version:
                std::fputs("sph2wav " KORRIN_VERSION "\n", stdout);
                return std::fflush(stdout) == 0 ? exit_converted : exit_failed;
            case Action::BadUsage: return bad_usage(command.error);
            case Action::Convert: break;
        }
        Options options = command.options;
        if (auto valid = validate(options); !valid) return bad_usage(valid.error().message);
        if (!options.wav_scp.empty()) return run_data_dir(options);
        return options.info ? run_info(options) : run_sph2wav(options);
    } catch (const std::bad_alloc&) {
        return complain("out of memory");
    } catch (const std::exception& e) {
        return complain(e.what());
    }
}

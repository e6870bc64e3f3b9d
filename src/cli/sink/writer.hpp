// Output that appears under its final name complete or not at all.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/bytes.hpp"
#include "input/input_file.hpp"
#include "sphere/sphere.hpp"

namespace korrin::cli {

inline constexpr std::string_view sphere_magic = sphere::kMagic;

using input::describe;
using input::FileIdentity;
using input::InputFile;

enum class WriteStatus {
    Written,
    Failed,   // with a message
    Stopped,  // the run is being interrupted
    Exists,   // the name was taken before the file could have it: nothing was written
};

// Writes each output to a temporary file in its own directory and gives it
// its name once complete. The temporary file has no name where the file
// system allows (O_TMPFILE, then linkat into place), so that not even
// SIGKILL can leave it behind; elsewhere it is named ".NAME.tmp-RANDOM",
// with a fresh random part on every collision, so that temporaries left by
// an earlier run never block a conversion. Each writing thread has a slot
// of its own that holds its named temporary from creation to rename, so
// that `abandon` and a crash handler can remove them all; the threads never
// wait for one another.
class OutputWriter {
public:
    OutputWriter(bool replace_existing, std::size_t slots)
        : replace_existing_(replace_existing), slots_(slots) {}
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Writes `bytes` and gives the result the name `path`, making the parent
    // directories when missing; without `replace_existing`, an existing file
    // at `path` fails the write and stays as it was. On failure `error` tells
    // why and nothing is left behind. No two threads may use one `slot` at
    // the same time.
    WriteStatus write(std::size_t slot, const std::filesystem::path& path, ByteView bytes,
                      std::string& error);

    // Has `arm` called once, in the writing thread, before the first named
    // temporary file comes into being (O_TMPFILE missing, or an existing
    // file replaced): a run without its own signal handling installs the
    // handlers that remove named temporaries there, and only then.
    void on_first_name(void (*arm)(OutputWriter&)) noexcept { arm_ = arm; }

    // Removes every temporary file in flight and stops all further creation
    // and renaming: for an interrupted run, just before the process ends.
    void abandon() noexcept;

    // Removes the named temporaries in flight without taking any lock:
    // async-signal-safe, for a crash handler. A file renamed meanwhile is
    // not touched; the process must end right after.
    void remove_named_temporaries() noexcept;

private:
    static constexpr std::size_t max_crash_name = 4096;  // PATH_MAX

    struct Slot {
        std::mutex mutex;  // held across the creation and the rename
        std::string temp;  // the named file in flight, or empty
        // The same name for the crash handler, valid while `named` is set.
        std::atomic<bool> named{false};
        // Set while a new name may appear (see begin_naming).
        std::atomic<bool> naming{false};
        char crash_name[max_crash_name] = {};
    };

    int create_unnamed(Slot& slot, const std::filesystem::path& dir);
    int create_named(Slot& slot, const std::filesystem::path& dir,
                     const std::filesystem::path& path);
    int link_unnamed(Slot& slot, int fd, const std::filesystem::path& dir,
                     const std::filesystem::path& path);
    int rename_temp(Slot& slot, const std::filesystem::path& path);
    void set_temp(Slot& slot, std::string temp) noexcept;
    bool begin_naming(Slot& slot) noexcept;
    void drop_temp(Slot& slot);

    bool replace_existing_;
    void (*arm_)(OutputWriter&) = nullptr;
    std::atomic<bool> armed_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> crashing_{false};
    std::vector<Slot> slots_;
};

}  // namespace korrin::cli

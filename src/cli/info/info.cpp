#include "cli/info/info.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "cli/plan/tree.hpp"
#include "cli/report/report.hpp"
#include "common/text.hpp"
#include "format/format.hpp"
#include "input/standard_input.hpp"
#include "shorten/shorten.hpp"

namespace korrin::cli {

namespace {

std::string errno_text() { return input::describe(std::error_code(errno, std::generic_category())); }

// `seconds` with six decimals, rounded to the nearest, exactly.
std::string decimal_seconds(std::uint64_t frames, std::uint64_t rate) {
    __extension__ using Wide = unsigned __int128;
    const Wide micros = (Wide{frames} * 1'000'000 + rate / 2) / rate;
    const auto whole = static_cast<std::uint64_t>(micros / 1'000'000);
    const auto rest = static_cast<unsigned>(micros % 1'000'000);
    char text[16];
    std::snprintf(text, sizeof text, ".%06u", rest);
    return std::to_string(whole) + text;
}

// A value as it stands, or in quotes with escapes when it holds anything
// that would not show as itself on a line.
std::string shown(std::string_view value) {
    std::string quoted = quote(value);
    if (quoted.size() == value.size() + 2 && quoted.find('\\') == std::string::npos) return std::string(value);
    return quoted;
}

// `text` as a JSON string. Header values are UTF-8 already; a file name
// that is not has each byte from 0x80 on written as the code point of that
// value, so that the line stays valid JSON.
void append_json_string(std::string& out, std::string_view text) {
    const bool utf8 = is_well_formed_utf8(text);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

std::vector<Fact> derived_facts(const sphere::SphereHeader& header, std::uint64_t payload_bytes, ByteView payload) {
    // The header has passed validation: these are integers, at least 1
    // (sample_count at least 0).
    const auto channels = static_cast<std::uint64_t>(*header.int_("channel_count"));
    const auto rate = static_cast<std::uint64_t>(*header.int_("sample_rate"));
    const Result<format::Format> format = format::format_of(header, payload_bytes, format::Reader::Files);
    // The frames a conversion takes (a sample_count that counts every
    // channel's samples is read as frames).
    const std::uint64_t frames = format ? format->frames : static_cast<std::uint64_t>(*header.int_("sample_count"));
    std::vector<Fact> facts = {
        {"codec", format ? std::string(format::codec_name(*format)) : "unsupported", false},
    };
    // As korrin.info tells them: the stored width, and a linear coding's
    // byte order.
    if (format) {
        facts.push_back({"sample_width", std::to_string(format::sample_width(*format)), true});
        if (format->coding == format::Coding::Linear16 || format->coding == format::Coding::Linear32)
            facts.push_back({"byte_order", format->big_endian ? "big" : "little", false});
    }
    facts.insert(facts.end(), {
                                  {"channels", std::to_string(channels), true},
                                  {"rate", std::to_string(rate), true},
                                  {"frames", std::to_string(frames), true},
                                  {"duration", decimal_seconds(frames, rate), true},
                              });
    // The labels and stream versions conversion takes; a version the
    // decoder refuses shows as what it is, for the refusal to explain.
    if (format && format->compressed()) {
        facts.push_back({"shorten_label", format->shorten_label, false});
        if (const auto version = shorten::stream_version(payload))
            facts.push_back({"shorten_version", std::to_string(*version), true});
    }
    return facts;
}

std::string info_text(std::string_view name, const std::vector<sphere::FieldLine>& lines,
                      const std::vector<Fact>& facts) {
    std::size_t name_width = 0, type_width = 0, fact_width = 0;
    for (const auto& line : lines) {
        name_width = std::max(name_width, line.name.size());
        type_width = std::max(type_width, line.type.size());
    }
    for (const auto& fact : facts) fact_width = std::max(fact_width, fact.name.size() + 1);

    std::string out(name);
    out += "\n";
    for (const auto& line : lines) {
        out.append("  ").append(line.name).append(name_width - line.name.size() + 2, ' ');
        out.append(line.type).append(type_width - line.type.size() + 2, ' ');
        out.append(shown(line.value)).append("\n");
    }
    for (const auto& fact : facts) {
        out.append("  ").append(fact.name).append(":").append(fact_width - fact.name.size() + 1, ' ');
        out.append(fact.value).append("\n");
    }
    return out;
}

std::string info_json(std::string_view name, const std::vector<sphere::FieldLine>& lines,
                      const std::vector<Fact>& facts) {
    std::string out = "{\"file\":";
    append_json_string(out, name);
    out += ",\"fields\":[";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += i == 0 ? "{\"name\":" : ",{\"name\":";
        append_json_string(out, lines[i].name);
        out += ",\"type\":";
        append_json_string(out, lines[i].type);
        out += ",\"value\":";
        append_json_string(out, lines[i].value);
        out += "}";
    }
    out += "]";
    for (const auto& fact : facts) {
        out += ",";
        append_json_string(out, fact.name);
        out += ":";
        if (fact.number)
            out += fact.value;
        else
            append_json_string(out, fact.value);
    }
    out += "}\n";
    return out;
}

int run_info(const Options& options) {
    ::signal(SIGPIPE, SIG_IGN);  // a reader that goes away shows as EPIPE
    Reporter reporter(true, false, Reporter::Clock::now());
    bool any_failed = false;
    bool first_block = true;

    auto show = [&](const TreeJob& job) -> bool {  // false: standard output is gone
        const auto fail = [&](const std::string& message) {
            reporter.failure(job.input.string(), message);
            any_failed = true;
            return true;
        };
        ByteBuffer head;  // the header region, and perhaps more of the file
        sphere::SphereHeader header;
        std::vector<sphere::FieldLine> lines;
        std::uint64_t job_size = 0;
        if (options.from_stdin) {
            auto whole = input::read_standard_input(input::standard_input_limit);
            if (!whole) return fail(whole.error().message);
            head = std::move(whole->bytes);
            auto read = sphere::read_header(head, head.size(), &lines);
            if (!read) return fail(read.error().message);
            header = std::move(*read);
        } else {
            input::InputFile input;
            if (auto opened = input.open(job.input); !opened) return fail(opened.error().message);
            if (job.sniff && !input.has_sphere_magic()) return true;  // not a SPHERE file: not listed
            auto read = input.read_header(&lines, &head);
            if (!read) return fail(read.error().message);
            header = std::move(*read);
            job_size = input.size();
        }
        const std::uint64_t file_size = options.from_stdin ? head.size() : job_size;
        const std::string name = options.from_stdin ? "-" : job.input.string();
        const std::vector<Fact> facts = derived_facts(
            header, file_size - header.header_size, head.view().subspan(static_cast<std::size_t>(header.header_size)));
        std::string block;
        if (options.json) {
            block = info_json(name, lines, facts);
        } else {
            if (!first_block) block.push_back('\n');  // a blank line between blocks
            block.append(info_text(name, lines, facts));
        }
        first_block = false;
        std::string_view rest = block;
        while (!rest.empty()) {
            const ssize_t put = ::write(STDOUT_FILENO, rest.data(), rest.size());
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && errno == EPIPE) return false;
            if (put <= 0) {
                reporter.failure("standard output", "cannot write: " + errno_text());
                return false;
            }
            rest.remove_prefix(static_cast<std::size_t>(put));
        }
        return true;
    };

    if (options.from_stdin) {
        const bool open = show({"standard input", {}, false});
        return any_failed || !open ? 1 : 0;
    }
    const TreePlan plan = find_inputs(options.inputs);
    for (const auto& failure : plan.failures) reporter.failure(failure.path, failure.message);
    any_failed = !plan.failures.empty();
    for (const TreeJob& job : plan.jobs)
        if (!show(job)) return 1;
    return any_failed ? 1 : 0;
}

}  // namespace korrin::cli

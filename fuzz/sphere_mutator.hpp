// A structure-aware mutator for SPHERE files: instead of flipping bytes, it
// edits the header as a list of field lines (values, type markers,
// separators, duplicates, missing fields, the size line) and mutates the
// payload on its own, so that most mutants get past the header reader and
// reach the decoders. One mutation in four is left to libFuzzer's byte-level
// mutator, so the reader's own error paths keep being explored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace korrin::fuzz {

struct SphereParts {
    std::string magic_line = "NIST_1A";
    std::vector<std::string> lines;  // field lines (and anything else) before end_head
    std::string filler;              // after "end_head\n", inside the header region
    std::string payload;
    bool crlf = false;
    bool pad_to_1024 = true;
};

inline constexpr std::string_view kFieldNames[] = {
    "sample_count",  "sample_rate",     "channel_count",   "sample_n_bytes", "sample_byte_format",
    "sample_coding", "sample_sig_bits", "sample_checksum", "database_id",    "end_head",
};

inline constexpr std::string_view kIntegers[] = {
    "0",
    "1",
    "2",
    "3",
    "4",
    "8",
    "16",
    "-1",
    "-2",
    "+5",
    "007",
    "-0",
    "255",
    "256",
    "257",
    "8000",
    "16000",
    "20000",
    "37120",
    "65535",
    "65536",
    "2147483647",
    "2147483648",
    "4294967295",
    "4294967296",
    "4611686018427387903",
    "4611686018427387904",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "18446744073709551616",
    "",
    "+",
    "-",
    "1e3",
    "16k",
    "1 0",
    "0x10",
    "16000.0",
};

inline constexpr std::string_view kCodings[] = {
    "pcm",
    "PCM",
    "ulaw",
    "mulaw",
    "mu-law",
    "MU-LAW",
    "alaw",
    "a-law",
    "A-Law",
    "pcm,embedded-shorten-v2.00",
    "ulaw,embedded-shorten-v2.00",
    ",embedded-shorten-v2.00",
    "PCM , Embedded-Shorten-V2.00",
    "embedded-shorten-v2.00",
    "pcm,",
    "pcm,,embedded-shorten-v2.00",
    "pcm,shorten",
    "",
    "pcm,embedded-shorten-v2.00,extra",
    "\xc2\xa0pcm\xe3\x80\x80",
};

inline constexpr std::string_view kByteFormats[] = {"01", "10", "1", "", "0123", "3210", "big", "10 "};

inline constexpr std::string_view kMarkers[] = {"-i",  "-r",      "-s", "-s5", "-s1024", "-i4",
                                                "-r8", "-string", "-",  "-x",  "i",      "--"};

inline constexpr std::string_view kSeparators[] = {
    " ", "\t", "  ", " \t ", "\xc2\xa0", "\xe3\x80\x80", "\xe2\x80\xa8", "\r", "\x0b"};

inline constexpr std::string_view kOddLines[] = {
    "",         "   ",      ";; a comment", ";;",   "end_head extra",       "sample_rate", "sample_rate 16000",
    "x -r nan", "x -r -.5", "x -r 1,5",     "x -s", "Sample_Rate -i 16000", "\xff\xfe",    "caf\xc3\xa9 -s2 \xc3\xa9",
};

class Rng {
  public:
    explicit Rng(unsigned seed) : engine_(seed) {}
    std::size_t below(std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
    }
    bool one_in(std::size_t n) { return below(n) == 0; }
    template <class T, std::size_t N>
    std::string_view pick(const T (&items)[N]) {
        return items[below(N)];
    }

  private:
    std::minstd_rand engine_;
};

// Splits a file into its parts; false when it does not look like SPHERE.
inline bool split_sphere(std::string_view file, SphereParts& parts) {
    const std::size_t first = file.find('\n');
    if (!file.starts_with("NIST_1A") || first == std::string_view::npos) return false;
    const std::size_t second = file.find('\n', first + 1);
    if (second == std::string_view::npos) return false;
    std::size_t header_size = 0;
    for (char c : file.substr(first + 1, second - first - 1)) {
        if (c >= '0' && c <= '9') header_size = header_size * 10 + static_cast<std::size_t>(c - '0');
        if (header_size > file.size()) return false;
    }
    if (header_size <= second) return false;
    parts.magic_line = std::string(file.substr(0, first));
    parts.payload = std::string(file.substr(header_size));
    std::string_view body = file.substr(second + 1, header_size - second - 1);
    parts.crlf = body.find("\r\n") != std::string_view::npos;
    parts.pad_to_1024 = header_size == 1024;
    while (!body.empty()) {
        const std::size_t lf = body.find('\n');
        std::string_view line = body.substr(0, lf);
        body = lf == std::string_view::npos ? std::string_view() : body.substr(lf + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line == "end_head") {
            parts.filler = std::string(body);
            return true;
        }
        parts.lines.emplace_back(line);
    }
    return false;  // no end_head inside the region
}

inline std::string join_sphere(const SphereParts& parts, long size_error) {
    const std::string eol = parts.crlf ? "\r\n" : "\n";
    std::string body;
    for (const auto& line : parts.lines) body += line + eol;
    body += "end_head" + eol;
    body += parts.filler;
    std::size_t region = parts.magic_line.size() + 1 + body.size();
    // The size line counts itself; settle its width first.
    std::size_t digits = 1;
    for (int round = 0; round < 3; ++round) {
        const std::size_t total = region + digits + 1;
        digits = std::to_string(total).size();
    }
    std::size_t header_size = region + digits + 1;
    if (parts.pad_to_1024 && header_size < 1024) {
        body.append(1024 - header_size - (std::to_string(1024).size() - digits), ' ');
        header_size = 1024;
    }
    const long declared = static_cast<long>(header_size) + size_error;
    return parts.magic_line + "\n" + std::to_string(declared < 1 ? 1 : declared) + "\n" + body + parts.payload;
}

inline std::string make_line(Rng& rng, std::string_view name, std::string_view marker, std::string_view value) {
    std::string line(name);
    line += rng.one_in(8) ? rng.pick(kSeparators) : " ";
    line += marker;
    if (!value.empty() || rng.one_in(2)) {
        line += rng.one_in(8) ? rng.pick(kSeparators) : " ";
        line += value;
    }
    return line;
}

inline std::string_view value_for(Rng& rng, std::string_view name) {
    if (name == "sample_coding") return rng.pick(kCodings);
    if (name == "sample_byte_format") return rng.pick(kByteFormats);
    return rng.pick(kIntegers);
}

inline std::string_view marker_for(Rng& rng, std::string_view name) {
    if (rng.one_in(6)) return rng.pick(kMarkers);
    return name == "sample_coding" || name == "sample_byte_format" ? "-s" : "-i";
}

// Finds the field line naming `name`, or lines.size().
inline std::size_t find_line(const SphereParts& parts, std::string_view name) {
    for (std::size_t i = 0; i < parts.lines.size(); ++i) {
        const std::string_view line = parts.lines[i];
        if (line.starts_with(name) && line.size() > name.size() &&
            (line[name.size()] == ' ' || line[name.size()] == '\t'))
            return i;
    }
    return parts.lines.size();
}

inline std::int64_t field_int(const SphereParts& parts, std::string_view name, std::int64_t fallback) {
    const std::size_t i = find_line(parts, name);
    if (i == parts.lines.size()) return fallback;
    const std::string& line = parts.lines[i];
    const std::size_t last = line.find_last_of(" \t");
    std::int64_t v = 0;
    bool any = false;
    for (std::size_t k = last + 1; k < line.size(); ++k) {
        if (line[k] < '0' || line[k] > '9' || v > (INT64_MAX - 9) / 10) return fallback;
        v = v * 10 + (line[k] - '0');
        any = true;
    }
    return any ? v : fallback;
}

inline void set_field(Rng& rng, SphereParts& parts, std::string_view name, std::string_view value) {
    std::string line = make_line(rng, name, marker_for(rng, name), value);
    const std::size_t i = find_line(parts, name);
    if (i == parts.lines.size())
        parts.lines.insert(parts.lines.begin() + static_cast<long>(rng.below(parts.lines.size() + 1)), std::move(line));
    else
        parts.lines[i] = std::move(line);
}

// Makes sample_count agree with the payload, so that the decoders run.
inline void fit_sample_count(Rng& rng, SphereParts& parts) {
    const std::int64_t channels = std::max<std::int64_t>(1, field_int(parts, "channel_count", 1));
    const std::int64_t width = std::max<std::int64_t>(1, field_int(parts, "sample_n_bytes", 2));
    if (channels > 1 << 16 || width > 16) return;
    const auto count = static_cast<std::int64_t>(parts.payload.size()) / (channels * width);
    const std::string text = std::to_string(count);
    parts.lines.erase(std::remove_if(parts.lines.begin(), parts.lines.end(),
                                     [](const std::string& l) { return l.starts_with("sample_count"); }),
                      parts.lines.end());
    parts.lines.insert(parts.lines.begin(), make_line(rng, "sample_count", "-i", text));
}

inline std::size_t mutate_sphere(std::uint8_t* data, std::size_t size, std::size_t max_size, unsigned seed) {
    Rng rng(seed);
    SphereParts parts;
    const bool structured = split_sphere(std::string_view(reinterpret_cast<const char*>(data), size), parts);
    if (rng.one_in(4) || (!structured && !rng.one_in(4))) return LLVMFuzzerMutate(data, size, max_size);
    if (!structured) {
        // Wrap whatever we have as the payload of a fresh, valid header.
        parts = SphereParts{};
        parts.payload.assign(reinterpret_cast<const char*>(data), size);
        parts.lines = {"sample_rate -i 16000", "channel_count -i 1", "sample_n_bytes -i 2"};
        fit_sample_count(rng, parts);
    }

    long size_error = 0;
    const std::size_t rounds = 1 + rng.below(3);
    for (std::size_t round = 0; round < rounds; ++round) {
        switch (rng.below(12)) {
            case 0:
            case 1: {  // a known field gets a new value
                const std::string_view name = rng.pick(kFieldNames);
                set_field(rng, parts, name, value_for(rng, name));
                break;
            }
            case 2: {  // a coding, with the fields that go with it
                set_field(rng, parts, "sample_coding", rng.pick(kCodings));
                if (rng.one_in(2)) set_field(rng, parts, "sample_n_bytes", rng.one_in(2) ? "1" : "2");
                break;
            }
            case 3: {  // a new type marker on an existing line
                if (parts.lines.empty()) break;
                std::string& line = parts.lines[rng.below(parts.lines.size())];
                const std::size_t a = line.find(' ');
                const std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
                if (a != std::string::npos)
                    line = line.substr(0, a + 1) + std::string(rng.pick(kMarkers)) +
                           (b == std::string::npos ? "" : line.substr(b));
                break;
            }
            case 4:  // drop a line
                if (!parts.lines.empty())
                    parts.lines.erase(parts.lines.begin() + static_cast<long>(rng.below(parts.lines.size())));
                break;
            case 5:  // repeat a line (later lines win)
                if (!parts.lines.empty()) parts.lines.push_back(parts.lines[rng.below(parts.lines.size())]);
                break;
            case 6:  // swap two lines
                if (parts.lines.size() > 1)
                    std::swap(parts.lines[rng.below(parts.lines.size())], parts.lines[rng.below(parts.lines.size())]);
                break;
            case 7:  // an odd line or odd layout
                if (rng.one_in(2))
                    parts.lines.insert(parts.lines.begin() + static_cast<long>(rng.below(parts.lines.size() + 1)),
                                       std::string(rng.pick(kOddLines)));
                else if (rng.one_in(2))
                    parts.crlf = !parts.crlf;
                else
                    parts.filler +=
                        rng.one_in(2) ? std::string(rng.pick(kOddLines)) + "\n" : std::string(rng.below(64), ' ');
                break;
            case 8:  // the size line points elsewhere
                size_error = static_cast<long>(rng.below(9)) - 4;
                if (rng.one_in(4)) parts.pad_to_1024 = !parts.pad_to_1024;
                break;
            case 9:
            case 10: {  // payload bytes, header left alone
                const std::size_t old_size = parts.payload.size();
                parts.payload.resize(old_size + 256);
                const std::size_t n = LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(parts.payload.data()), old_size,
                                                       parts.payload.size());
                parts.payload.resize(n);
                break;
            }
            default: fit_sample_count(rng, parts); break;
        }
    }
    if (rng.one_in(3)) fit_sample_count(rng, parts);

    const std::string out = join_sphere(parts, size_error);
    if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

}  // namespace korrin::fuzz

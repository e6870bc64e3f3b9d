// The NIST SPHERE container: the header reader, the field table and its
// typed queries.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace korrin::sphere {

// The first bytes of every SPHERE file.
inline constexpr std::string_view kMagic = "NIST_1A";

// Field name -> value text, looked up by string_view without building a
// std::string. An ordered map: a header of a few dozen fields needs no hash
// table, and no crafted set of names can make its lookups degrade.
using FieldTable = std::map<std::string, std::string, std::less<>>;

// A parsed and validated header. Owns copies of every name and value.
struct SphereHeader {
    FieldTable fields;              // name -> trimmed value text (later lines win)
    std::uint64_t header_size = 0;  // the payload starts at this offset

    // The stored value text of `name`, or null when the header lacks it.
    const std::string* find(std::string_view name) const noexcept;

    // The value of a required integer field ("int" in the format's terms).
    Result<std::int64_t> int_(std::string_view name) const;

    // Checks the four fields every conversion needs.
    Result<void> validate() const;

    // The byte-order code, "1" when the header has none.
    std::string_view sample_byte_format() const noexcept;

    // sample_count x channel_count x sample_n_bytes, overflow-checked.
    Result<std::uint64_t> expected_data_bytes() const;
};

// One field line as the file has it: its name, its type code ("-i", "-r",
// "-s12", ...) and its value, each trimmed.
struct FieldLine {
    std::string name;
    std::string type;
    std::string value;

    friend bool operator==(const FieldLine&, const FieldLine&) = default;
};

struct SphereFile {
    SphereHeader header;
    ByteView payload;  // points into the input given to `read`
};

// Parses the header region (the first header_size bytes of a file) into the
// field table: the UTF-8 check, the line loop and the field lines. With
// `lines`, also lists every field line in the file's order, repeats
// included.
Result<FieldTable> parse(ByteView region, std::vector<FieldLine>* lines = nullptr);

// Reads the header of a file of `file_size` bytes from `head`, its first
// bytes: framing, header fields, validation, as `read` does. When `head`
// holds the whole header region, the outcome is `read`'s for the whole file;
// when it is shorter, it may be an error that the whole file would not give,
// so a caller with a partial `head` reads on before trusting an error.
Result<SphereHeader> read_header(ByteView head, std::uint64_t file_size, std::vector<FieldLine>* lines = nullptr);

// One field of a header, for callers that list them all.
struct HeaderField {
    std::string name;
    std::string value;
    friend bool operator==(const HeaderField&, const HeaderField&) = default;
};

// The fields of a header region in the order their names first appear,
// each with the value the header keeps (that of its last line): what
// `parse` reads, in file order. Fails exactly where `parse` does.
Result<std::vector<HeaderField>> fields_in_order(ByteView region);

// The framing of a file of `file_size` bytes that begins with `head`: the
// magic, the size line and the declared header size, checked as `read`
// checks them and with the same messages; the size returned fits within
// the file. 0 when `head`, shorter than the file, ends before the size
// line does: more of the file is needed to tell.
Result<std::uint64_t> header_size(ByteView head, std::uint64_t file_size);

// Reads a whole SPHERE file: framing, header fields, validation.
Result<SphereFile> read(ByteView data);

}  // namespace korrin::sphere

#include "sphere/sphere.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/checked.hpp"
#include "common/text.hpp"

namespace korrin::sphere {
namespace {

constexpr std::string_view kEndHead = "end_head";

std::string_view as_text(ByteView bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The size line: an optional "+", then digits, anywhere in the unsigned
// 64-bit range.
std::optional<std::uint64_t> parse_header_size(std::string_view text) noexcept {
    if (text.starts_with('+')) text.remove_prefix(1);
    return parse_digits(text);
}

// An optional "+" or "-", then digits, anywhere in the signed 64-bit range.
std::optional<std::int64_t> parse_integer(std::string_view text) noexcept {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    const std::optional<std::uint64_t> magnitude = parse_digits(text);
    if (!magnitude) return std::nullopt;
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (*magnitude > max + (negative ? 1 : 0)) return std::nullopt;
    // Negating in unsigned arithmetic reaches the minimum without overflow.
    return static_cast<std::int64_t>(negative ? 0 - *magnitude : *magnitude);
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != lower[i]) return false;
    }
    return true;
}

// An optional sign, then "inf", "infinity" or "nan" in any case, or a
// decimal number: digits with an optional "." and fraction (at least one
// digit in all) and an optional exponent. Only the form is checked; a
// magnitude beyond a double's range is accepted.
bool is_real(std::string_view text) noexcept {
    if (text.starts_with('+') || text.starts_with('-')) text.remove_prefix(1);
    if (equals_ignoring_ascii_case(text, "inf") || equals_ignoring_ascii_case(text, "infinity") ||
        equals_ignoring_ascii_case(text, "nan"))
        return true;
    std::size_t i = 0;
    std::size_t digits = 0;
    const auto skip_digits = [&] {
        const std::size_t start = i;
        while (i < text.size() && is_digit(text[i])) ++i;
        return i - start;
    };
    digits += skip_digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        digits += skip_digits();
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (skip_digits() == 0) return false;
    }
    return i == text.size();
}

// The pieces of a text split at every LF; the piece after the last LF
// counts, even when empty.
class Lines {
  public:
    explicit Lines(std::string_view text) noexcept : text_(text) {}

    bool next(std::string_view& line) noexcept {
        if (done_) return false;
        const std::size_t lf = text_.find('\n', start_);
        if (lf == std::string_view::npos) {
            line = text_.substr(start_);
            done_ = true;
        } else {
            line = text_.substr(start_, lf - start_);
            start_ = lf + 1;
        }
        return true;
    }

    // Everything after the last piece handed out.
    std::string_view rest() const noexcept { return done_ ? std::string_view{} : text_.substr(start_); }

  private:
    std::string_view text_;
    std::size_t start_ = 0;
    bool done_ = false;
};

[[gnu::cold]] DecodeError not_utf8() { return invalid("SPHERE header is not valid ASCII"); }

[[gnu::cold]] DecodeError malformed_line(std::string_view line) {
    return invalid("malformed SPHERE header line: ", quote(line));
}

// One checked field line: views into the line.
struct CheckedLine {
    std::string_view name;
    std::string_view type;
    std::string_view value;
};

// Checks one field line (trimmed, not empty, not "end_head").
Result<CheckedLine> check_field_line(std::string_view line) {
    const std::optional<WhiteSpaceSplit> name_split = split_at_white_space(line);
    if (!name_split) return malformed_line(line);
    const std::string_view name = name_split->before;
    const std::string_view rest = trim_start(name_split->after);
    if (name.empty() || rest.empty()) return malformed_line(line);

    std::string_view type = rest;
    std::string_view value;
    if (const std::optional<WhiteSpaceSplit> type_split = split_at_white_space(rest)) {
        type = type_split->before;
        value = trim(type_split->after);
    }
    if (type.size() < 2 || type[0] != '-') return invalid("unknown field type in line: ", quote(line));
    switch (type[1]) {
        case 'i':
            if (!parse_integer(value))
                return invalid("field ", quote(name), " declared integer but value is ", quote(value));
            break;
        case 'r':
            if (!is_real(value)) return invalid("field ", quote(name), " declared real but value is ", quote(value));
            break;
        case 's': break;
        default: return invalid("unknown field type ", quote(type), " in line: ", quote(line));
    }
    return CheckedLine{name, type, value};
}

// Reads the header region line by line up to "end_head", handing each
// checked field line to `store` in file order.
template <class Store>
Result<void> walk_fields(ByteView region, Store&& store) {
    // The UTF-8 check covers the whole region, but it is made line by line
    // as the loop reaches each line, so the region is read once. A LF never
    // occurs inside a multi-byte sequence, so this is the same check; and
    // before a field-line error or the end of the loop is reported, whatever
    // the loop has not reached is checked too, since a bad byte anywhere
    // outranks every later error.
    Lines lines(as_text(region));
    std::string_view line;
    for (int skipped = 0; skipped < 2 && lines.next(line); ++skipped)  // magic and size line
        if (!is_well_formed_utf8(line)) return not_utf8();

    while (lines.next(line)) {
        if (!is_well_formed_utf8(line)) return not_utf8();
        const std::string_view trimmed = trim(line);
        if (trimmed.empty()) continue;
        if (trimmed == kEndHead) {
            if (!is_well_formed_utf8(lines.rest())) return not_utf8();
            return ok();
        }
        Result<CheckedLine> field = check_field_line(trimmed);
        if (!field) {
            if (!is_well_formed_utf8(lines.rest())) return not_utf8();
            return std::move(field).error();
        }
        store(*field);
    }
    return invalid("SPHERE header missing 'end_head' terminator");
}

}  // namespace

const std::string* SphereHeader::find(std::string_view name) const noexcept {
    const auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
}

Result<std::int64_t> SphereHeader::int_(std::string_view name) const {
    const std::string* text = find(name);
    if (text == nullptr) return invalid("SPHERE header missing required field: ", name);
    const std::optional<std::int64_t> value = parse_integer(*text);
    if (!value) return invalid("field ", quote(name), " is not an integer");
    return *value;
}

Result<void> SphereHeader::validate() const {
    // Every required field must be present before any value is looked at.
    for (const std::string_view name : {"sample_count", "sample_rate", "channel_count", "sample_n_bytes"})
        if (find(name) == nullptr) return invalid("SPHERE header missing required field: ", name);

    KR_ASSIGN_OR_RETURN(const std::int64_t channel_count, int_("channel_count"));
    if (channel_count < 1) return invalid("channel_count must be >= 1, got ", channel_count);
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_n_bytes, int_("sample_n_bytes"));
    if (sample_n_bytes < 1) return invalid("sample_n_bytes must be >= 1, got ", sample_n_bytes);
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_count, int_("sample_count"));
    if (sample_count < 0) return invalid("sample_count must be >= 0, got ", sample_count);
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_rate, int_("sample_rate"));
    if (sample_rate < 1) return invalid("sample_rate must be >= 1, got ", sample_rate);
    return ok();
}

std::string_view SphereHeader::sample_byte_format() const noexcept {
    const std::string* format = find("sample_byte_format");
    return format == nullptr ? std::string_view("1") : std::string_view(*format);
}

Result<std::uint64_t> SphereHeader::expected_data_bytes() const {
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_count, int_("sample_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t channel_count, int_("channel_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_n_bytes, int_("sample_n_bytes"));
    // A negative factor is refused even when the product would come out
    // positive (two negative factors): no byte count is declared by it.
    // Headers that `read` returns have passed `validate` and never get here.
    std::int64_t all_samples = 0;
    std::int64_t total = 0;
    if (sample_count < 0 || channel_count < 0 || sample_n_bytes < 0 ||
        !checked_mul(sample_count, channel_count, all_samples) || !checked_mul(all_samples, sample_n_bytes, total))
        return invalid("declared payload size overflows");
    return static_cast<std::uint64_t>(total);
}

Result<FieldTable> parse(ByteView region, std::vector<FieldLine>* listing) {
    FieldTable fields;
    KR_TRY(walk_fields(region, [&](const CheckedLine& field) {
        if (listing != nullptr)
            listing->push_back({std::string(field.name), std::string(field.type), std::string(field.value)});
        // A repeated name keeps the later value.
        if (const auto it = fields.lower_bound(field.name); it != fields.end() && it->first == field.name)
            it->second.assign(field.value);
        else
            fields.emplace_hint(it, field.name, field.value);
    }));
    return fields;
}

Result<std::vector<HeaderField>> fields_in_order(ByteView region) {
    std::vector<HeaderField> fields;
    std::map<std::string, std::size_t, std::less<>> index;  // name -> position in `fields`
    KR_TRY(walk_fields(region, [&](const CheckedLine& field) {
        const auto [it, fresh] = index.try_emplace(std::string(field.name), fields.size());
        if (fresh)
            fields.push_back({std::string(field.name), std::string(field.value)});
        else
            fields[it->second].value.assign(field.value);
    }));
    return fields;
}

Result<std::uint64_t> header_size(ByteView head, std::uint64_t file_size) {
    const std::string_view text = as_text(head);
    const bool whole = head.size() >= file_size;
    if (!whole && text.size() < kMagic.size()) return std::uint64_t{0};
    if (!text.starts_with(kMagic)) return invalid("not a NIST SPHERE file (missing 'NIST_1A' magic)");

    // The size line lies between the first two LFs of the whole input,
    // whatever size it then declares.
    const std::size_t first_lf = text.find('\n');
    if (first_lf == std::string_view::npos) {
        if (!whole) return std::uint64_t{0};
        return invalid("truncated SPHERE header");
    }
    const std::size_t second_lf = text.find('\n', first_lf + 1);
    if (second_lf == std::string_view::npos) {
        if (!whole) return std::uint64_t{0};
        return invalid("truncated SPHERE header (no size line)");
    }
    const std::string_view size_line = text.substr(first_lf + 1, second_lf - first_lf - 1);
    if (!is_well_formed_utf8(size_line)) return invalid("invalid header size line");
    const std::string_view size_text = trim(size_line);
    const std::optional<std::uint64_t> declared = parse_header_size(size_text);
    if (!declared) return invalid("invalid header size line: ", quote(size_text));
    if (*declared == 0) return invalid("non-positive header size");
    if (*declared > file_size) return invalid("header claims ", *declared, " bytes but only ", file_size, " available");
    return *declared;
}

Result<SphereHeader> read_header(ByteView head, std::uint64_t file_size, std::vector<FieldLine>* lines) {
    KR_ASSIGN_OR_RETURN(std::uint64_t region_size, header_size(head, file_size));
    // Too short to tell: the error a file of just these bytes would give.
    if (region_size == 0) {
        KR_ASSIGN_OR_RETURN(region_size, header_size(head, head.size()));
    }
    if (region_size > head.size())
        return invalid("header claims ", region_size, " bytes but only ", head.size(), " read");
    KR_ASSIGN_OR_RETURN(FieldTable fields, parse(head.first(static_cast<std::size_t>(region_size)), lines));
    SphereHeader header{std::move(fields), region_size};
    KR_TRY(header.validate());
    return header;
}

Result<SphereFile> read(ByteView data) {
    KR_ASSIGN_OR_RETURN(SphereHeader header, read_header(data, data.size()));
    const ByteView payload = data.subspan(static_cast<std::size_t>(header.header_size));
    return SphereFile{std::move(header), payload};
}

}  // namespace korrin::sphere

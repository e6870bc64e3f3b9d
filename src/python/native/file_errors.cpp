#include "python/native/file_errors.hpp"

#include <cerrno>
#include <system_error>

#include "common/text.hpp"

namespace korrin::python::native {

namespace {

// The length of the well-formed UTF-8 character that `text` begins with,
// or 0 when it begins with anything else.
std::size_t character_length(std::string_view text) noexcept {
    for (std::size_t length = 1; length <= 4 && length <= text.size(); ++length)
        if (is_well_formed_utf8(text.substr(0, length))) return length;
    return 0;
}

// Bytes given as a file's content that rather look like a path: one line
// of printable text with a slash in it or a file name extension at its
// end, and no SPHERE magic.
bool looks_like_path(ByteView data) noexcept {
    if (data.empty() || data.size() > 4096) return false;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (text.starts_with("NIST_1A")) return false;
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    if (text.find('/') != std::string_view::npos) return true;
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == text.size() || text.size() - dot > 6) return false;
    for (const char c : text.substr(dot + 1))
        if (!is_digit(c) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) return false;
    return true;
}

}  // namespace

std::string printable_name(std::string_view name) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(name.size());
    const auto escape_byte = [&](unsigned char c) {
        out.append("\\x").push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    };
    while (!name.empty()) {
        const auto c = static_cast<unsigned char>(name[0]);
        const std::size_t length = character_length(name);
        if (length == 0) {
            escape_byte(c);
        } else if (c == '\\') {
            out.append("\\\\");
        } else if (c == '\n' || c == '\t' || c == '\r') {
            out.push_back('\\');
            out.push_back(c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
        } else if (c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(name[1]) < 0xA0)) {
            // C0 controls, DEL, and the C1 controls U+0080 to U+009F
            for (std::size_t i = 0; i < length; ++i) escape_byte(static_cast<unsigned char>(name[i]));
        } else {
            out.append(name.substr(0, length));
        }
        name.remove_prefix(length == 0 ? 1 : length);
    }
    return out;
}

PendingError error_of(DecodeError error, const Source& source) {
    if (error.kind == ErrorKind::Io && source.name != nullptr) {
        // The text of the errno, as open() gives it, unless the core says
        // more than that ("not a regular file", "file shrank while being
        // read").
        std::string text = std::generic_category().message(error.os_error);
        if (!error.message.starts_with("cannot ") && error.os_error != EISDIR) {
            text = error.message;
            if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
        }
        Ref instance =
            Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", error.os_error, text.c_str(), source.name));
        if (!instance) return PendingError::fetch();
        Ref type = Ref::steal(PyObject_Type(instance.get()));
        return PendingError::of_instance(std::move(type), std::move(instance));
    }
    if (error.kind == ErrorKind::Invalid || error.kind == ErrorKind::Unsupported) {
        if (source.is_path)
            error.message = printable_name(source.path.native()) + ": " + error.message;
        else if (looks_like_path(source.data))
            error.message +=
                " (bytes are read as the file's content: pass a str or os.PathLike to read the file "
                "at a path)";
    }
    return to_py(std::move(error));
}

}  // namespace korrin::python::native

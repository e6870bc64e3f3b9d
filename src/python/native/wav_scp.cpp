// korrin._native.wav_scp_entry: a wav.scp entry read by the parser that
// sph2wav --wav-scp uses (src/cli/front/wav_scp.cpp), so that korrin.lhotse
// takes apart the same sph2pipe and sph2wav calls, with the same picks, as
// the command-line program does.
#include "python/native/wav_scp.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/front/data_dir.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/native/arguments.hpp"

namespace korrin::python::native {

namespace {

const char* encoding_name(cli::Encoding encoding) noexcept {
    switch (encoding) {
        case cli::Encoding::Wav: return "wav";
        case cli::Encoding::Raw: return "raw";
        case cli::Encoding::Sphere: return "sphere";
        case cli::Encoding::Au: return "au";
        case cli::Encoding::Aiff: return "aiff";
        case cli::Encoding::Flac: return "flac";
    }
    return "?";
}

const char* coding_name(cli::CodingChoice coding) noexcept {
    switch (coding) {
        case cli::CodingChoice::Keep: return "keep";
        case cli::CodingChoice::Linear: return "linear";
        case cli::CodingChoice::Linear16: return "linear16";
        case cli::CodingChoice::Ulaw: return "ulaw";
        case cli::CodingChoice::Alaw: return "alaw";
    }
    return "?";
}

const char* checksum_name(cli::ChecksumRule rule) noexcept {
    switch (rule) {
        case cli::ChecksumRule::Verify: return "verify";
        case cli::ChecksumRule::Warn: return "warn";
        case cli::ChecksumRule::Ignore: return "ignore";
    }
    return "?";
}

Ref new_text(std::string_view text) {
    return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// A path as os.fsdecode gives it back from the bytes the entry held.
Ref new_path(std::string_view path) {
    return made(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

Ref new_int(std::uint64_t value) { return made(PyLong_FromUnsignedLongLong(value)); }

Ref new_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref none() { return Ref::borrow(Py_None); }

// A new tuple of the references given, which it takes over.
template <class... Items>
Ref tuple_of(Items&&... items) {
    Ref tuple = made(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    (PyTuple_SetItem(tuple.get(), i++, items.release()), ...);
    return tuple;
}

PyResult<cli::Shape> shape_argument(PyObject* object) {
    if (!PyTuple_Check(object) || PyTuple_Size(object) != 3) return conversion_error(object, "PyTuple");
    std::int64_t values[3] = {};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        KR_ASSIGN_OR_RETURN(values[i], int64_argument(PyTuple_GetItem(object, i)));
        if (values[i] < (i == 1 ? 0 : 1))
            return PendingError::of_type(
                PyExc_ValueError, Ref::steal(PyUnicode_FromString("a file's shape is (channels, frames, rate)")));
    }
    cli::Shape shape;
    shape.channels = static_cast<std::uint64_t>(values[0]);
    shape.frames = static_cast<std::uint64_t>(values[1]);
    shape.rate = static_cast<std::uint64_t>(values[2]);
    return shape;
}

PyResult<Ref> wav_scp_entry(PyObject* args, PyObject* kwargs) {
    static constexpr const char* parameters[] = {"entry", "shape"};
    static constexpr FunctionDescription description{"wav_scp_entry", parameters, 0, 2};
    PyObject* slots[2] = {};
    KR_TRY(extract_arguments_tuple_dict(description, args, kwargs, slots));
    if (!PyUnicode_Check(slots[0]))
        return argument("entry", PyResult<int>(conversion_error(slots[0], "PyString"))).error();
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(slots[0]));
    if (!encoded) return PendingError::fetch();
    const std::string_view entry(PyBytes_AsString(encoded.get()),
                                 static_cast<std::size_t>(PyBytes_Size(encoded.get())));
    std::optional<cli::Shape> shape;
    if (slots[1] != Py_None) {
        KR_ASSIGN_OR_RETURN(shape, argument("shape", shape_argument(slots[1])));
    }

    cli::Recording recording;
    // One entry is one line: the parser of whole files would cut it at a
    // line break, and a C string at a NUL.
    if (entry.find('\n') != std::string_view::npos)
        recording.error = "a line break is not understood";
    else if (entry.find('\0') != std::string_view::npos)
        recording.error = "a NUL byte is not understood";
    else
        cli::parse_wav_scp_entry(entry, recording);
    if (!recording.error.empty())
        return tuple_of(new_text(recording.error), none(), none(), none(), none(), none(), none(), none());

    Ref selection = none();
    if (shape) {
        const Result<select::Selection> chosen = cli::resolve(recording.pick, *shape);
        if (!chosen) return to_py(chosen.error());
        selection = tuple_of(new_int(chosen->begin), new_int(std::min(chosen->end, shape->frames)),
                             chosen->channel ? new_int(*chosen->channel) : none());
    }
    return tuple_of(
        new_text(""), new_path(recording.path), recording.header_file ? new_path(*recording.header_file) : none(),
        new_text(encoding_name(recording.encoding)), new_text(coding_name(recording.coding)),
        new_text(checksum_name(recording.checksum)), new_bool(recording.payload_as_found), std::move(selection));
}

PyMethodDef functions[] = {
    {"wav_scp_entry", as_method<entry<wav_scp_entry>>(), METH_VARARGS | METH_KEYWORDS,
     "wav_scp_entry(entry, shape)\n--\n\n"
     "What follows a wav.scp line's id, as sph2wav --wav-scp reads it: (error, path, header_file,\n"
     "encoding, coding, checksum, payload_as_found, selection). error is '' when the entry is a\n"
     "file or one sph2pipe or sph2wav call, else why it is not understood (the rest None then);\n"
     "with shape (channels, frames, rate) of the file, selection is (begin, end, channel or None),\n"
     "the frames and 0-based channel the entry takes, or ValueError when it cannot."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* wav_scp_functions() noexcept { return functions; }

}  // namespace korrin::python::native

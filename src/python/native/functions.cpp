// The entry points of korrin._native. Each binds and converts its
// arguments with the interpreter lock held, then lets it go while the file
// is opened and its header read; takes it again to make the result arrays,
// each a Buffer of its final size that no one else can see yet; lets it go
// again while they are filled; and takes it back to hand them over.
#include "python/native/functions.hpp"

#include <algorithm>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "common/checked.hpp"
#include "extract/checkpoints.hpp"
#include "extract/extract.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/native/arguments.hpp"
#include "python/native/buffer.hpp"

namespace korrin::python::native {

namespace {

constexpr const char* info_parameters[] = {"source", "is_path"};
constexpr const char* read_parameters[] = {"source", "is_path", "start", "stop", "frames", "channels", "dtype",
                                           "checksum"};
constexpr const char* segments_parameters[] = {"source", "is_path", "segments", "dtype"};

constexpr FunctionDescription info_description{"info", info_parameters, 0, 2};
constexpr FunctionDescription read_description{"read", read_parameters, 0, 8};
constexpr FunctionDescription segments_description{"read_segments", segments_parameters, 0, 4};

constexpr std::string_view checksum_hint = " (pass checksum=False to read it anyway)";

// The interpreter lock let go for a scope, and taken back at its end
// however it ends.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// A core failure as Python sees it: a file that cannot be opened or read
// is the OSError that Python's own open() raises for its errno (its
// subclass: FileNotFoundError, PermissionError, ...), with the path;
// anything else is to_py's ValueError or MemoryError.
[[gnu::cold]] PendingError error_of(DecodeError error, const Source& source) {
    if (error.kind != ErrorKind::Io || source.name == nullptr) return to_py(std::move(error));
    // The text of the errno, as open() gives it, unless the core says more
    // than that ("not a regular file", "file shrank while being read").
    std::string text = std::generic_category().message(error.os_error);
    if (!error.message.starts_with("cannot ") && error.os_error != EISDIR) {
        text = error.message;
        if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    Ref instance = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", error.os_error, text.c_str(), source.name));
    if (!instance) return PendingError::fetch();
    Ref type = Ref::steal(PyObject_Type(instance.get()));
    return PendingError::of_instance(std::move(type), std::move(instance));
}

PyResult<void> open_reader(extract::Reader& reader, const Source& source) {
    Result<void> opened;
    {
        Unlocked off;
        opened = source.is_path ? reader.open(source.path) : reader.open(source.data);
    }
    if (!opened) return error_of(std::move(opened).error(), source);
    return {};
}

Ref new_int(std::uint64_t value) { return made(PyLong_FromUnsignedLongLong(value)); }

Ref new_text(std::string_view text) {
    return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// A new tuple of the references given, which it takes over.
template <class... Items>
Ref tuple_of(Items&&... items) {
    Ref tuple = made(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    // PyTuple_SetItem steals each item and cannot fail on a new tuple.
    (PyTuple_SetItem(tuple.get(), i++, items.release()), ...);
    return tuple;
}

// An array's memory, `size` bytes not yet initialised, and where they are.
struct Array {
    Ref object;
    std::uint8_t* data = nullptr;
};

PyResult<Array> new_array(std::uint64_t frames, std::size_t channels, extract::Dtype dtype) {
    std::uint64_t size = 0;
    if (!checked_mul(frames, std::uint64_t{channels}, size) ||
        !checked_mul(size, std::uint64_t{extract::element_size(dtype)}, size) ||
        size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return PendingError::fetch();
    }
    Array array;
    KR_ASSIGN_OR_RETURN(array.object, new_buffer(static_cast<std::size_t>(size), array.data));
    return array;
}

PyResult<extract::Dtype> dtype_argument(PyObject* object) {
    KR_ASSIGN_OR_RETURN(const std::string name, argument("dtype", text_argument(object)));
    const auto dtype = extract::dtype_named(name);
    if (!dtype)
        return PendingError::of_type(PyExc_ValueError,
                                     Ref::steal(PyUnicode_FromFormat("unknown dtype %s", name.c_str())));
    return *dtype;
}

PyResult<Ref> info(PyObject* args, PyObject* kwargs) {
    PyObject* slots[2] = {};
    KR_TRY(extract_arguments_tuple_dict(info_description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const Source source, source_argument(slots[0], slots[1]));
    extract::Reader reader;
    KR_TRY(open_reader(reader, source));
    const Result<extract::Layout>& layout = reader.layout();
    if (!layout) return to_py(layout.error());

    const auto& lines = reader.lines();
    Ref fields = made(PyTuple_New(static_cast<Py_ssize_t>(lines.size())));
    for (std::size_t i = 0; i < lines.size(); ++i)
        PyTuple_SetItem(fields.get(), static_cast<Py_ssize_t>(i),
                        tuple_of(new_text(lines[i].name), new_text(lines[i].type), new_text(lines[i].value)).release());
    return tuple_of(std::move(fields), new_int(layout->channels), new_int(layout->rate), new_int(layout->frames),
                    new_text(layout->codec), new_int(layout->sample_width));
}

// The pieces asked for, resolved against the file, each with its array.
struct Request {
    std::vector<extract::Piece> pieces;
    std::vector<Array> arrays;
};

PyResult<void> add_piece(Request& request, const extract::Layout& layout, std::int64_t start,
                         std::optional<std::int64_t> stop, std::int64_t frames, const std::vector<std::int64_t>& asked,
                         extract::Dtype dtype) {
    extract::Piece piece;
    piece.frames = extract::resolve_range(start, stop, frames, layout.frames);
    auto channels = extract::resolve_channels(asked, layout.channels);
    if (!channels) return to_py(std::move(channels).error());
    piece.channels = std::move(*channels);
    KR_ASSIGN_OR_RETURN(Array array, new_array(piece.frames.size(), piece.channels.size(), dtype));
    piece.out = array.data;
    request.pieces.push_back(std::move(piece));
    request.arrays.push_back(std::move(array));
    return {};
}

PyResult<void> fill(extract::Reader& reader, const Request& request, const Source& source,
                    const extract::ReadOptions& options) {
    Result<void> filled;
    {
        Unlocked off;
        filled = reader.read(request.pieces, options);
    }
    if (!filled) return error_of(std::move(filled).error(), source);
    return {};
}

extract::ReadOptions read_options(const Source& source, extract::Dtype dtype, bool checksum) {
    extract::ReadOptions options;
    options.dtype = dtype;
    options.verify_checksum = checksum;
    options.checksum_hint = checksum_hint;
    if (source.is_path) options.checkpoints = &extract::CheckpointCache::shared();
    return options;
}

PyResult<Ref> read(PyObject* args, PyObject* kwargs) {
    PyObject* slots[8] = {};
    KR_TRY(extract_arguments_tuple_dict(read_description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const Source source, source_argument(slots[0], slots[1]));
    KR_ASSIGN_OR_RETURN(const std::int64_t start, argument("start", int64_argument(slots[2])));
    KR_ASSIGN_OR_RETURN(const std::optional<std::int64_t> stop, argument("stop", optional_int64_argument(slots[3])));
    KR_ASSIGN_OR_RETURN(const std::int64_t frames, argument("frames", int64_argument(slots[4])));
    KR_ASSIGN_OR_RETURN(const std::vector<std::int64_t> channels, argument("channels", channels_argument(slots[5])));
    KR_ASSIGN_OR_RETURN(const extract::Dtype dtype, dtype_argument(slots[6]));
    KR_ASSIGN_OR_RETURN(const bool checksum, argument("checksum", bool_argument(slots[7])));

    extract::Reader reader;
    KR_TRY(open_reader(reader, source));
    const Result<extract::Layout>& layout = reader.layout();
    if (!layout) {
        // The reading reports it, after the checks that come first.
        KR_TRY(fill(reader, {}, source, read_options(source, dtype, checksum)));
        return to_py(layout.error());
    }
    Request request;
    KR_TRY(add_piece(request, *layout, start, stop, frames, channels, dtype));
    KR_TRY(fill(reader, request, source, read_options(source, dtype, checksum)));
    const extract::Piece& piece = request.pieces[0];
    return tuple_of(std::move(request.arrays[0].object), new_int(piece.frames.size()), new_int(piece.channels.size()),
                    new_int(layout->rate));
}

PyResult<Ref> read_segments(PyObject* args, PyObject* kwargs) {
    PyObject* slots[4] = {};
    KR_TRY(extract_arguments_tuple_dict(segments_description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const Source source, source_argument(slots[0], slots[1]));
    PyObject* segments = slots[2];
    if (!PyList_Check(segments)) return argument("segments", PyResult<int>(conversion_error(segments, "PyList"))).error();
    KR_ASSIGN_OR_RETURN(const extract::Dtype dtype, dtype_argument(slots[3]));

    extract::Reader reader;
    KR_TRY(open_reader(reader, source));
    const Result<extract::Layout>& layout = reader.layout();
    if (!layout) {
        KR_TRY(fill(reader, {}, source, read_options(source, dtype, false)));
        return to_py(layout.error());
    }
    Request request;
    const Py_ssize_t count = PyList_Size(segments);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* segment = PyList_GetItem(segments, i);
        if (!PyTuple_Check(segment) || PyTuple_Size(segment) != 3)
            return argument("segments", PyResult<int>(conversion_error(segment, "PyTuple"))).error();
        KR_ASSIGN_OR_RETURN(const std::int64_t start, argument("segments", int64_argument(PyTuple_GetItem(segment, 0))));
        KR_ASSIGN_OR_RETURN(const std::optional<std::int64_t> stop,
                            argument("segments", optional_int64_argument(PyTuple_GetItem(segment, 1))));
        KR_ASSIGN_OR_RETURN(const std::vector<std::int64_t> channels,
                            argument("segments", channels_argument(PyTuple_GetItem(segment, 2))));
        KR_TRY(add_piece(request, *layout, start, stop, -1, channels, dtype));
    }
    KR_TRY(fill(reader, request, source, read_options(source, dtype, false)));
    Ref list = made(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const extract::Piece& piece = request.pieces[static_cast<std::size_t>(i)];
        // PyList_SetItem steals the item and cannot fail on a new list's slot.
        PyList_SetItem(list.get(), i,
                       tuple_of(std::move(request.arrays[static_cast<std::size_t>(i)].object),
                                new_int(piece.frames.size()), new_int(piece.channels.size()))
                           .release());
    }
    return tuple_of(std::move(list), new_int(layout->rate));
}

// What the checkpoint store holds, after emptying it when asked: for tests
// and benchmarks.
PyResult<Ref> checkpoint_cache(PyObject* args, PyObject* kwargs) {
    static constexpr const char* parameters[] = {"clear", "interval", "path"};
    static constexpr FunctionDescription description{"_checkpoint_cache", parameters, 0, 3};
    PyObject* slots[3] = {};
    KR_TRY(extract_arguments_tuple_dict(description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const bool clear, argument("clear", bool_argument(slots[0])));
    KR_ASSIGN_OR_RETURN(const std::optional<std::int64_t> interval,
                        argument("interval", optional_int64_argument(slots[1])));
    KR_ASSIGN_OR_RETURN(const Source path, source_argument(slots[2], Py_True));
    extract::CheckpointCache& cache = extract::CheckpointCache::shared();
    extract::CheckpointCache::Stats stats;
    std::vector<std::uint64_t> frames;
    {
        Unlocked off;  // another thread may hold the store's lock
        if (clear) cache.clear();
        if (interval) cache.set_interval(static_cast<std::uint64_t>(std::max<std::int64_t>(0, *interval)));
        stats = cache.stats();
        frames = cache.frames(path.path.string());
    }
    Ref listed = made(PyList_New(0));
    for (const std::uint64_t frame : frames)
        if (PyList_Append(listed.get(), new_int(frame).get()) < 0) return PendingError::fetch();
    return tuple_of(new_int(stats.files), new_int(stats.checkpoints), new_int(stats.bytes), new_int(stats.limit),
                    std::move(listed));
}

template <PyResult<Ref> (*body)(PyObject*, PyObject*)>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&] { return body(args, kwargs); });
}

// CPython calls METH_VARARGS | METH_KEYWORDS functions with three arguments
// through the two-argument PyCFunction type.
template <PyObject* (*function)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef functions[] = {
    {"info", as_method<entry<info>>(), METH_VARARGS | METH_KEYWORDS,
     "info(source, is_path)\n--\n\n(fields, channels, rate, frames, codec, sample_width) of a SPHERE file."},
    {"read", as_method<entry<read>>(), METH_VARARGS | METH_KEYWORDS,
     "read(source, is_path, start, stop, frames, channels, dtype, checksum)\n--\n\n"
     "(Buffer, frames, channels, rate): frames of a SPHERE file as elements of dtype."},
    {"read_segments", as_method<entry<read_segments>>(), METH_VARARGS | METH_KEYWORDS,
     "read_segments(source, is_path, segments, dtype)\n--\n\n"
     "([(Buffer, frames, channels), ...], rate): (start, stop, channels) spans, from one read."},
    {"_checkpoint_cache", as_method<entry<checkpoint_cache>>(), METH_VARARGS | METH_KEYWORDS,
     "_checkpoint_cache(clear, interval, path)\n--\n\n"
     "(files, checkpoints, bytes, limit, frames of path's states) of the Shorten checkpoint store,\n"
     "emptied first when clear; interval (frames, 0 the default) set unless None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return functions; }

}  // namespace korrin::python::native

// The entry points of korrin._native. Each binds and converts its
// arguments with the interpreter lock held, then lets it go while the file
// is opened and its header read; takes it again to make the result arrays,
// each a Buffer of its final size that no one else can see yet; lets it go
// again while they are filled; and takes it back to hand them over.
#include "python/native/functions.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/checked.hpp"
#include "extract/checkpoints.hpp"
#include "extract/extract.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/native/arguments.hpp"
#include "python/native/blocks.hpp"
#include "python/native/buffer.hpp"
#include "python/native/file_errors.hpp"

namespace korrin::python::native {

namespace {

constexpr const char* info_parameters[] = {"source", "is_path"};
constexpr const char* read_parameters[] = {"source", "is_path",  "start", "stop",
                                           "frames", "channels", "dtype", "checksum"};
constexpr const char* segments_parameters[] = {"source", "is_path", "segments", "dtype"};

constexpr FunctionDescription info_description{"info", info_parameters, 0, 2};
constexpr FunctionDescription read_description{"read", read_parameters, 0, 8};
constexpr FunctionDescription segments_description{"read_segments", segments_parameters, 0, 4};

constexpr std::string_view checksum_hint = " (pass checksum=False to read it anyway)";

// One call of a function, in steps taken with the interpreter lock held,
// each of which may leave work to do without it before the next.
class Call {
  public:
    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    virtual ~Call() = default;

    // The next step: the call's result, or an empty Ref when it left work.
    PyResult<Ref> step() {
        if (fault_) std::rethrow_exception(std::exchange(fault_, nullptr));  // the boundary raises it
        return next();
    }

    bool has_work() const noexcept { return static_cast<bool>(work_); }

    // The work left, done without the lock. The core reports its failures
    // as values; what escapes (an allocation that failed) goes to the next
    // step.
    void work() noexcept {
        try {
            work_();
        } catch (...) {
            fault_ = std::current_exception();
        }
        work_ = nullptr;
    }

  protected:
    virtual PyResult<Ref> next() = 0;

    // Leaves `work` for the call to do before the next step.
    template <class Work>
    Ref then_unlocked(Work&& work) {
        work_ = std::forward<Work>(work);
        return Ref();
    }

  private:
    std::function<void()> work_;
    std::exception_ptr fault_;
};

// Runs a call to its end and deletes it, for a C entry point.
//
// The interpreter lock is taken back in this frame, whose callers are
// CPython's alone. CPython 3.9 to 3.13 end a daemon thread that takes it
// while the interpreter finalises with pthread_exit: a forced unwind,
// which terminates the process at any noexcept frame or catch-all it
// passes, and which would run destructors without the lock. So this frame
// catches nothing and holds nothing with a destructor; the unwind leaves
// the call behind, as the process is exiting.
PyObject* drive(Call* call) {
    if (call == nullptr) return PyErr_NoMemory();
    PyObject* result = nullptr;
    while ((result = trampoline([call] { return call->step(); })) == nullptr && !PyErr_Occurred() && call->has_work()) {
        PyThreadState* const state = PyEval_SaveThread();
        call->work();
        PyEval_RestoreThread(state);
    }
    delete call;
    return result;
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

// The pieces asked for, resolved against the file, each with its array.
struct Request {
    std::vector<extract::Piece> pieces;
    std::vector<Array> arrays;
};

// A call that reads one file: opened (its header read) without the lock,
// then checked as a reading of it checks it.
class FileCall : public Call {
  public:
    FileCall(PyObject* args, PyObject* kwargs) noexcept : args_(args), kwargs_(kwargs) {}

  protected:
    // Opens the file of `source_`, without the lock.
    Ref open() {
        return then_unlocked(
            [this] { opened_ = source_.is_path ? reader_.open(source_.path) : reader_.open(source_.data); });
    }

    // After open(): the header's format, or why the file was not opened or
    // its header is refused.
    PyResult<const format::Format*> header() {
        if (!opened_) return error_of(std::move(opened_).error(), source_);
        const Result<format::Format>& layout = reader_.format();
        if (!layout) return error_of(layout.error(), source_);
        return &*layout;
    }

    // The same for reading, with its checks in its order (of a stored
    // payload, its size first, as sph2wav checks it), before anything is
    // allocated for the file's channels or frames.
    PyResult<const format::Format*> checked(const extract::ReadOptions& options) {
        if (!opened_) return error_of(std::move(opened_).error(), source_);
        if (Result<void> read = reader_.read({}, options); !read) return error_of(std::move(read).error(), source_);
        return header();
    }

    PyResult<void> add_piece(const format::Format& layout, std::int64_t start, std::optional<std::int64_t> stop,
                             std::int64_t frames, const std::vector<std::int64_t>& asked, extract::Dtype dtype) {
        extract::Piece piece;
        piece.frames = extract::resolve_range(start, stop, frames, layout.frames);
        auto channels = extract::resolve_channels(asked, layout.channels);
        if (!channels) return error_of(std::move(channels).error(), source_);
        piece.channels = std::move(*channels);
        KR_ASSIGN_OR_RETURN(Array array, new_array(piece.frames.size(), piece.channels.size(), dtype));
        piece.out = array.data;
        request_.pieces.push_back(std::move(piece));
        request_.arrays.push_back(std::move(array));
        return {};
    }

    // Fills the pieces, without the lock.
    Ref fill(const extract::ReadOptions& options) {
        options_ = options;
        return then_unlocked([this] { filled_ = reader_.read(request_.pieces, options_); });
    }

    PyResult<void> filled() {
        if (!filled_) return error_of(std::move(filled_).error(), source_);
        return {};
    }

    extract::ReadOptions read_options(extract::Dtype dtype, bool checksum) const {
        extract::ReadOptions options;
        options.dtype = dtype;
        options.verify_checksum = checksum;
        options.checksum_hint = checksum_hint;
        if (source_.is_path) options.checkpoints = &extract::CheckpointCache::shared();
        return options;
    }

    PyObject* args_;
    PyObject* kwargs_;
    int stage_ = 0;
    Source source_;
    extract::Reader reader_;
    Request request_;

  private:
    Result<void> opened_;
    Result<void> filled_;
    extract::ReadOptions options_;
};

class InfoCall final : public FileCall {
  public:
    using FileCall::FileCall;

  private:
    PyResult<Ref> next() override {
        if (stage_++ == 0) {
            PyObject* slots[2] = {};
            KR_TRY(extract_arguments_tuple_dict(info_description, args_, kwargs_, slots));
            KR_ASSIGN_OR_RETURN(source_, source_argument(slots[0], slots[1]));
            return open();
        }
        // The header alone: a truncated payload is for reading to find.
        KR_ASSIGN_OR_RETURN(const format::Format* layout, header());
        const auto& lines = reader_.lines();
        Ref fields = made(PyTuple_New(static_cast<Py_ssize_t>(lines.size())));
        for (std::size_t i = 0; i < lines.size(); ++i)
            PyTuple_SetItem(
                fields.get(), static_cast<Py_ssize_t>(i),
                tuple_of(new_text(lines[i].name), new_text(lines[i].type), new_text(lines[i].value)).release());
        return tuple_of(std::move(fields), new_int(layout->channels), new_int(layout->rate), new_int(layout->frames),
                        new_text(extract::codec_of(*layout)), new_int(extract::sample_width_of(*layout)));
    }
};

class ReadCall final : public FileCall {
  public:
    using FileCall::FileCall;

  private:
    PyResult<Ref> next() override {
        switch (stage_++) {
            case 0: {
                PyObject* slots[8] = {};
                KR_TRY(extract_arguments_tuple_dict(read_description, args_, kwargs_, slots));
                KR_ASSIGN_OR_RETURN(source_, source_argument(slots[0], slots[1]));
                KR_ASSIGN_OR_RETURN(start_, argument("start", int64_argument(slots[2])));
                KR_ASSIGN_OR_RETURN(stop_, argument("stop", optional_int64_argument(slots[3])));
                KR_ASSIGN_OR_RETURN(frames_, argument("frames", int64_argument(slots[4])));
                KR_ASSIGN_OR_RETURN(channels_, argument("channels", channels_argument(slots[5])));
                KR_ASSIGN_OR_RETURN(dtype_, dtype_argument(slots[6]));
                KR_ASSIGN_OR_RETURN(checksum_, argument("checksum", bool_argument(slots[7])));
                return open();
            }
            case 1: {
                const extract::ReadOptions options = read_options(dtype_, checksum_);
                KR_ASSIGN_OR_RETURN(layout_, checked(options));
                KR_TRY(add_piece(*layout_, start_, stop_, frames_, channels_, dtype_));
                return fill(options);
            }
            default: {
                KR_TRY(filled());
                const extract::Piece& piece = request_.pieces[0];
                return tuple_of(std::move(request_.arrays[0].object), new_int(piece.frames.size()),
                                new_int(piece.channels.size()), new_int(layout_->rate));
            }
        }
    }

    ReadInFlight in_flight_;
    std::int64_t start_ = 0;
    std::optional<std::int64_t> stop_;
    std::int64_t frames_ = -1;
    std::vector<std::int64_t> channels_;
    extract::Dtype dtype_ = extract::Dtype::Float64;
    bool checksum_ = false;
    const format::Format* layout_ = nullptr;
};

class SegmentsCall final : public FileCall {
  public:
    using FileCall::FileCall;

  private:
    PyResult<Ref> next() override {
        switch (stage_++) {
            case 0: {
                PyObject* slots[4] = {};
                KR_TRY(extract_arguments_tuple_dict(segments_description, args_, kwargs_, slots));
                KR_ASSIGN_OR_RETURN(source_, source_argument(slots[0], slots[1]));
                segments_ = slots[2];
                if (!PyList_Check(segments_))
                    return argument("segments", PyResult<int>(conversion_error(segments_, "PyList"))).error();
                KR_ASSIGN_OR_RETURN(dtype_, dtype_argument(slots[3]));
                return open();
            }
            case 1: {
                const extract::ReadOptions options = read_options(dtype_, false);
                KR_ASSIGN_OR_RETURN(layout_, checked(options));
                const Py_ssize_t count = PyList_Size(segments_);
                for (Py_ssize_t i = 0; i < count; ++i) {
                    PyObject* segment = PyList_GetItem(segments_, i);
                    if (!PyTuple_Check(segment) || PyTuple_Size(segment) != 3)
                        return argument("segments", PyResult<int>(conversion_error(segment, "PyTuple"))).error();
                    KR_ASSIGN_OR_RETURN(const std::int64_t start,
                                        argument("segments", int64_argument(PyTuple_GetItem(segment, 0))));
                    KR_ASSIGN_OR_RETURN(const std::optional<std::int64_t> stop,
                                        argument("segments", optional_int64_argument(PyTuple_GetItem(segment, 1))));
                    KR_ASSIGN_OR_RETURN(const std::vector<std::int64_t> channels,
                                        argument("segments", channels_argument(PyTuple_GetItem(segment, 2))));
                    KR_TRY(add_piece(*layout_, start, stop, -1, channels, dtype_));
                }
                return fill(options);
            }
            default: {
                KR_TRY(filled());
                const auto count = static_cast<Py_ssize_t>(request_.pieces.size());
                Ref list = made(PyList_New(count));
                for (Py_ssize_t i = 0; i < count; ++i) {
                    const auto k = static_cast<std::size_t>(i);
                    const extract::Piece& piece = request_.pieces[k];
                    // PyList_SetItem steals the item and cannot fail on a new list's slot.
                    PyList_SetItem(list.get(), i,
                                   tuple_of(std::move(request_.arrays[k].object), new_int(piece.frames.size()),
                                            new_int(piece.channels.size()))
                                       .release());
                }
                return tuple_of(std::move(list), new_int(layout_->rate));
            }
        }
    }

    ReadInFlight in_flight_;
    PyObject* segments_ = nullptr;  // borrowed from the arguments
    extract::Dtype dtype_ = extract::Dtype::Float64;
    const format::Format* layout_ = nullptr;
};

// What the checkpoint store holds, after emptying it when asked: for tests
// and benchmarks.
class CheckpointCacheCall final : public Call {
  public:
    CheckpointCacheCall(PyObject* args, PyObject* kwargs) noexcept : args_(args), kwargs_(kwargs) {}

  private:
    PyResult<Ref> next() override {
        if (stage_++ == 0) {
            static constexpr const char* parameters[] = {"clear", "interval", "path"};
            static constexpr FunctionDescription description{"_checkpoint_cache", parameters, 0, 3};
            PyObject* slots[3] = {};
            KR_TRY(extract_arguments_tuple_dict(description, args_, kwargs_, slots));
            KR_ASSIGN_OR_RETURN(clear_, argument("clear", bool_argument(slots[0])));
            KR_ASSIGN_OR_RETURN(interval_, argument("interval", optional_int64_argument(slots[1])));
            KR_ASSIGN_OR_RETURN(path_, source_argument(slots[2], Py_True));
            // Without the lock: another thread may hold the store's.
            return then_unlocked([this] {
                extract::CheckpointCache& cache = extract::CheckpointCache::shared();
                if (clear_) cache.clear();
                if (interval_) cache.set_interval(static_cast<std::uint64_t>(std::max<std::int64_t>(0, *interval_)));
                stats_ = cache.stats();
                frames_ = cache.frames(path_.path.string());
            });
        }
        Ref listed = made(PyList_New(0));
        for (const std::uint64_t frame : frames_)
            if (PyList_Append(listed.get(), new_int(frame).get()) < 0) return PendingError::fetch();
        return tuple_of(new_int(stats_.files), new_int(stats_.checkpoints), new_int(stats_.bytes),
                        new_int(stats_.limit), std::move(listed));
    }

    PyObject* args_;
    PyObject* kwargs_;
    int stage_ = 0;
    bool clear_ = false;
    std::optional<std::int64_t> interval_;
    Source path_;
    extract::CheckpointCache::Stats stats_;
    std::vector<std::uint64_t> frames_;
};

// A C entry point of a call that runs in steps: nothing in it may be
// noexcept or catch (see drive).
template <class Kind>
PyObject* call_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return drive(new (std::nothrow) Kind(args, kwargs));
}

PyMethodDef functions[] = {
    {"info", as_method<call_entry<InfoCall>>(), METH_VARARGS | METH_KEYWORDS,
     "info(source, is_path)\n--\n\n(fields, channels, rate, frames, codec, sample_width) of a SPHERE file."},
    {"read", as_method<call_entry<ReadCall>>(), METH_VARARGS | METH_KEYWORDS,
     "read(source, is_path, start, stop, frames, channels, dtype, checksum)\n--\n\n"
     "(Buffer, frames, channels, rate): frames of a SPHERE file as elements of dtype."},
    {"read_segments", as_method<call_entry<SegmentsCall>>(), METH_VARARGS | METH_KEYWORDS,
     "read_segments(source, is_path, segments, dtype)\n--\n\n"
     "([(Buffer, frames, channels), ...], rate): (start, stop, channels) spans, from one read."},
    {"_checkpoint_cache", as_method<call_entry<CheckpointCacheCall>>(), METH_VARARGS | METH_KEYWORDS,
     "_checkpoint_cache(clear, interval, path)\n--\n\n"
     "(files, checkpoints, bytes, limit, frames of path's states) of the Shorten checkpoint store,\n"
     "emptied first when clear; interval (frames, 0 the default) set unless None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return functions; }

}  // namespace korrin::python::native

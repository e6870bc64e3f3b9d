// The entry points. Each reads: bind, convert, call the core, wrap, all
// inside the fault boundary. The interpreter lock is held throughout, which
// is also what makes reading a bytes object's buffer in place safe.
#include "python/functions.hpp"

#include <cstdint>

#include "codecs/codecs.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "transcode/transcode.hpp"

namespace korrin::python {

namespace {

constexpr const char* sph_parameters[] = {"sph"};
constexpr const char* stream_parameters[] = {"stream"};
constexpr const char* g711_parameters[] = {"data", "alaw"};

constexpr FunctionDescription transcode_description{"transcode", sph_parameters, 0, 1};
constexpr FunctionDescription decode_pcm_description{"decode_pcm", sph_parameters, 0, 1};
constexpr FunctionDescription shorten_description{"shorten_to_pcm", stream_parameters, 0, 1};
constexpr FunctionDescription g711_description{"g711_expand", g711_parameters, 0, 2};

Ref new_bytes(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return made(nullptr);
    }
    return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// Results are built inside the bytes objects that are returned: the core
// asks for a block once it knows a result's exact size and every check
// before it has passed, and gets the inside of a new bytes object. Nobody
// else can see that object yet, so it may still be written. A failure
// later drops it with the buffer that holds it.
std::uint8_t* acquire_bytes(void*, std::size_t size, void** handle) noexcept {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return nullptr;
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        // The core reports the failure as its own, which becomes MemoryError.
        PyErr_Clear();
        return nullptr;
    }
    *handle = bytes;
    return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes));
}

void release_bytes(void*, void* handle) noexcept { Py_DECREF(static_cast<PyObject*>(handle)); }

constexpr BlockSource bytes_source{nullptr, acquire_bytes, release_bytes};

// A core result as a bytes object: the very object it was built in when it
// fills one, a copy otherwise (a result the core made on its own, or one it
// had to trim).
Ref bytes_of(const ByteBuffer& buffer) {
    if (void* handle = buffer.whole_block_from(&bytes_source)) return Ref::borrow(static_cast<PyObject*>(handle));
    return new_bytes(buffer.data(), buffer.size());
}

PyResult<Ref> bytes_result(Result<ByteBuffer> result) {
    if (!result) return to_py(std::move(result).error());
    return bytes_of(*result);
}

// sph: bytes -> a function of the whole SPHERE file.
template <Result<ByteBuffer> (*core)(ByteView, const BlockSource*), const FunctionDescription& description>
PyResult<Ref> whole_file(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const ByteView sph, argument("sph", bytes_argument(slots[0])));
    return bytes_result(core(sph, &bytes_source));
}

PyResult<Ref> shorten_to_pcm(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(shorten_description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const ByteView stream, argument("stream", bytes_argument(slots[0])));
    shorten::OutputOptions output;
    output.source = &bytes_source;
    auto decoded = codecs::shorten_to_pcm(stream, output);
    if (!decoded) return to_py(std::move(decoded).error());

    Ref channel_count = made(PyLong_FromUnsignedLongLong(decoded->channel_count));
    Ref is_ulaw = Ref::borrow(decoded->is_ulaw ? Py_True : Py_False);
    Ref pcm = bytes_of(decoded->pcm_bytes);
    Ref tuple = made(PyTuple_New(3));
    // PyTuple_SetItem steals each item and cannot fail on a new 3-tuple.
    PyTuple_SetItem(tuple.get(), 0, channel_count.release());
    PyTuple_SetItem(tuple.get(), 1, is_ulaw.release());
    PyTuple_SetItem(tuple.get(), 2, pcm.release());
    return tuple;
}

PyResult<Ref> g711_expand(PyObject* args, PyObject* kwargs) {
    PyObject* slots[2] = {};
    KR_TRY(extract_arguments_tuple_dict(g711_description, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const ByteView data, argument("data", bytes_argument(slots[0])));
    KR_ASSIGN_OR_RETURN(const bool alaw, argument("alaw", bool_argument(slots[1])));

    return bytes_result(codecs::g711_expand(data, alaw, {}, &bytes_source));
}

PyMethodDef functions[] = {
    {"transcode", as_method<entry<whole_file<transcode::transcode, transcode_description>>>(),
     METH_VARARGS | METH_KEYWORDS, "transcode(sph)\n--\n\nTranscode a NIST SPHERE file (bytes) to RIFF/WAV bytes."},
    {"decode_pcm", as_method<entry<whole_file<transcode::decode_pcm, decode_pcm_description>>>(),
     METH_VARARGS | METH_KEYWORDS,
     "decode_pcm(sph)\n--\n\nDecode the payload to interleaved little-endian PCM (the WAV data chunk)."},
    {"shorten_to_pcm", as_method<entry<shorten_to_pcm>>(), METH_VARARGS | METH_KEYWORDS,
     "shorten_to_pcm(stream)\n--\n\n"
     "Codec-level kernels, so the Python streaming API accelerates too. These do\n"
     "the heavy number-crunching only and return PCM bytes; the Python codecs keep\n"
     "their (typed) header cross-checks around these.\n"
     "Decode an embedded-shorten stream to LE 16-bit PCM (no header cross-checks).\n"
     "Returns `(channel_count, is_ulaw, pcm_bytes)`."},
    {"g711_expand", as_method<entry<g711_expand>>(), METH_VARARGS | METH_KEYWORDS,
     "g711_expand(data, alaw)\n--\n\nExpand G.711 companded bytes to LE 16-bit PCM (`alaw` = a-law, else mu-law)."},
};

}  // namespace

std::span<PyMethodDef> module_functions() noexcept { return functions; }

}  // namespace korrin::python

"""soundfile's reading interface on korrin, and soundfile taught to read SPHERE.

    import korrin.soundfile
    korrin.soundfile.patch()
    data, rate = soundfile.read("sw02001.sph", start=8000, stop=24000)  # Shorten too

`SoundFile` and `blocks` take the arguments of `soundfile.SoundFile` and
`soundfile.blocks` and give the same arrays, positions and errors for the
SPHERE files soundfile reads (16-bit PCM, mu-law, A-law), and read Shorten
as well: `subtype` is "PCM_16", "PCM_32", "PCM_S8", "ULAW", "ALAW", or
"SHORTEN" for what soundfile has no name for. Every read is a span read of
the file by korrin's reader (of a Shorten stream read from a path, through
its checkpoints); a span just past the last is read ahead, so that reading
a Shorten stream block by block decodes it about once.

`patch()` puts a stand-in for `soundfile.SoundFile` into soundfile, which
its `read`, `info` and `blocks` open files with: content beginning
"NIST_1A" (a path, bytes or a binary file object, opened for reading) is
read by korrin, anything else by soundfile itself as before, and a SPHERE
file that korrin refuses is handed to soundfile too. Code that took
`SoundFile` itself out of soundfile (`from soundfile import SoundFile`)
before the patch keeps soundfile's own; `soundfile.read` and the rest,
however imported, look it up in soundfile when called. `unpatch()` puts
soundfile's own class back.

soundfile is not needed by korrin: `patch()` imports it, and this module
raises soundfile's own error types only where soundfile is imported.
"""

from __future__ import annotations

import operator
import os
import stat
import sys

import numpy as np

import korrin
from korrin import _native

__all__ = ["SEEK_CUR", "SEEK_END", "SEEK_SET", "SoundFile", "blocks", "patch", "unpatch"]

SEEK_SET, SEEK_CUR, SEEK_END = 0, 1, 2

_MAGIC = b"NIST_1A"
_DTYPES = ("float32", "float64", "int16", "int32")
# The metadata strings soundfile offers as attributes: a SPHERE file has none.
_STRINGS = ("title", "copyright", "software", "artist", "comment", "date", "album", "license", "tracknumber", "genre")
_SUBTYPE_INFO = {
    "PCM_S8": "Signed 8 bit PCM",
    "PCM_16": "Signed 16 bit PCM",
    "PCM_32": "Signed 32 bit PCM",
    "ULAW": "U-Law",
    "ALAW": "A-Law",
    "SHORTEN": "Shorten",
}
# Frames a span read of a Shorten stream takes beyond what is asked.
_READ_AHEAD = 1 << 16
_BAD_SEEK = 39  # libsndfile's SFE_BAD_SEEK


def _subtype(info: korrin.Info) -> str:
    if info.codec in ("ulaw", "pculaw"):  # pculaw: mu-law codes with their bits reversed
        return "ULAW"
    if info.codec == "alaw":
        return "ALAW"
    if info.codec == "shorten":
        return "SHORTEN"
    return {1: "PCM_S8", 4: "PCM_32"}.get(info.sample_width, "PCM_16")


def _endian(info: korrin.Info) -> str:
    """The byte order libsndfile reports: that of a PCM header's string
    sample_byte_format, else the file's."""
    if info.codec != "pcm":
        return "FILE"
    return {"10": "BIG", "01": "LITTLE", "1": "LITTLE"}.get(info.header.get("sample_byte_format"), "FILE")


def _runtime_error(message: str, code: int | None = None) -> RuntimeError:
    """soundfile's error for it where soundfile is imported (code that
    catches soundfile's errors has imported it), else a RuntimeError."""
    soundfile = sys.modules.get("soundfile")
    if soundfile is not None:
        if code is not None and hasattr(soundfile, "LibsndfileError"):
            return soundfile.LibsndfileError(code)
        if hasattr(soundfile, "SoundFileRuntimeError"):
            return soundfile.SoundFileRuntimeError(message)
    return RuntimeError(message)


def _check_mode(mode) -> None:
    """soundfile's checks of a mode, and then korrin's: it only reads."""
    if not isinstance(mode, str):
        raise TypeError(f"Invalid mode: {mode!r}")
    letters = set(mode)
    if letters.difference("xrwb+") or len(mode) > len(letters):
        raise ValueError(f"Invalid mode: {mode!r}")
    if len(letters.intersection("xrw")) != 1:
        raise ValueError("mode must contain exactly one of 'xrw'")
    if "r" not in letters or "+" in letters:
        raise ValueError(f"korrin.SoundFile only reads: mode must be 'r', not {mode!r}")


class SoundFile:
    """A SPHERE file open for reading, as soundfile.SoundFile opens one.

    `file` is a path, bytes holding a whole file, or a binary file object
    (read once, from where it stands). Only mode "r" is taken; samplerate,
    channels, subtype, endian and format are refused, as soundfile refuses
    them for an existing file.
    """

    def __init__(
        self,
        file,
        mode="r",
        samplerate=None,
        channels=None,
        subtype=None,
        endian=None,
        format=None,
        closefd=True,
        compression_level=None,
        bitrate_mode=None,
    ):
        if isinstance(file, os.PathLike):
            file = os.fspath(file)
        self._name = "<bytes>" if isinstance(file, (bytes, bytearray, memoryview)) else file
        if mode is None:
            mode = getattr(file, "mode", None)
            if mode is None:
                raise TypeError("Can not get `mode` from file. provided `mode` is None.")
        _check_mode(mode)
        if any(arg is not None for arg in (samplerate, channels, format, subtype, endian)):
            raise TypeError(
                "Not allowed for existing files (except 'RAW'): samplerate, channels, format, subtype, endian"
            )
        self._mode = mode
        self._compression_level = compression_level
        self._bitrate_mode = bitrate_mode
        self._source, self._is_path = korrin._source(file)
        info = korrin.info(file if self._is_path else self._source)
        self._samplerate, self._channels, self._frames = info.samplerate, info.channels, info.frames
        self._subtype, self._endian = _subtype(info), _endian(info)
        self._shorten = info.codec == "shorten"
        if self._is_path:
            try:
                size = os.stat(self._source).st_size
            except OSError:
                size = 0
            self._extra_info = f"File : {self._source if isinstance(self._source, str) else os.fsdecode(self._source)}\nLength : {size}\n"
        else:
            self._extra_info = f"Length : {len(self._source)}\n"
        self._position = 0
        self._ahead = None  # (dtype, first frame, array) read beyond the last span
        self._closed = False

    name = property(lambda self: self._name)
    mode = property(lambda self: self._mode)
    samplerate = property(lambda self: self._samplerate)
    frames = property(lambda self: self._frames)
    channels = property(lambda self: self._channels)
    format = property(lambda self: "NIST")
    subtype = property(lambda self: self._subtype)
    endian = property(lambda self: self._endian)
    format_info = property(lambda self: "WAV (NIST Sphere)")
    subtype_info = property(lambda self: _SUBTYPE_INFO[self._subtype])
    sections = property(lambda self: 1)
    closed = property(lambda self: self._closed)
    extra_info = property(lambda self: self._extra_info)
    compression_level = property(lambda self: self._compression_level)
    bitrate_mode = property(lambda self: self._bitrate_mode)

    def __repr__(self):
        setting = f", compression_level={self.compression_level}" if self.compression_level is not None else ""
        setting += f", bitrate_mode='{self.bitrate_mode}'" if self.bitrate_mode is not None else ""
        return (
            f"SoundFile({self.name!r}, mode={self.mode!r}, samplerate={self.samplerate}, "
            f"channels={self.channels}, format={self.format!r}, subtype={self.subtype!r}, "
            f"endian={self.endian!r}{setting})"
        )

    def __enter__(self):
        return self

    def __exit__(self, *args):
        self.close()

    def __getattr__(self, name):
        if name in _STRINGS:
            self._check_if_closed()
            return ""
        raise AttributeError(f"'SoundFile' object has no attribute {name!r}")

    def __len__(self):
        return self._frames

    def __bool__(self):
        return True

    def copy_metadata(self) -> dict:
        return {}

    def seekable(self) -> bool:
        return True

    def seek(self, frames, whence=SEEK_SET) -> int:
        self._check_if_closed()
        frames = operator.index(frames)
        base = {SEEK_SET: 0, SEEK_CUR: self._position, SEEK_END: self._frames}.get(whence)
        if base is None or not 0 <= base + frames <= self._frames:
            raise _runtime_error("Internal psf_fseek() failed.", _BAD_SEEK)
        self._position = base + frames
        return self._position

    def tell(self) -> int:
        return self.seek(0, SEEK_CUR)

    def read(self, frames=-1, dtype="float64", always_2d=False, fill_value=None, out=None):
        frames = operator.index(frames)
        if out is None:
            frames = self._check_frames(frames, fill_value)
            name = korrin._dtype(dtype)
            data = self._take(min(frames, self._frames - self._position), name)
            if len(data) < frames:  # only with a fill_value
                filled = np.empty((frames, self._channels), name)
                filled[: len(data)] = data
                filled[len(data) :] = fill_value
                data = filled
            return data if always_2d or self._channels > 1 else data.reshape(-1)
        if frames < 0 or frames > len(out):
            frames = len(out)
        frames = self._read_into(out, frames)
        if len(out) > frames:
            if fill_value is None:
                out = out[:frames]
            else:
                out[frames:] = fill_value
        return out

    def buffer_read(self, frames=-1, dtype=None) -> memoryview:
        frames = self._check_frames(operator.index(frames), None)
        data = self._take(frames, self._check_dtype(dtype))
        return memoryview(data).cast("B")

    def buffer_read_into(self, buffer, dtype) -> int:
        name = self._check_dtype(dtype)
        view = memoryview(buffer)
        frames, remainder = divmod(view.nbytes, self._channels * np.dtype(name).itemsize)
        if remainder:
            raise ValueError("Data size must be a multiple of frame size")
        array = np.frombuffer(view, dtype=name, count=frames * self._channels).reshape(frames, self._channels)
        self._check_if_closed()
        frames = min(frames, self._frames - self._position)
        array[:frames] = self._take(frames, name)
        return frames

    def blocks(self, blocksize=None, overlap=0, frames=-1, dtype="float64", always_2d=False, fill_value=None, out=None):
        """soundfile's generator of blocks, read by korrin."""
        frames = self._check_frames(frames, fill_value)
        if out is None:
            if blocksize is None:
                raise TypeError("One of {blocksize, out} must be specified")
            size = blocksize if fill_value is not None else min(blocksize, frames)
            out = self._empty(size, always_2d, dtype)
            copy_out = True
        else:
            if blocksize is not None:
                raise TypeError("Only one of {blocksize, out} may be specified")
            blocksize = len(out)
            copy_out = False
        overlap_memory = None
        while frames > 0:
            if overlap_memory is None:
                output_offset = 0
            else:
                output_offset = len(overlap_memory)
                out[:output_offset] = overlap_memory
            toread = min(blocksize - output_offset, frames)
            self.read(toread, dtype, always_2d, fill_value, out[output_offset:])
            if overlap:
                if overlap_memory is None:
                    overlap_memory = np.copy(out[-overlap:])
                else:
                    overlap_memory[:] = out[-overlap:]
            if blocksize > frames + overlap and fill_value is None:
                block = out[: frames + overlap]
            else:
                block = out
            yield np.copy(block) if copy_out else block
            frames -= toread

    def flush(self) -> None:
        self._check_if_closed()

    def close(self) -> None:
        """Close the file. Can be called multiple times."""
        self._closed = True
        self._ahead = None

    def _prepare_read(self, start, stop, frames):
        """soundfile's: seeks to start, and returns the frames to read."""
        if frames >= 0 and stop is not None:
            raise TypeError("Only one of {frames, stop} may be used")
        start, stop, _ = slice(start, stop).indices(self._frames)
        if stop < start:
            stop = start
        if frames < 0:
            frames = stop - start
        self.seek(start, SEEK_SET)
        return frames

    def _check_if_closed(self):
        if self._closed:
            raise _runtime_error("I/O operation on closed file")

    def _check_frames(self, frames, fill_value):
        remaining = self._frames - self.tell()
        if frames < 0 or (frames > remaining and fill_value is None):
            frames = remaining
        return frames

    def _check_dtype(self, dtype) -> str:
        if not isinstance(dtype, str) or dtype not in _DTYPES:
            raise ValueError(f"dtype must be one of {sorted(_DTYPES)!r} and not {dtype!r}")
        return dtype

    def _empty(self, frames, always_2d, dtype):
        shape = (frames, self._channels) if always_2d or self._channels > 1 else (frames,)
        return np.empty(shape, dtype, order="C")

    def _read_into(self, out, frames) -> int:
        if out.ndim not in (1, 2):
            raise ValueError(
                f"Invalid shape: {out.shape!r} "
                f"({'0 dimensions not supported' if out.ndim < 1 else 'too many dimensions'})"
            )
        channels = 1 if out.ndim == 1 else out.shape[1]
        if channels != self._channels:
            raise ValueError(f"Invalid shape: {out.shape!r} (Expected {self._channels} channels, got {channels})")
        if not out.flags.c_contiguous:
            raise ValueError("Data must be C-contiguous")
        name = self._check_dtype(out.dtype.name)
        self._check_if_closed()
        frames = min(frames, self._frames - self._position)
        if frames > 0:
            out[:frames] = self._take(frames, name).reshape(out[:frames].shape)
        return frames

    def _take(self, frames, dtype):
        """The next `frames` frames, (frames, channels) of dtype, the
        position moved past them."""
        self._check_if_closed()
        start = self._position
        data = self._span(start, start + frames, dtype)
        self._position = start + frames
        return data

    def _span(self, start, stop, dtype):
        # A read of every frame checks the header's checksum, as korrin.read does.
        whole = start == 0 and stop == self._frames
        if not self._shorten or whole:
            return self._read(start, stop, dtype, whole)
        ahead = self._ahead
        if ahead is None or ahead[0] != dtype or not ahead[1] <= start or stop > ahead[1] + len(ahead[2]):
            # From a path, a stretch beyond the span (checkpoints take the
            # next read near it); of bytes, which are decoded from the start
            # each time, the whole stream.
            first, last = (
                (start, min(self._frames, max(stop, start + _READ_AHEAD))) if self._is_path else (0, self._frames)
            )
            ahead = self._ahead = (dtype, first, self._read(first, last, dtype, False))
        return ahead[2][start - ahead[1] : stop - ahead[1]].copy()

    def _read(self, start, stop, dtype, checksum):
        buffer, count, width, _ = _native.read(self._source, self._is_path, start, stop, -1, None, dtype, checksum)
        return korrin._array(buffer, count, width, dtype, True)


def blocks(
    file,
    blocksize=None,
    overlap=0,
    frames=-1,
    start=0,
    stop=None,
    dtype="float64",
    always_2d=False,
    fill_value=None,
    out=None,
    samplerate=None,
    channels=None,
    format=None,
    subtype=None,
    endian=None,
    closefd=True,
):
    """soundfile.blocks on korrin: blocks of a SPHERE file."""
    with SoundFile(file, "r", samplerate, channels, subtype, endian, format, closefd) as f:
        frames = f._prepare_read(start, stop, frames)
        yield from f.blocks(blocksize, overlap, frames, dtype, always_2d, fill_value, out)


# --------------------------------------------------------------------------
# soundfile itself


def _is_regular_file(path) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False


def _sphere(file):
    """(what korrin reads, how to give the file back to soundfile) when
    `file` holds a SPHERE file, else None."""
    if isinstance(file, os.PathLike):
        file = os.fspath(file)
    if isinstance(file, bytes):
        if file.startswith(_MAGIC) and not _is_regular_file(file):
            return file, None  # a whole file's bytes, where soundfile takes a path
        file = os.fsdecode(file)
    if isinstance(file, str):
        # Only a regular file: opening a FIFO or a device to look would
        # block or take what soundfile is to read.
        if not _is_regular_file(file):
            return None
        try:
            with open(file, "rb") as f:
                head = f.read(len(_MAGIC))
        except OSError:
            return None
        return (file, None) if head == _MAGIC else None
    if isinstance(file, int) or not all(hasattr(file, name) for name in ("read", "seek", "tell")):
        return None
    try:
        where = file.tell()
        head = file.read(len(_MAGIC))
        file.seek(where)
    except Exception:  # noqa: BLE001 - any file object soundfile may take
        return None
    if head != _MAGIC:
        return None
    return file, lambda: file.seek(where)


def _reads_only(mode, file) -> bool:
    if mode is None:
        mode = getattr(file, "mode", None)
    return isinstance(mode, str) and "r" in mode and not set(mode) - set("rb")


_original = None  # soundfile's own SoundFile while patched


def _stand_in(original):
    """A soundfile.SoundFile that hands SPHERE content to korrin."""

    class _Kind(type(original)):
        # isinstance(x, soundfile.SoundFile) holds for what it makes and for
        # soundfile's own files opened before the patch.
        def __instancecheck__(cls, instance):
            return isinstance(instance, (original, SoundFile))

        def __subclasscheck__(cls, subclass):
            return issubclass(subclass, (original, SoundFile))

    def __new__(
        cls,
        file,
        mode="r",
        samplerate=None,
        channels=None,
        subtype=None,
        endian=None,
        format=None,
        closefd=True,
        compression_level=None,
        bitrate_mode=None,
    ):
        if cls is stand_in and _reads_only(mode, file) and not (isinstance(format, str) and format.upper() == "RAW"):
            found = _sphere(file)
            if found is not None:
                source, give_back = found
                try:
                    return SoundFile(
                        source,
                        mode,
                        samplerate,
                        channels,
                        subtype,
                        endian,
                        format,
                        closefd,
                        compression_level,
                        bitrate_mode,
                    )
                except ValueError:
                    # A coding korrin does not read: soundfile's, as before.
                    if give_back is not None:
                        give_back()
        return original.__new__(cls)

    stand_in = _Kind(
        "SoundFile",
        (original,),
        {
            "__new__": __new__,
            "__module__": original.__module__,
            "__qualname__": original.__qualname__,
            "__doc__": original.__doc__,
        },
    )
    return stand_in


def patch() -> None:
    """Makes soundfile read SPHERE files through korrin: soundfile.SoundFile,
    and so soundfile.read, soundfile.info and soundfile.blocks, hand content
    beginning "NIST_1A" to korrin and everything else to soundfile. Calling
    it again changes nothing."""
    global _original
    try:
        import soundfile
    except ImportError:
        raise ImportError(
            "korrin.soundfile.patch() changes soundfile, which is not installed: "
            "pip install soundfile (korrin.SoundFile reads SPHERE without it)"
        ) from None
    if _original is None:
        _original = soundfile.SoundFile
        soundfile.SoundFile = _stand_in(_original)


def unpatch() -> None:
    """Gives soundfile its own SoundFile back (files opened meanwhile stay
    as they are)."""
    global _original
    if _original is not None:
        import soundfile

        soundfile.SoundFile = _original
        _original = None

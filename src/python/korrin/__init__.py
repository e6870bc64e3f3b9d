"""NIST SPHERE audio straight into numpy arrays, in the manner of soundfile.

    data, rate = korrin.read("sw02001.sph", dtype="float32")
    info = korrin.info("sw02001.sph")          # the header alone
    cuts = korrin.read_segments("sw02001.sph", [(8000, 24000, 0), (40000, 56000)])

Every coding that sph2wav converts is read: linear PCM of 2 or 4 bytes in
either byte order, mu-law, A-law, and Shorten (the -v2.00 label and the
older -v1.09 and -v1.1 ones, stream versions 1 and 2). Files are read and
decoded with the interpreter lock released, so threads read in parallel;
of a stored payload only the frames asked for are read, and a Shorten
stream read from a path leaves checkpoints behind, so that a later read of
a span near its end decodes only from the checkpoint before it.
"""

from __future__ import annotations

import operator
import os

try:
    import numpy as _np
except ImportError as error:  # pragma: no cover - the test suites have numpy
    raise ImportError(
        "korrin needs numpy, which is not installed: pip install numpy (korrin_native and sph2wav work without it)"
    ) from error

from korrin import _native

__all__ = ["Info", "info", "read", "read_segments"]
__version__ = _native.__version__

_DTYPES = ("float32", "float64", "int16", "int32")
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


class Info:
    """What a SPHERE file's header says, as `korrin.info` reads it.

    `samplerate`, `channels` and `frames` (per channel) are ints, `duration`
    is frames / samplerate in seconds, `codec` is "pcm", "ulaw", "alaw",
    "pculaw" or "shorten" (the names `sph2wav --info` gives too), and
    `sample_width` the bytes of a stored linear PCM sample (1, 2 or 4; 2 for
    G.711 and Shorten, which decode to 16 bits). `header` holds the header's
    fields in the file's order, integers as int, reals as float and strings
    as str; a field named twice keeps its first place and its last value,
    the one conversions use.
    """

    __slots__ = ("samplerate", "channels", "frames", "duration", "codec", "sample_width", "header")

    def __init__(self, samplerate, channels, frames, codec, sample_width, header):
        self.samplerate = samplerate
        self.channels = channels
        self.frames = frames
        self.duration = frames / samplerate
        self.codec = codec
        self.sample_width = sample_width
        self.header = header

    def __repr__(self):
        return (
            f"korrin.Info(samplerate={self.samplerate}, channels={self.channels}, frames={self.frames}, "
            f"duration={self.duration!r}, codec={self.codec!r}, sample_width={self.sample_width}, "
            f"header=<{len(self.header)} fields>)"
        )

    def __eq__(self, other):
        if not isinstance(other, Info):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    __hash__ = None


def _source(file):
    """(source, is_path) for _native: a path as os.fspath gives it, or the
    bytes of a whole file (anything but bytes is copied into bytes first,
    so that nothing the caller holds can change while it is read)."""
    if isinstance(file, (str, os.PathLike)):
        return os.fspath(file), True
    if isinstance(file, bytes):
        return file, False
    if isinstance(file, (bytearray, memoryview)):
        return bytes(file), False
    read = getattr(file, "read", None)
    if read is None:
        raise TypeError(f"file must be a path, bytes or a binary file object, not {type(file).__name__!r}")
    data = read()
    if isinstance(data, str):
        raise TypeError("file object must be opened in binary mode (its read() gave str)")
    if isinstance(data, bytes):
        return data, False
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data), False
    raise TypeError(f"file object's read() must return bytes, not {type(data).__name__!r}")


def _dtype(dtype):
    name = _np.dtype(dtype).name
    if name not in _DTYPES:
        raise ValueError(f"dtype must be one of {list(_DTYPES)!r} and not {name!r}")
    return name


def _int64(value, name):
    try:
        index = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__!r}") from None
    return min(max(index, _INT64_MIN), _INT64_MAX)


def _channels(channel):
    """None (every channel), or the channels to keep as a tuple of ints."""
    if channel is None:
        return None
    try:
        return (_int64(channel, "channel"),)
    except TypeError:
        pass
    try:
        picks = tuple(channel)
    except TypeError:
        raise TypeError(f"channel must be an int or a sequence of ints, not {type(channel).__name__!r}") from None
    if not picks:
        raise ValueError("channel must name at least one channel")
    return tuple(_int64(c, "channel") for c in picks)


def _array(buffer, frames, channels, dtype, always_2d):
    # The Buffer lends its memory through __array_interface__ and stays the
    # array's base; its memory is reused once the array is gone.
    data = _np.asarray(buffer).view(dtype)
    if channels == 1 and not always_2d:
        return data
    return data.reshape(frames, channels)


def info(file) -> Info:
    """The header of a SPHERE file (a path, bytes, or a binary file object),
    read alone and checked as reading the file would check it."""
    source, is_path = _source(file)
    fields, channels, rate, frames, codec, width = _native.info(source, is_path)
    header = {}
    for name, kind, value in fields:
        header[name] = int(value) if kind == "-i" else float(value) if kind == "-r" else value
    return Info(rate, channels, frames, codec, width, header)


def read(file, frames=-1, start=0, stop=None, dtype="float64", always_2d=False, channel=None, checksum=True):
    """(data, samplerate) of a SPHERE file, as soundfile.read returns them.

    `data` has the shape (frames,) for one channel unless `always_2d`, else
    (frames, channels). `start` and `stop` (negative: from the end) or
    `frames` choose the frames, as soundfile.read takes them; `channel`, an
    int or a sequence of ints (0-based), the channels to keep. The values of
    `dtype` ("int16", "int32", "float32", "float64") are those soundfile
    gives for the same file. With `checksum`, a read of every frame checks
    the header's sample_checksum, as sph2wav does.
    """
    start = 0 if start is None else _int64(start, "start")
    stop = None if stop is None else _int64(stop, "stop")
    frames = _int64(frames, "frames")
    if frames >= 0 and stop is not None:
        raise TypeError("Only one of {frames, stop} may be used")
    name = _dtype(dtype)
    source, is_path = _source(file)
    buffer, count, width, rate = _native.read(
        source, is_path, start, stop, frames, _channels(channel), name, bool(checksum)
    )
    return _array(buffer, count, width, name, always_2d), rate


def read_segments(file, segments, dtype="float64", always_2d=False):
    """The arrays of many spans of one file, from one read of it.

    `segments` holds (start, stop) or (start, stop, channel) in frames, each
    taken as `read` takes start, stop and channel; of a Shorten stream the
    frames up to the last one any span needs are decoded once. Returns one
    array per span, in their order, shaped as `read` shapes them.
    """
    spans = []
    for segment in segments:
        try:
            items = tuple(segment)
        except TypeError:
            raise TypeError(f"a segment must be (start, stop) or (start, stop, channel), not {segment!r}") from None
        if len(items) not in (2, 3):
            raise ValueError(f"a segment must be (start, stop) or (start, stop, channel), not {segment!r}")
        start, stop = items[0], items[1]
        spans.append(
            (
                0 if start is None else _int64(start, "start"),
                None if stop is None else _int64(stop, "stop"),
                _channels(items[2] if len(items) == 3 else None),
            )
        )
    name = _dtype(dtype)
    source, is_path = _source(file)
    pieces, _rate = _native.read_segments(source, is_path, spans, name)
    return [_array(buffer, count, width, name, always_2d) for buffer, count, width in pieces]


# soundfile's SoundFile and blocks, and torchaudio's load, on the readers above.
from korrin._torch import load  # noqa: E402
from korrin.soundfile import SoundFile, blocks  # noqa: E402

__all__ += ["SoundFile", "blocks", "load"]

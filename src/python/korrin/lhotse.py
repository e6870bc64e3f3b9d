"""A lhotse audio backend that reads SPHERE files through korrin.

    import korrin.lhotse
    korrin.lhotse.use()     # lhotse's default backend now reads SPHERE here

`KorrinBackend` claims paths ending in .sph, .wv1 or .wv2 (any case), and
.wav files that begin with "NIST_1A" (the SPHERE files of corpora that
name them so). It returns what lhotse's sph2pipe backend returns for them,
sample for sample: float32, channels first, a span taken as `sph2pipe -t
B:E` takes it (each end truncated to a frame, `int(seconds * rate)`, the
end being `round(offset + duration, 5)`), but without a process per cut,
with checkpoints into Shorten streams, and for files of more than two
channels or of 4-byte PCM, which sph2pipe garbles, the right samples. Its
`info()` reads the header alone, where the sph2pipe backend decodes the
whole file to learn its length.

Kaldi data directories: `lhotse.kaldi.load_kaldi_data_dir` keeps each
wav.scp line that ends in "|" as a command, which lhotse runs (decoding
the whole recording) for every cut it loads, and refuses such lines
unless kaldi_native_io is installed, which runs each pipe once more to
learn its length. After `use()`, a line that is one sph2pipe or sph2wav
call (taken apart by the parser of `sph2wav --wav-scp`) is read without a
process: its duration from the file's header, each cut as the span and
channel it asks for, the samples those of the pipe. Any other command,
and a call whose output or coding korrin does not reproduce (`-f raw`,
`-u`, `-a`, `-h`), still runs.

lhotse is not a dependency of korrin: this module imports it, and fails
to import where it is missing.
"""

from __future__ import annotations

import functools
from pathlib import Path
from typing import Optional, Tuple

import numpy as np
from lhotse.audio import backend as _backend
from lhotse.audio.source import AudioSource as _AudioSource
from lhotse.utils import compute_num_samples as _compute_num_samples
from lhotse.utils import is_module_available as _is_module_available

import korrin
from korrin import _native

__all__ = ["KaldiPipe", "KorrinBackend", "restore", "use"]

_SPHERE_SUFFIXES = (".sph", ".wv1", ".wv2")


def _is_sphere_path(path_or_fd) -> bool:
    if not isinstance(path_or_fd, (str, Path)):
        return False
    name = str(path_or_fd).lower()
    if name.endswith(_SPHERE_SUFFIXES):
        return True
    if not name.endswith(".wav"):
        return False
    try:
        with open(path_or_fd, "rb") as f:
            return f.read(7) == b"NIST_1A"
    except OSError:
        return False


class KorrinBackend(_backend.AudioBackend):
    """lhotse's AudioBackend for SPHERE files, on korrin."""

    def read_audio(
        self,
        path_or_fd,
        offset: float = 0.0,
        duration: Optional[float] = None,
        force_opus_sampling_rate: Optional[int] = None,
    ) -> Tuple[np.ndarray, int]:
        if isinstance(path_or_fd, KaldiPipe):
            return path_or_fd.read(offset, duration)
        info = korrin.info(path_or_fd)
        rate = info.samplerate
        start = int(offset * rate)
        stop = None
        if duration is not None:
            stop = int(round(offset + duration, 5) * rate) or None  # an end of 0 is the file's end
        if start > info.frames:
            raise ValueError(f"start point {start} > length {info.frames} of {path_or_fd}")
        if stop is not None and start >= stop:
            raise ValueError(f"span {offset}:{offset + duration} s of {path_or_fd} ends before it starts")
        data, rate = korrin.read(path_or_fd, start=start, stop=stop, dtype="float32", always_2d=True)
        return data.T, rate

    def handles_special_case(self, path_or_fd) -> bool:
        return isinstance(path_or_fd, KaldiPipe) or _is_sphere_path(path_or_fd)

    def is_applicable(self, path_or_fd) -> bool:
        return self.handles_special_case(path_or_fd)

    def supports_info(self) -> bool:
        return True

    def info(self, path_or_fd, force_opus_sampling_rate: Optional[int] = None):
        if isinstance(path_or_fd, KaldiPipe):
            channels, frames, rate = path_or_fd.shape()
            return _backend.LibsndfileCompatibleAudioInfo(
                channels=channels, frames=frames, samplerate=rate, duration=frames / rate
            )
        info = korrin.info(path_or_fd)
        return _backend.LibsndfileCompatibleAudioInfo(
            channels=info.channels, frames=info.frames, samplerate=info.samplerate, duration=info.duration
        )


# What a wav.scp pipe writes that korrin reproduces: WAV or SPHERE (which
# soundfile reads back to the same samples), in the file's own coding or
# 16-bit linear PCM. Raw output (which lhotse cannot read back), AU and
# AIFF, G.711 re-coding and separate headers are left to the command.
_ENCODINGS = ("wav", "sphere")
_CODINGS = ("keep", "linear", "linear16")
# Codings of a file read here (PCM by its stored bytes): sph2pipe refuses
# 8-bit PCM, which korrin does not read yet.
_CODECS = ("ulaw", "alaw", "shorten")
_PCM_WIDTHS = (2, 4)


@functools.lru_cache(maxsize=4096)
def _entry(command: str):
    """A pipe's command (lhotse's source: the wav.scp entry without its
    "|") as sph2wav --wav-scp reads it: (path, coding, checksum), or None
    when it is not one sph2pipe or sph2wav call that korrin reads."""
    error, path, header_file, encoding, coding, checksum, _, _ = _native.wav_scp_entry(command + " |", None)
    if error or header_file is not None or encoding not in _ENCODINGS or coding not in _CODINGS:
        return None
    return path, coding, checksum


class KaldiPipe:
    """A wav.scp pipe that is one sph2pipe or sph2wav call, read without
    running it: what a Kaldi-imported AudioSource hands lhotse's backend
    after `use()`. `read` and `shape` take the call's span, channel and
    coding from the parser of `sph2wav --wav-scp`; a file they cannot read
    as the call would (a coding or a header the call takes otherwise) is
    left to the command, run as lhotse runs it."""

    __slots__ = ("command", "path", "coding", "checksum", "source")

    def __init__(self, command: str, source: Optional[_AudioSource] = None):
        entry = _entry(command)
        if entry is None:
            raise ValueError(f"not a sph2pipe or sph2wav call that korrin reads: {command!r}")
        self.command = command
        self.path, self.coding, self.checksum = entry
        self.source = source

    def __repr__(self):
        return f"KaldiPipe({self.command!r})"

    def _resolve(self):
        """(info, begin, end, channel): the file's header, and the frames and
        channel (0-based, None for all) that the call writes."""
        info = korrin.info(self.path)
        width = info.header.get("sample_n_bytes") if info.codec == "pcm" else None
        if info.codec not in _CODECS and width not in _PCM_WIDTHS:
            raise _Unreproduced(f"{self.path}: korrin does not read its {info.codec} samples as the call would")
        begin, end, channel = _native.wav_scp_entry(self.command + " |", (info.channels, info.frames, info.samplerate))[
            7
        ]
        return info, begin, end, channel

    def shape(self) -> Tuple[int, int, int]:
        """(channels, frames, samplerate) of what the pipe writes."""
        info, begin, end, channel = self._resolve()
        return (info.channels if channel is None else 1), end - begin, info.samplerate

    def read(self, offset: float = 0.0, duration: Optional[float] = None) -> Tuple[np.ndarray, int]:
        """The samples lhotse reads of the pipe's output from `offset` for
        `duration` seconds (its libsndfile backend's frames: each rounded
        to the nearest), float32, channels first."""
        try:
            info, begin, end, channel = self._resolve()
            return self._read(info, begin, end, channel, offset, duration)
        except (_Unreproduced, ValueError):
            if self.source is None:
                raise
        # What the call writes, from the call itself, read as lhotse reads it.
        prepare = _ORIGINALS.get("prepare", _AudioSource._prepare_for_reading)
        return _backend.read_audio(
            prepare(self.source, offset=offset, duration=duration), offset=offset, duration=duration
        )

    def _read(self, info, begin, end, channel, offset, duration):
        rate = info.samplerate
        start = _compute_num_samples(offset, rate) if offset > 0 else 0
        if start > end - begin:
            raise ValueError(f"offset {offset} s is beyond the {end - begin} frames that {self} writes")
        stop = end if duration is None else min(end, begin + start + _compute_num_samples(duration, rate))
        whole = begin + start == 0 and stop == info.frames
        checksum = self.checksum == "verify" and whole
        if self.coding == "linear16" and info.sample_width == 4:
            # 16-bit PCM of 4-byte samples: their upper 16 bits.
            data, _ = korrin.read(
                self.path,
                start=begin + start,
                stop=stop,
                channel=channel,
                dtype="int16",
                always_2d=True,
                checksum=checksum,
            )
            data = data.astype(np.float32) / np.float32(32768)
        else:
            data, _ = korrin.read(
                self.path,
                start=begin + start,
                stop=stop,
                channel=channel,
                dtype="float32",
                always_2d=True,
                checksum=checksum,
            )
        return data.T, rate


class _Unreproduced(Exception):
    """A file whose samples korrin would not give as the call gives them."""


def _reads_pipes() -> bool:
    current = _backend.get_current_audio_backend()
    if isinstance(current, KorrinBackend):
        return True
    return isinstance(current, _backend.CompositeAudioBackend) and any(
        isinstance(b, KorrinBackend) for b in current.backends
    )


def _prepare_for_reading(self, offset, duration):
    """AudioSource._prepare_for_reading, which runs a "command" source: a
    KaldiPipe instead where the command is one call korrin reads and the
    backend that will get it is korrin's."""
    if self.type == "command" and _entry(self.source) is not None and _reads_pipes():
        return KaldiPipe(self.source, self)
    return _ORIGINALS["prepare"](self, offset=offset, duration=duration)


def _get_duration(path):
    """lhotse.kaldi.get_duration, which needs kaldi_native_io and runs the
    pipe: the duration of what a KaldiPipe writes, from the header. As
    lhotse does, None (the recording dropped, with a warning) for a file
    that cannot be read or for more than one channel."""
    from lhotse.kaldi import floor_duration_to_milliseconds

    text = str(path).strip()
    if text.endswith("|") and _entry(text[:-1]) is not None:
        try:
            channels, frames, rate = KaldiPipe(text[:-1]).shape()
        except (OSError, ValueError, _Unreproduced):
            if not _is_module_available("kaldi_native_io"):
                return None
        else:
            return floor_duration_to_milliseconds(frames / rate) if channels == 1 else None
    # lhotse's own: kept by use(), or, in a worker process that lhotse
    # started without forking, where use() never ran, still in its place.
    original = _ORIGINALS.get("get_duration")
    if original is None:
        from lhotse.kaldi import get_duration as original
    return original(path)


# What use() replaced, for restore().
_ORIGINALS: dict = {}


def use() -> KorrinBackend:
    """Puts a KorrinBackend into lhotse's default backend in place of its
    sph2pipe backend (lhotse refuses two backends that claim one file), for
    reading and for info(); and reads the wav.scp pipes of Kaldi-imported
    recordings that are one sph2pipe or sph2wav call through it (their
    durations from the header, lhotse.kaldi.get_duration; their samples
    without a process, AudioSource's command sources). Returns the backend;
    calling again changes nothing."""
    import lhotse.kaldi

    default = _backend.get_default_audio_backend()
    ours = next((b for b in default.backends if isinstance(b, KorrinBackend)), None)
    if ours is None:
        ours = KorrinBackend()
        _ORIGINALS["backends"] = list(default.backends)
        kept = [b for b in default.backends if not isinstance(b, _backend.Sph2pipeSubprocessBackend)]
        default.backends[:] = [ours, *kept]
    if "prepare" not in _ORIGINALS:
        _ORIGINALS["prepare"] = _AudioSource._prepare_for_reading
        _ORIGINALS["get_duration"] = lhotse.kaldi.get_duration
        _AudioSource._prepare_for_reading = _prepare_for_reading
        lhotse.kaldi.get_duration = _get_duration
    return ours


def restore() -> None:
    """Undoes use(): lhotse's own backends, durations and commands again."""
    import lhotse.kaldi

    if "backends" in _ORIGINALS:
        _backend.get_default_audio_backend().backends[:] = _ORIGINALS.pop("backends")
    if "prepare" in _ORIGINALS:
        _AudioSource._prepare_for_reading = _ORIGINALS.pop("prepare")
        lhotse.kaldi.get_duration = _ORIGINALS.pop("get_duration")

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

lhotse is not a dependency of korrin: this module imports it, and fails
to import where it is missing.
"""

from __future__ import annotations

from pathlib import Path
from typing import Optional, Tuple

import numpy as np
from lhotse.audio import backend as _backend

import korrin

__all__ = ["KorrinBackend", "use"]

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
        return _is_sphere_path(path_or_fd)

    def is_applicable(self, path_or_fd) -> bool:
        return self.handles_special_case(path_or_fd)

    def supports_info(self) -> bool:
        return True

    def info(self, path_or_fd, force_opus_sampling_rate: Optional[int] = None):
        info = korrin.info(path_or_fd)
        return _backend.LibsndfileCompatibleAudioInfo(
            channels=info.channels, frames=info.frames, samplerate=info.samplerate, duration=info.duration
        )


def use() -> KorrinBackend:
    """Puts a KorrinBackend into lhotse's default backend in place of its
    sph2pipe backend (lhotse refuses two backends that claim one file), for
    reading and for info(). Returns it; calling again changes nothing."""
    default = _backend.get_default_audio_backend()
    for backend in default.backends:
        if isinstance(backend, KorrinBackend):
            return backend
    ours = KorrinBackend()
    kept = [b for b in default.backends if not isinstance(b, _backend.Sph2pipeSubprocessBackend)]
    default.backends[:] = [ours, *kept]
    return ours

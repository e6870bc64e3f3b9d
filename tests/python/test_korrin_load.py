"""korrin.load against korrin.read transposed (torch where it is installed)."""

from __future__ import annotations

import io
import sys

import numpy as np
import pytest

import korrin
from conftest import EXAMPLES, SHARED_SPHERE

FILES = sorted(EXAMPLES.glob("*.sph")) + sorted(SHARED_SPHERE.glob("*.sph"))


def test_without_torch_it_says_so(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError, match=r"korrin.load returns a torch.Tensor .* pip install torch"):
        korrin.load(FILES[0])


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_load_is_read_transposed(path):
    torch = pytest.importorskip("torch", reason="torch is not installed (bash scripts/test lhotse installs it)")
    info = korrin.info(path)
    stored = "int32" if info.sample_width == 4 else "int16"
    for kwargs, read_kwargs in [
        ({}, {}),
        ({"frame_offset": 100, "num_frames": 250}, {"start": 100, "frames": 250}),
        ({"frame_offset": -50}, {"start": -50}),
        ({"num_frames": 10**9}, {"frames": 10**9}),
    ]:
        for normalize, dtype in [(True, "float32"), (False, stored)]:
            for source in (path, str(path), io.BytesIO(path.read_bytes()), path.read_bytes()):
                waveform, rate = korrin.load(source, normalize=normalize, **kwargs)
                want, want_rate = korrin.read(path, dtype=dtype, always_2d=True, **read_kwargs)
                assert isinstance(waveform, torch.Tensor) and rate == want_rate == info.samplerate
                assert waveform.shape == (info.channels, len(want)) and str(waveform.dtype) == f"torch.{dtype}"
                np.testing.assert_array_equal(waveform.numpy(), want.T)
    frames_first, _ = korrin.load(path, channels_first=False)
    assert frames_first.shape == (info.frames, info.channels) and frames_first.is_contiguous()
    assert float(frames_first.abs().max()) < 1

"""korrin.lhotse against lhotse's own sph2pipe backend, sph2pipe on the PATH.

Needs lhotse (and its torch), which only `bash scripts/test lhotse` installs:
skipped elsewhere."""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import EXAMPLES, REPO, SHARED_SPHERE
from test_shorten_v1 import shorten_sphere

lhotse = pytest.importorskip("lhotse", reason="lhotse is not installed (bash scripts/test lhotse installs it)")
from lhotse.audio import backend as lhotse_backend  # noqa: E402

import korrin.lhotse  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402

ORACLE = Path(os.environ.get("KORRIN_SPH2PIPE") or REPO.parent / "shared" / "oracles" / "sph2pipe" / "sph2pipe")


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """SPHERE files under the names corpora give them: examples, the real
    ones, and an 8 kHz two-channel Shorten mu-law call of 12 s."""
    where = tmp_path_factory.mktemp("corpus")
    files = []
    for path in sorted(EXAMPLES.glob("*.sph")) + sorted(SHARED_SPHERE.glob("*.sph")):
        shutil.copy(path, where / path.name)
        files.append(where / path.name)
    values = enc.speech_like_values(96000, 2, 5, amplitude=120)
    stream = enc.encode(values, sample_type=8, blocksize=256, nmean=0, seed=5, commands=(enc.DIFF1, enc.DIFF2),
                        verbatim=False, pad_to_words=True)
    call = shorten_sphere(stream.data, 96000, 2, "embedded-shorten-v2.00", "ulaw").replace(
        b"sample_rate -i 16000", b"sample_rate -i 8000 ")
    for name in ("call.sph", "call.WV1", "call.wav"):
        (where / name).write_bytes(call)
        files.append(where / name)
    return files


@pytest.fixture
def oracle_path(monkeypatch):
    if not ORACLE.exists():
        pytest.skip(f"no sph2pipe at {ORACLE} (set KORRIN_SPH2PIPE)")
    monkeypatch.setenv("PATH", f"{ORACLE.parent}{os.pathsep}{os.environ['PATH']}")


CUTS = [(0.0, None), (0.0, 0.1), (0.05, 0.1), (0.123456, 0.0777), (0.2, 0.05), (1.5, 2.25), (7.9999, 3.0),
        (0.1, None)]


def loaded(files):
    """Per file: the Recording's duration, samples and frames, and its cuts' samples."""
    out = {}
    for path in files:
        recording = lhotse.Recording.from_file(path)
        cuts = []
        for offset, duration in CUTS:
            if offset + (duration or 0) <= recording.duration:
                cuts.append(recording.load_audio(offset=offset, duration=duration))
        out[path.name] = (recording.duration, recording.num_samples, recording.sampling_rate,
                          recording.load_audio(), cuts)
    return out


def test_same_samples_as_the_sph2pipe_backend(corpus, oracle_path):
    default = lhotse_backend.get_default_audio_backend()
    saved = list(default.backends)
    try:
        # The sph2pipe backend claims only .sph; the others it would hand to
        # libsndfile, which reads no Shorten.
        sph = [p for p in corpus if p.suffix == ".sph"]
        theirs = loaded(sph)
        korrin.lhotse.use()
        assert korrin.lhotse.use() is korrin.lhotse.use()
        assert sum(isinstance(b, korrin.lhotse.KorrinBackend) for b in default.backends) == 1
        assert not any(isinstance(b, lhotse_backend.Sph2pipeSubprocessBackend) for b in default.backends)
        ours = loaded(corpus)
    finally:
        default.backends[:] = saved
    for name, (duration, frames, rate, whole, cuts) in theirs.items():
        got = ours[name]
        assert got[:3] == (duration, frames, rate), name
        assert whole.dtype == got[3].dtype == np.float32
        np.testing.assert_array_equal(got[3], whole, err_msg=name)
        assert len(got[4]) == len(cuts)
        for (offset, duration), a, b in zip(CUTS, cuts, got[4]):
            np.testing.assert_array_equal(b, a, err_msg=f"{name} {offset}+{duration}")
    # The same call under the names of other corpora.
    for name in ("call.WV1", "call.wav"):
        assert ours[name][:3] == ours["call.sph"][:3]
        np.testing.assert_array_equal(ours[name][3], ours["call.sph"][3])


def test_claims_sphere_files_only(corpus, tmp_path):
    backend = korrin.lhotse.KorrinBackend()
    riff = tmp_path / "x.wav"
    riff.write_bytes(b"RIFF" + bytes(40))
    assert [backend.handles_special_case(p) for p in corpus] == [True] * len(corpus)
    assert not backend.handles_special_case(riff)
    assert not backend.handles_special_case(tmp_path / "missing.wav")
    assert backend.handles_special_case(str(tmp_path / "missing.SPH"))
    assert not backend.handles_special_case(open(corpus[0], "rb"))
    info = backend.info(corpus[0])
    assert (info.channels, info.frames, info.samplerate) == (2, 4000, 16000)

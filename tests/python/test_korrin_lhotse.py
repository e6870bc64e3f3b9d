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
    stream = enc.encode(
        values,
        sample_type=8,
        blocksize=256,
        nmean=0,
        seed=5,
        commands=(enc.DIFF1, enc.DIFF2),
        verbatim=False,
        pad_to_words=True,
    )
    call = shorten_sphere(stream.data, 96000, 2, "embedded-shorten-v2.00", "ulaw").replace(
        b"sample_rate -i 16000", b"sample_rate -i 8000 "
    )
    for name in ("call.sph", "call.WV1", "call.wav"):
        (where / name).write_bytes(call)
        files.append(where / name)
    return files


@pytest.fixture
def oracle_path(monkeypatch):
    if not ORACLE.exists():
        pytest.skip(f"no sph2pipe at {ORACLE} (set KORRIN_SPH2PIPE)")
    monkeypatch.setenv("PATH", f"{ORACLE.parent}{os.pathsep}{os.environ['PATH']}")


CUTS = [(0.0, None), (0.0, 0.1), (0.05, 0.1), (0.123456, 0.0777), (0.2, 0.05), (1.5, 2.25), (7.9999, 3.0), (0.1, None)]


def loaded(files):
    """Per file: the Recording's duration, samples and frames, and its cuts' samples."""
    out = {}
    for path in files:
        recording = lhotse.Recording.from_file(path)
        cuts = []
        for offset, duration in CUTS:
            if offset + (duration or 0) <= recording.duration:
                cuts.append(recording.load_audio(offset=offset, duration=duration))
        out[path.name] = (
            recording.duration,
            recording.num_samples,
            recording.sampling_rate,
            recording.load_audio(),
            cuts,
        )
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


# --------------------------------------------------------------------------
# Kaldi data directories: wav.scp pipes read without running them


def kaldi_dir(where: Path, lines: list[tuple[str, str]], durations: dict[str, float], reco2dur: bool) -> Path:
    """A data directory of `lines` (id, entry), three segments on each."""
    where.mkdir()
    (where / "wav.scp").write_text("".join(f"{rid} {entry}\n" for rid, entry in lines))
    segments, text, utt2spk = [], [], []
    for rid, _ in lines:
        d = durations[rid]
        for k, (a, b) in enumerate([(0.0, d / 3), (d / 5, d * 0.6), (d / 2, d * 0.999)]):
            segments.append(f"{rid}_{k} {rid} {a:.3f} {b:.3f}\n")
            text.append(f"{rid}_{k} a\n")
            utt2spk.append(f"{rid}_{k} {rid}\n")
    (where / "segments").write_text("".join(segments))
    (where / "text").write_text("".join(text))
    (where / "utt2spk").write_text("".join(utt2spk))
    if reco2dur:
        (where / "reco2dur").write_text("".join(f"{rid} {durations[rid]}\n" for rid, _ in lines))
    return where


def pipe_lines(files) -> tuple[list[tuple[str, str]], dict[str, float]]:
    """Switchboard's lines (one per channel, 16-bit) and others korrin reads
    (the file's coding in WAV and in SPHERE, a span), with their durations
    from the headers: what the pipe writes, floored to the millisecond."""
    from lhotse.kaldi import floor_duration_to_milliseconds

    lines, durations = [], {}
    for path in files:
        info = korrin.info(path)
        rate = info.samplerate
        for c in range(info.channels):
            rid = f"{path.stem}-{c}"
            lines.append((rid, f"sph2pipe -f wav -p -c {c + 1} {path} |"))
            durations[rid] = floor_duration_to_milliseconds(info.frames / rate)
        for name, entry in [
            ("keep", f"sph2pipe -f wav -c {info.channels} {path} |"),
            ("sph", f"sph2pipe -c {info.channels} {path} |"),
        ]:
            lines.append((f"{path.stem}-{name}", entry))
            durations[f"{path.stem}-{name}"] = floor_duration_to_milliseconds(info.frames / rate)
        b, e = info.duration / 7, info.duration * 0.8
        lines.append((f"{path.stem}-span", f"sph2pipe -p -c 1 -t {b}:{e} '{path}'|"))
        durations[f"{path.stem}-span"] = floor_duration_to_milliseconds((int(e * rate) - int(b * rate)) / rate)
    return lines, durations


@pytest.fixture
def by_rate(corpus):
    """The corpus's files with a plain name, by sample rate (a Kaldi
    directory holds one)."""
    groups: dict[int, list[Path]] = {}
    for path in corpus:
        if path.suffix == ".sph":
            groups.setdefault(korrin.info(path).samplerate, []).append(path)
    return groups


@pytest.fixture
def runs(monkeypatch):
    """The commands lhotse runs for its command sources."""
    from lhotse.audio import source as lhotse_source

    ran = []
    real = lhotse_source.run

    def run(command, *args, **kwargs):
        ran.append(command)
        return real(command, *args, **kwargs)

    monkeypatch.setattr(lhotse_source, "run", run)
    return ran


def test_kaldi_pipes_read_as_the_pipes_give(by_rate, oracle_path, tmp_path, runs):
    from lhotse.kaldi import load_kaldi_data_dir

    for rate, files in sorted(by_rate.items()):
        runs.clear()
        lines, durations = pipe_lines(files)
        stereo = next(p for p in files if korrin.info(p).channels == 2)
        # Not korrin's: mu-law re-coding, another program; and a pipe of two
        # channels, which lhotse's import drops.
        others = [
            (f"{stereo.stem}-u", f"sph2pipe -f wav -u -c 2 {stereo} |"),
            (f"{stereo.stem}-cat", f"sph2pipe -f wav -p -c 1 {stereo} | cat |"),
        ]
        korrin.lhotse.use()
        try:
            recordings, supervisions, _ = load_kaldi_data_dir(
                kaldi_dir(
                    tmp_path / f"{rate}",
                    lines + [("both", f"sph2pipe -f wav -p {stereo} |")],
                    durations | {"both": 1.0},
                    reco2dur=False,
                ),
                sampling_rate=rate,
            )
            assert "both" not in recordings.ids
            assert {r.id: r.duration for r in recordings} == durations
            durations.update({rid: korrin.info(stereo).duration for rid, _ in others})
            recordings, supervisions, _ = load_kaldi_data_dir(
                kaldi_dir(tmp_path / f"{rate}-all", lines + others, durations, reco2dur=True), sampling_rate=rate
            )
            cuts = lhotse.CutSet.from_manifests(recordings=recordings, supervisions=supervisions)
            cuts = cuts.trim_to_supervisions()
            ours = [c.load_audio() for c in cuts] + [r.load_audio() for r in recordings]
            assert sorted({r.strip() for r in runs}) == sorted(entry[:-1].strip() for _, entry in others), (
                "korrin's lines ran"
            )
        finally:
            korrin.lhotse.restore()
        runs.clear()
        theirs = [c.load_audio() for c in cuts] + [r.load_audio() for r in recordings]
        assert len(set(runs)) == len(recordings)
        assert len(ours) == len(theirs) == 4 * len(lines + others)
        for i, (a, b) in enumerate(zip(ours, theirs)):
            assert a.dtype == b.dtype == np.float32 and a.shape == b.shape, i
            np.testing.assert_array_equal(a, b, err_msg=str(i))


def test_use_restore_and_the_pipes_korrin_leaves(by_rate, tmp_path):
    from lhotse.audio.source import AudioSource
    from lhotse.kaldi import get_duration

    default = lhotse_backend.get_default_audio_backend()
    saved = list(default.backends)
    ours = korrin.lhotse.use()
    try:
        import lhotse.kaldi

        assert korrin.lhotse.use() is ours and lhotse.kaldi.get_duration is not get_duration
        path = by_rate[16000][0]
        for command, read_here in [
            (f"sph2pipe -f wav -p -c 1 {path}", True),
            (f"sph2wav -c 1 -o - {path}", True),
            (f"sph2pipe -f raw -p {path}", False),
            (f"sph2pipe -a {path}", False),
            (f"sph2pipe -h {path} {path}", False),
            (f"sph2pipe -p {path} | sox", False),
            (f"sox {path} -t wav -", False),
        ]:
            assert (korrin.lhotse._entry(command) is not None) == read_here, command
            source = AudioSource(type="command", channels=[0], source=command)
            assert isinstance(source._prepare_for_reading(0.0, None), korrin.lhotse.KaldiPipe) == read_here
        with pytest.raises(Exception, match="no channel 3"):
            korrin.lhotse.KaldiPipe(f"sph2pipe -f wav -c 3 {path}").read()
        # A file that is gone: lhotse drops the recording (None), as for a
        # pipe that fails.
        assert korrin.lhotse._get_duration(f"sph2pipe -f wav -p -c 1 {tmp_path}/gone.sph |") is None
    finally:
        korrin.lhotse.restore()
    assert default.backends == saved and lhotse.kaldi.get_duration is get_duration
    # As in a worker process that lhotse started without forking, where
    # use() never ran: any other line is lhotse's to measure.
    import soundfile

    wav = tmp_path / "a.wav"
    soundfile.write(wav, np.zeros(4000, np.int16), 8000)
    assert korrin.lhotse._get_duration(str(wav)) == get_duration(str(wav)) == 0.5
    assert AudioSource._prepare_for_reading.__module__.startswith("lhotse")

"""SPHERE files as other tools write them: 8-bit linear PCM, a sample_count
that counts every channel's samples, pculaw, forms that are refused by name,
and sample checksums on every path of korrin. Each is compared with a peer
(soundfile, ffmpeg) where one reads it."""

from __future__ import annotations

import io
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korrin
import korrin_native
from conftest import sphere_bytes
from test_cli import SPH2WAV

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402

soundfile = pytest.importorskip("soundfile")
FFMPEG = shutil.which("ffmpeg")
DTYPES = ("int16", "int32", "float32", "float64")


def fields(frames: int, channels: int, width: int, coding: str, **more: str) -> dict[str, str]:
    return {
        "sample_count": str(frames),
        "sample_rate": "8000",
        "channel_count": str(channels),
        "sample_n_bytes": str(width),
        "sample_coding": coding,
        **more,
    }


def run(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], capture_output=True, timeout=60, **kwargs)


def sph2wav_pcm(path: Path) -> bytes:
    """The samples of sph2wav's WAV output (its data chunk follows the
    44-byte header)."""
    out = run(SPH2WAV, "-q", "-o", "-", path, check=True).stdout
    return out[44:]


def ffmpeg_pcm(path: Path) -> bytes:
    return run(FFMPEG, "-v", "error", "-i", path, "-f", "s16le", "-", check=True).stdout


def sph2pipe_pcm(path: Path) -> bytes:
    return run(SPH2WAV.parent / "sph2pipe", "-f", "raw", "-p", path, check=True).stdout


@pytest.fixture
def s8_file(tmp_path) -> tuple[Path, np.ndarray]:
    samples = np.arange(-128, 128, dtype=np.int8).repeat(3).reshape(-1, 2)
    path = tmp_path / "s8.sph"
    checksum = int(samples.view(np.uint8).sum()) % 65536
    path.write_bytes(sphere_bytes(fields(len(samples), 2, 1, "pcm", sample_checksum=str(checksum)), samples.tobytes()))
    return path, samples


def test_8_bit_pcm_reads_as_the_peers_read_it(s8_file):
    path, samples = s8_file
    for dtype in DTYPES:
        np.testing.assert_array_equal(korrin.read(path, dtype=dtype)[0], soundfile.read(path, dtype=dtype)[0])
    info = korrin.info(path)
    assert (info.codec, info.sample_width, info.frames, info.channels) == ("pcm", 1, len(samples), 2)
    wide = (samples.astype("<i2") << 8).tobytes()
    assert sph2wav_pcm(path) == wide and sph2pipe_pcm(path) == wide
    if FFMPEG:
        assert ffmpeg_pcm(path) == wide
    with pytest.raises(ValueError, match=r"^8-bit PCM not supported yet \(supported: 16, 32 bit\)$"):
        korrin_native.decode_pcm(path.read_bytes())


@pytest.mark.parametrize(
    "channels, declared, payload, frames",
    [
        (2, 4000, 4000, 2000),  # the whole payload is sample_count bytes: frames = 4000 / 2
        (3, 3000, 3000, 1000),
        (2, 4000, 3999, None),  # anything else short is truncated
        (2, 4001, 4001, None),  # not a whole number of frames
        (1, 4000, 3999, None),
    ],
)
def test_sample_count_of_every_channel(tmp_path, channels, declared, payload, frames):
    codes = np.random.default_rng(channels).integers(0, 256, payload, dtype=np.uint8)
    path = tmp_path / "counted.sph"
    path.write_bytes(sphere_bytes(fields(declared, channels, 1, "ulaw"), codes.tobytes()))
    if frames is None:
        with pytest.raises(ValueError, match=r"audio payload truncated"):
            korrin.read(path)
        assert run(SPH2WAV, "-o", "-", path).returncode == 1
        return
    assert korrin.info(path).frames == frames
    data, _ = korrin.read(path, dtype="int16")
    np.testing.assert_array_equal(data, soundfile.read(path, dtype="int16")[0])
    out = run(SPH2WAV, "-o", "-", path, check=True)
    assert out.stdout[44:] == data.tobytes() == sph2pipe_pcm(path)
    assert f"{path}: warning: sample_count {declared} counts the samples of every channel" in out.stderr.decode()
    if FFMPEG:
        assert ffmpeg_pcm(path) == data.tobytes()


def test_pculaw_reads_as_its_mu_law_twin(tmp_path):
    codes = np.random.default_rng(3).integers(0, 256, 1000, dtype=np.uint8)
    reversed_bits = np.unpackbits(codes[:, None], axis=1)[:, ::-1]
    twin, pculaw = tmp_path / "ulaw.sph", tmp_path / "pculaw.sph"
    twin.write_bytes(sphere_bytes(fields(500, 2, 1, "ulaw"), codes.tobytes()))
    pculaw.write_bytes(sphere_bytes(fields(500, 2, 1, "pculaw"), np.packbits(reversed_bits, axis=1).tobytes()))
    np.testing.assert_array_equal(korrin.read(pculaw)[0], korrin.read(twin)[0])
    assert korrin.info(pculaw).codec == "pculaw"
    assert sph2wav_pcm(pculaw) == sph2wav_pcm(twin) and sph2pipe_pcm(pculaw) == sph2pipe_pcm(twin)


@pytest.mark.parametrize(
    "more, message",
    [
        (
            {"sample_coding": "pcm", "sample_byte_format": "shortpack-v0"},
            'sample_byte_format "shortpack-v0" (shortpack compression) not supported',
        ),
        (
            {"sample_coding": "pcm,embedded-wavpack-5.60"},
            'compressed coding "pcm,embedded-wavpack-5.60" not supported yet (compression: "embedded-wavpack-5.60")',
        ),
    ],
)
def test_refusals_name_the_form(tmp_path, more, message):
    path = tmp_path / "x.sph"
    path.write_bytes(sphere_bytes({**fields(1000, 1, 2, "pcm"), **more}, bytes(300)))  # compressed: short
    for call in (korrin.info, korrin.read):
        with pytest.raises(ValueError) as error:
            call(path)
        assert str(error.value) == f"{path}: {message}"
    assert run(SPH2WAV, "-o", "-", path).stderr.decode().strip() == f"{path}: {message}"


def checksum_cases():
    """(name, file fields, payload, the right checksum) for every coding."""
    rng = np.random.default_rng(7)
    pcm = rng.integers(-3000, 3000, (400, 2)).astype("<i2")
    codes = rng.integers(0, 256, 800, dtype=np.uint8)
    yield "pcm16", fields(400, 2, 2, "pcm", sample_byte_format="01"), pcm.tobytes(), int(pcm.view("<u2").sum())
    yield "ulaw", fields(400, 2, 1, "ulaw"), codes.tobytes(), int(codes.sum())
    yield "pcm8", fields(400, 2, 1, "pcm"), codes.tobytes(), int(codes.sum())
    yield "pculaw", fields(400, 2, 1, "pculaw"), codes.tobytes(), int(codes.sum())
    values = enc.drifting_offset_values(1500, 2, 5, noise=5, drift=1000)
    stream = enc.encode(values, sample_type=5, blocksize=128, nmean=4, bitshifts=(0, 1, 2), seed=5)
    yield (
        "shorten16",
        fields(1500, 2, 2, "pcm,embedded-shorten-v2.00", sample_byte_format="01"),
        stream.data,
        int(np.frombuffer(stream.pcm, "<u2").sum()),
    )
    values = enc.drifting_offset_values(1500, 1, 6, noise=2, drift=40)
    stream = enc.encode(values, sample_type=8, blocksize=128, nmean=4, bitshifts=(1, 2), seed=6)
    yield (
        "shorten-ulaw",
        fields(1500, 1, 1, "ulaw,embedded-shorten-v2.00"),
        stream.data,
        int(np.frombuffer(stream.codes, np.uint8).sum()),
    )


CHECKSUM_CASES = {case[0]: case[1:] for case in checksum_cases()}


@pytest.mark.parametrize("name", CHECKSUM_CASES)
def test_checksums_on_every_path(tmp_path, name):
    header, payload, checksum = CHECKSUM_CASES[name]
    good, bad = tmp_path / "good.sph", tmp_path / "bad.sph"
    good.write_bytes(sphere_bytes({**header, "sample_checksum": str(checksum % 65536)}, payload))
    bad.write_bytes(sphere_bytes({**header, "sample_checksum": str((checksum + 1) % 65536)}, payload))
    sources = [lambda p: p, lambda p: p.read_bytes(), lambda p: io.BytesIO(p.read_bytes()), lambda p: p]
    for source in sources:  # the path twice: the second read goes through the checkpoint store
        assert korrin.read(source(good), dtype="int16")[0].size
        with pytest.raises(
            ValueError,
            match=r"^(.*: )?sample_checksum mismatch: .*\(pass checksum=False to read "
            r"it anyway\)$",
        ):
            korrin.read(source(bad), dtype="float32")
        assert korrin.read(source(bad), checksum=False)[0].size
    assert run(SPH2WAV, "-o", "-", good).returncode == 0
    assert "sample_checksum mismatch" in run(SPH2WAV, "-o", "-", bad).stderr.decode()

"""shorten_to_pcm: round trips through the test encoder, real-world streams,
ffmpeg as a second decoder, and truncated or corrupt streams."""

from __future__ import annotations

import hashlib
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korrin_native
from conftest import NO_REAL_FILES, REPO, SHARED_SPHERE, sphere_bytes

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402

PAST_END = "truncated or corrupt shorten stream: ran past end of bitstream"
ALL_COMMANDS = {
    enc.DIFF0,
    enc.DIFF1,
    enc.DIFF2,
    enc.DIFF3,
    enc.QUIT,
    enc.BLOCKSIZE,
    enc.BITSHIFT,
    enc.QLPC,
    enc.ZERO,
    enc.VERBATIM,
}

# (sample type, channels, blocksize, maxnlpc, nmean, bit shifts, amplitude)
SETTINGS = [
    (5, 1, 256, 0, 4, (0,), 20000),
    (5, 1, 256, 8, 4, (0, 1, 3), 20000),
    (3, 2, 128, 4, 0, (0, 2, 32), 30000),
    (3, 3, 37, 16, 2, (0, 1), 40000),  # values beyond 16 bits clamp
    (5, 6, 1, 3, 1, (0,), 1000),
    (5, 2, 4096, 32, 65536 // 256, (0, 5), 20000),
    (8, 1, 256, 0, 0, (0,), 127),
    (8, 2, 100, 4, 3, (0, 1, 2), 127),
    (8, 1, 64, 2, 0, (1, 3, 8), 6000),  # with a shift, any value has a byte
]


def decode(stream: bytes) -> tuple[int, bool, bytes]:
    return korrin_native.shorten_to_pcm(stream)


@pytest.mark.parametrize("setting", SETTINGS, ids=lambda s: f"type{s[0]}-ch{s[1]}-bs{s[2]}-lpc{s[3]}-mean{s[4]}")
@pytest.mark.parametrize("seed", range(6))
def test_round_trip(setting, seed):
    sample_type, channels, blocksize, maxnlpc, nmean, shifts, amplitude = setting
    frames = random.Random(seed).randrange(0, 3000)
    values = enc.speech_like_values(frames, channels, seed, amplitude=amplitude)
    stream = enc.encode(
        values,
        sample_type=sample_type,
        blocksize=blocksize,
        maxnlpc=maxnlpc,
        nmean=nmean,
        nskip=seed % 3,
        seed=seed,
        bitshifts=shifts,
        blocksizes=(1, 7, blocksize, 500),
    )
    assert decode(stream.data) == (channels, sample_type == 8, stream.pcm)


def test_round_trips_use_every_command():
    values = enc.speech_like_values(4000, 2, 11)
    values[1000:2000] = 0  # silence for ZERO blocks
    stream = enc.encode(values, blocksize=64, maxnlpc=4, nmean=2, seed=11, bitshifts=(0, 1), blocksizes=(16, 64))
    assert stream.commands == ALL_COMMANDS
    assert decode(stream.data) == (2, False, stream.pcm)


def test_round_trip_of_extreme_values():
    # Full 16-bit swings, then values far outside it that must clamp.
    values = np.array([[32767], [-32768], [0], [70000], [-70000], [2**40], [-(2**40)], [5]] * 40)
    stream = enc.encode(values, sample_type=3, blocksize=8, maxnlpc=3, seed=3)
    assert decode(stream.data)[2] == stream.pcm
    pcm = np.frombuffer(stream.pcm, dtype="<i2")
    assert pcm[:8].tolist() == [32767, -32768, 0, 32767, -32768, 32767, -32768, 5]


# The Shorten payloads of real SPHERE files, and the SHA-256 of their PCM
# truncated to sample_count frames (37120), as the files' own tool gives it.
REAL_WORLD = [
    ("123_1pcle_shn.sph", 1, False, "11d7d57dcf7501a8db11b5c22b1c447334ce9bf1bebdc29666a10c4da7e066c4"),
    ("123_2ulaw_shn.sph", 2, True, "ba3ae1192f6c0362600b4ca129bc56ad8aca4f7e7ca490346bcdfae900401358"),
]


def real_payload(name: str) -> bytes:
    path = SHARED_SPHERE / name
    if not SHARED_SPHERE.is_dir():
        pytest.skip(NO_REAL_FILES)
    return path.read_bytes()[1024:]


@pytest.mark.parametrize("name,channels,ulaw,sha256", REAL_WORLD, ids=[r[0] for r in REAL_WORLD])
def test_real_world_streams(name, channels, ulaw, sha256):
    got_channels, got_ulaw, pcm = decode(real_payload(name))
    assert (got_channels, got_ulaw) == (channels, ulaw)
    frames = 37120
    assert len(pcm) >= frames * channels * 2
    assert hashlib.sha256(pcm[: frames * channels * 2]).hexdigest() == sha256


def valid_streams():
    """Small streams of every kind, each ending with its QUIT in its last byte."""
    out = []
    for i, (sample_type, channels, blocksize, maxnlpc, nmean, shifts, amplitude) in enumerate(SETTINGS):
        values = enc.speech_like_values(60, channels, 100 + i, amplitude=amplitude)
        out.append(
            enc.encode(
                values,
                sample_type=sample_type,
                blocksize=min(blocksize, 16),
                maxnlpc=maxnlpc,
                nmean=nmean,
                nskip=1,
                seed=i,
                bitshifts=shifts,
                blocksizes=(3, 16),
            ).data
        )
    return out


@pytest.mark.parametrize("index", range(len(SETTINGS)))
def test_every_truncation_fails_cleanly(index):
    stream = valid_streams()[index]
    for n in range(len(stream)):
        with pytest.raises(ValueError) as info:
            decode(stream[:n])
        want = (
            "not a shorten stream (missing 'ajkg' magic)"
            if n < 4
            else "truncated shorten stream: missing version byte"
            if n == 4
            else PAST_END
        )
        assert info.value.args == (want,), n


def test_real_world_truncations_fail_cleanly():
    # A prefix that still holds the QUIT code decodes in full; every shorter
    # one runs past the end.
    stream = real_payload("123_2ulaw_shn.sph")
    full = decode(stream)
    complete = False
    for n in list(range(5, len(stream), 97)) + [len(stream) - 1]:
        try:
            got = decode(stream[:n])
        except ValueError as e:
            assert not complete, n
            assert e.args == (PAST_END,)
        else:
            complete = True
            assert got == full


# Every message the decoder may give; a corrupt stream ends in one of them.
MESSAGE_PREFIXES = (
    "truncated or corrupt shorten stream: ran past end of bitstream",
    "runaway unary code",
    "oversized uvar width ",
    "implausible nskip ",
    "shorten sample type ",
    "invalid shorten channel count ",
    "invalid shorten blocksize ",
    "implausible maxnlpc ",
    "implausible nmean ",
    "unknown shorten function code ",
    "shorten bitshift ",
    "shorten QLPC order ",
    "shorten reconstruction overflowed i64 (corrupt stream)",
    "shorten stream exceeds the maximum decoded length",
    "shorten type-8 reconstructed value ",
)


def test_corrupt_streams_end_in_a_decoder_message():
    rng = random.Random(5)
    streams = valid_streams() + [real_payload("123_1pcle_shn.sph")]
    outcomes = {"decoded": 0}
    for round_ in range(1500):
        data = bytearray(streams[round_ % len(streams)])
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(5, len(data))] ^= 1 << rng.randrange(8)
        try:
            channels, _, pcm = decode(bytes(data))
            assert len(pcm) % (2 * channels) == 0
            outcomes["decoded"] += 1
        except ValueError as e:
            (message,) = e.args
            prefix = next((p for p in MESSAGE_PREFIXES if message.startswith(p)), None)
            assert prefix is not None, message
            outcomes[prefix] = outcomes.get(prefix, 0) + 1
    assert len(outcomes) >= 5, outcomes


FFMPEG = shutil.which("ffmpeg")


def ffmpeg_decode(stream: bytes, tmp_path: Path) -> bytes:
    src = tmp_path / "in.shn"
    src.write_bytes(stream)
    out = subprocess.run(
        [FFMPEG, "-v", "error", "-f", "shn", "-i", str(src), "-f", "s16le", "-"], capture_output=True, check=True
    )
    return out.stdout


def real_format_stream(seed: int, sample_type: int, **fields) -> enc.Stream:
    """A stream as real encoders write them: bit shifts that change while
    block means are kept (nmean 2-8), on noise about a drifting offset, so
    that DIFF0 and QLPC blocks lean on the running mean under a shift (and
    values stay within 16 bits after it, where decoders agree)."""
    rng = random.Random(seed)
    channels = rng.choice([1, 2])
    small = sample_type == 8
    values = enc.drifting_offset_values(
        rng.randrange(800, 4000), channels, seed, noise=2 if small else 6, drift=40 if small else 1500
    )
    maxnlpc = rng.choice([0, 2, 8])
    # ffmpeg adds mean / 32 to a QLPC block of order 0 where a running mean
    # is kept, so QLPC blocks have an order of 1 or more here.
    stream = enc.encode(
        values,
        sample_type=sample_type,
        blocksize=rng.choice([32, 64, 256]),
        maxnlpc=maxnlpc,
        nmean=rng.randrange(2, 9),
        seed=seed,
        bitshifts=(1, 2) if small else (0, 1, 2, 3),
        commands=(0, 0, 0, 1, 2, 7) if maxnlpc else (0, 0, 0, 1, 2, 3),
        min_qlpc_order=1,
        pad_to_words=True,
        verbatim=False,
        **fields,
    )
    assert {enc.DIFF0, enc.BITSHIFT} <= stream.commands
    return stream


@pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed")
@pytest.mark.parametrize("seed", range(16))
def test_matches_ffmpeg(seed, tmp_path):
    # ffmpeg reads the leading VERBATIM WAV header and 32-bit words, and
    # cannot grow the block size (the encoder only ever shrinks it for the
    # last round).
    stream = real_format_stream(seed, random.Random(seed).choice([3, 5]), leading_wav_header=True)
    ours = decode(stream.data)
    assert ours[2] == stream.pcm
    assert ffmpeg_decode(stream.data, tmp_path) == ours[2]


ORACLE = Path(os.environ.get("KORRIN_SPH2PIPE") or REPO.parent / "shared/oracles/sph2pipe/sph2pipe")


@pytest.mark.skipif(not os.access(ORACLE, os.X_OK), reason=f"no sph2pipe oracle at {ORACLE}")
@pytest.mark.parametrize("sample_type", [3, 5, 8])
@pytest.mark.parametrize("seed", range(5))
def test_matches_sph2pipe(sample_type, seed, tmp_path):
    stream = real_format_stream(seed, sample_type)
    frames = len(stream.pcm) // (2 * stream.channels)
    coding = "ulaw" if sample_type == 8 else "pcm"
    fields = {
        "sample_count": str(frames),
        "sample_rate": "8000",
        "channel_count": str(stream.channels),
        "sample_n_bytes": "1" if sample_type == 8 else "2",
        "sample_coding": f"{coding},embedded-shorten-v2.00",
    }
    if sample_type != 8:
        fields["sample_byte_format"] = "01"
    path = tmp_path / "x.sph"
    path.write_bytes(sphere_bytes(fields, stream.data))
    want = subprocess.run([ORACLE, "-f", "raw", "-p", str(path)], capture_output=True, check=True).stdout
    assert want == stream.pcm
    assert korrin_native.decode_pcm(path.read_bytes()) == want


MEMORY_PROBE = """
import resource, sys
sys.path.insert(0, {tests!r})
import korrin_native, shorten_encoder
stream = shorten_encoder.repeated_stream(2000, 2)
korrin_native.shorten_to_pcm(shorten_encoder.repeated_stream(2, 2))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
channels, ulaw, pcm = korrin_native.shorten_to_pcm(stream)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024 / len(pcm))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the peak resident size in KiB")
def test_peak_memory_stays_within_three_times_the_pcm():
    # 16 million samples in a fresh process: the growth of its peak resident
    # size, the returned bytes object included, stays below 3x the PCM.
    tests = str(Path(__file__).resolve().parents[1])
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE.format(tests=tests)], capture_output=True, text=True, check=True
    )
    ratio = float(out.stdout)
    assert ratio < 3.0, ratio

"""End-to-end tests of `sph2wav --flac`, checked by decoders that are not
this project: libsndfile (through soundfile), ffmpeg and Debian's flac
tools. The expected samples come from korrin_native.decode_pcm."""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import SHARED_SPHERE, SPH2WAV, pcm16_fields, sph2wav, sphere_bytes

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder  # noqa: E402

REAL_FILES = ("123_1pcle_shn.sph", "123_2alaw.sph", "123_2ulaw_shn.sph")


# The oracles run without whatever runtime a sanitizer run preloads: they
# are not under test.
ORACLE_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def oracle(*argv, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in argv], capture_output=True, env=ORACLE_ENV, **kwargs)


def tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


@pytest.fixture(scope="module", autouse=True)
def executable():
    if not SPH2WAV.is_file():
        pytest.fail(f"sph2wav is not installed at {SPH2WAV}")
    # Built with libFLAC, it gets as far as the missing input.
    probe = subprocess.run([str(SPH2WAV), "--flac", "-q", "/nonexistent/x.sph"], capture_output=True)
    if probe.returncode != 1:
        pytest.fail(f"sph2wav was built without FLAC output: {probe.stderr.decode()}")


def test_libflac_is_inside_sph2wav_only(korrin):
    """sph2wav carries libFLAC (and libogg, the C++ runtime) inside; the
    module carries none of it."""
    assert b"libFLAC" not in Path(korrin.__file__).read_bytes()
    program = SPH2WAV.read_bytes()
    assert b"libFLAC" in program
    if b"__asan_init" in program:
        pytest.skip("a sanitizer build needs its runtime libraries")
    dynamic = oracle(tool("readelf"), "-d", SPH2WAV, text=True, check=True)
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic.stdout))
    # glibc's parts (before 2.34 split over several libraries) and nothing else.
    assert needed <= {
        "libc.so.6",
        "libm.so.6",
        "libpthread.so.0",
        "libdl.so.2",
        "librt.so.1",
        "libgcc_s.so.1",
        "ld-linux-x86-64.so.2",
        "ld-linux-aarch64.so.1",
    }


def noise(count: int, width: int, seed: int) -> bytes:
    """Samples across the whole range of `width` bytes, extremes included."""
    rng = np.random.default_rng(seed)
    info = np.iinfo(np.int16 if width == 2 else np.int32)
    values = rng.integers(info.min, info.max, size=count, endpoint=True, dtype=np.int64)
    values[: min(count, 4)] = [info.min, info.max, 0, -1][: min(count, 4)]
    return values.astype(f"<i{width}").tobytes()


def pcm_sphere(
    frames: int, channels: int = 1, width: int = 2, byte_format: str = "01", rate: int = 16000, seed: int = 0
) -> bytes:
    le = noise(frames * channels, width, seed)
    payload = le
    if byte_format == "10":  # the same samples stored big-endian
        payload = np.frombuffer(le, dtype=f"<i{width}").astype(f">i{width}").tobytes()
    fields = pcm16_fields(frames, channels, rate)
    fields.update(sample_n_bytes=str(width), sample_byte_format=byte_format)
    return sphere_bytes(fields, payload)


def g711_sphere(frames: int, coding: str, channels: int = 1) -> bytes:
    fields = pcm16_fields(frames, channels)
    fields.update(sample_coding=coding, sample_n_bytes="1")
    return sphere_bytes(fields, bytes((i * 73 + 5) & 0xFF for i in range(frames * channels)))


def shorten_sphere(frames: int, channels: int) -> bytes:
    values = shorten_encoder.speech_like_values(frames, channels, seed=frames + channels)
    stream = shorten_encoder.encode(values, blocksize=256, maxnlpc=8, nmean=4, seed=channels).data
    fields = pcm16_fields(frames, channels)
    fields["sample_coding"] = "pcm,embedded-shorten-v2.00"
    return sphere_bytes(fields, stream)


# name -> SPHERE file; every coding and byte order, 1 to 6 channels.
CASES = {
    "pcm16_le": pcm_sphere(5000),
    "pcm16_be": pcm_sphere(5000, byte_format="10", seed=1),
    "pcm16_be_6ch": pcm_sphere(3000, channels=6, byte_format="10", seed=2),
    "pcm32_le": pcm_sphere(3000, width=4, byte_format="01", seed=3),
    "pcm32_be_2ch": pcm_sphere(3000, channels=2, width=4, byte_format="10", seed=4),
    "ulaw": g711_sphere(4000, "ulaw"),
    "alaw_3ch": g711_sphere(4000, "alaw", channels=3),
    "empty": pcm_sphere(0, channels=2),
    "one_frame_8ch": pcm_sphere(1, channels=8, seed=5),
    "rate_96k": pcm_sphere(2000, rate=96000, seed=6),
    **{f"shorten_{c}ch": shorten_sphere(9000 + 17 * c, c) for c in range(1, 7)},
}


@pytest.fixture(scope="module")
def converted(tmp_path_factory) -> Path:
    """Every case and the real files, converted in one run."""
    root = tmp_path_factory.mktemp("flac")
    (root / "in").mkdir()
    for name, data in CASES.items():
        (root / "in" / f"{name}.sph").write_bytes(data)
    for name in REAL_FILES:
        if (SHARED_SPHERE / name).is_file():
            shutil.copyfile(SHARED_SPHERE / name, root / "in" / name)
    result = sph2wav("--flac", "-q", "-j", "2", "in", "-o", "out", cwd=root)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    return root


def real_or_case(name: str, root: Path) -> bytes:
    path = root / "in" / f"{name}.sph"
    if not path.is_file():
        pytest.skip(f"{path.name} is not beside the checkout ({SHARED_SPHERE})")
    return path.read_bytes()


ALL = [*CASES, *(Path(n).stem for n in REAL_FILES)]


def expected(korrin, sph: bytes) -> tuple[np.ndarray, int, int]:
    """The samples (frames x channels), the rate and the width in bytes."""
    pcm = korrin.decode_pcm(sph)
    header = sph[: int(sph.split(b"\n", 2)[1])].decode()
    fields = {line.split()[0]: line.split()[-1] for line in header.splitlines()[2:] if len(line.split()) == 3}
    channels, rate = int(fields["channel_count"]), int(fields["sample_rate"])
    width = 4 if fields.get("sample_n_bytes") == "4" and "," not in fields.get("sample_coding", "") else 2
    return np.frombuffer(pcm, dtype=f"<i{width}").reshape(-1, channels), rate, width


@pytest.mark.parametrize("name", ALL)
def test_soundfile_decodes_the_samples_of_decode_pcm(korrin, converted, name):
    soundfile = pytest.importorskip("soundfile", reason="soundfile (libsndfile) is not installed")

    samples, rate, width = expected(korrin, real_or_case(name, converted))
    flac = converted / "out" / f"{name}.flac"
    try:
        info = soundfile.info(str(flac))
    except RuntimeError:  # LibsndfileError in soundfile 0.11 on, RuntimeError before
        if width == 4:
            pytest.skip("this libsndfile does not read 32-bit FLAC (flac checks it)")
        raise
    assert (info.format, info.samplerate, info.channels) == ("FLAC", rate, samples.shape[1])
    # FLAC writes a length of 0 as "unknown", which libsndfile reads as such,
    # and then fails to seek in; flac and ffmpeg read the empty stream.
    if len(samples) == 0:
        assert info.frames == 2**63 - 1
        return
    assert info.frames == len(samples)
    decoded, _ = soundfile.read(str(flac), dtype="int16" if width == 2 else "int32", always_2d=True)
    np.testing.assert_array_equal(decoded, samples)


@pytest.mark.parametrize("name", ALL)
def test_ffmpeg_and_flac_decode_the_samples_of_decode_pcm(korrin, converted, name):
    samples, rate, width = expected(korrin, real_or_case(name, converted))
    flac = converted / "out" / f"{name}.flac"
    # Debian's flac: the stream and its MD5 check out, and it decodes to the same bytes.
    raw = oracle(tool("flac"), "-d", "-s", "-c", "--force-raw-format", "--endian=little", "--sign=signed", flac)
    assert raw.returncode == 0, raw.stderr.decode()
    assert raw.stdout == samples.tobytes()

    probe = oracle(
        tool("ffprobe"),
        "-v",
        "error",
        "-show_entries",
        "stream=sample_rate,channels",
        "-of",
        "csv=p=0",
        flac,
        text=True,
    )
    assert probe.stdout.strip() == f"{rate},{samples.shape[1]}"
    pcm = oracle(tool("ffmpeg"), "-v", "error", "-i", flac, "-f", "s16le" if width == 2 else "s32le", "-")
    assert pcm.returncode == 0, pcm.stderr.decode()
    if width == 4 and pcm.stdout == b"" and len(samples):
        pytest.skip("this ffmpeg decodes no 32-bit FLAC (before ffmpeg 6); flac checked it above")
    assert pcm.stdout == samples.tobytes()


def metadata_blocks(flac: bytes) -> list[tuple[int, bytes]]:
    """The FLAC file's metadata blocks, as (type, body)."""
    assert flac[:4] == b"fLaC"
    blocks, at = [], 4
    while True:
        kind, length = flac[at] & 0x7F, int.from_bytes(flac[at + 1 : at + 4], "big")
        blocks.append((kind, flac[at + 4 : at + 4 + length]))
        at += 4 + length
        if flac[at - 4 - length] & 0x80:
            return blocks


def vorbis_comments(flac: bytes) -> list[bytes]:
    (body,) = [b for kind, b in metadata_blocks(flac) if kind == 4]
    vendor = struct.unpack_from("<I", body)[0]
    at = 4 + vendor
    count = struct.unpack_from("<I", body, at)[0]
    comments, at = [], at + 4
    for _ in range(count):
        length = struct.unpack_from("<I", body, at)[0]
        comments.append(body[at + 4 : at + 4 + length])
        at += 4 + length
    assert at == len(body)
    return comments


@pytest.mark.parametrize("name", ALL)
def test_streaminfo_md5_is_that_of_the_samples(korrin, converted, name):
    samples, _, _ = expected(korrin, real_or_case(name, converted))
    streaminfo = metadata_blocks((converted / "out" / f"{name}.flac").read_bytes())[0]
    assert streaminfo[0] == 0
    assert streaminfo[1][18:34] == hashlib.md5(samples.tobytes()).digest()


def header_file(fields: list[tuple[str, str, str]], frames: int = 100) -> bytes:
    """A SPHERE file with exactly these (name, type, value) lines, its
    header region a multiple of 1024 bytes."""
    lines = [f"{n} {t} {v}".rstrip() for n, t, v in fields]
    body = "\n".join([*lines, "end_head", ""]).encode()
    size = -(-(len(body) + 20) // 1024) * 1024
    text = b"NIST_1A\n" + str(size).rjust(11).encode() + b"\n" + body
    return text + b" " * (size - len(text)) + noise(frames, 2, 7)


AWKWARD = [
    ("database_id", "-s8", "TIMIT-v2"),
    ("sample_count", "-i", "100"),
    ("sample_rate", "-i", "16000"),
    ("channel_count", "-i", "1"),
    ("sample_n_bytes", "-i", "2"),
    ("sample_byte_format", "-s2", "01"),
    ("sample_coding", "-s3", "pcm"),
    ("sample_sig_bits", "-i", "16"),
    ("sample_checksum", "-i", "12345"),
    ("speaker", "-s5", "Zoë Ørsted"),
    ("prompt", "-s40", 'say "a=b" at 100% — twice;  then stop'),
    ("gain", "-r", "-3.5e-1"),
    ("empty", "-s", ""),
    ("a=b", "-s1", "x"),
    ("50%", "-i", "+007"),
    ("naïve~", "-s1", "y"),
    ("Sample_Rate", "-i", "8000"),
    ("speaker", "-s5", "later"),
    ("recorded", "-s16", "1993-01-02\u3000end"),
    ("padded", "-s", "\u3000\u2003 both ends"),
]
AWKWARD_TAGS = [
    "SPHERE_database_id=TIMIT-v2",
    "SPHERE_speaker=later",  # first place, last value
    'SPHERE_prompt=say "a=b" at 100% — twice;  then stop',
    "SPHERE_gain=-3.5e-1",
    "SPHERE_empty=",
    "SPHERE_a%3Db=x",
    "SPHERE_50%25=+007",
    "SPHERE_na%C3%AFve%7E=y",
    "SPHERE_Sample_Rate=8000",
    "SPHERE_recorded=1993-01-02\u3000end",
    "SPHERE_padded=both ends",  # white space around values, U+3000 included, is trimmed
]


def test_vorbis_comments_carry_the_header_fields(tmp_path):
    (tmp_path / "awkward.sph").write_bytes(header_file(AWKWARD))
    # Its sample_checksum is made up: it is there to show that the field
    # stays out of the comments.
    result = sph2wav("--flac", "--no-checksum", "-q", "awkward.sph", cwd=tmp_path)
    assert result.returncode == 0, result.stderr.decode()
    flac = tmp_path / "awkward.flac"
    assert vorbis_comments(flac.read_bytes()) == [t.encode() for t in AWKWARD_TAGS]
    tags = oracle(tool("metaflac"), "--export-tags-to=-", flac, check=True)
    assert tags.stdout.decode().splitlines() == AWKWARD_TAGS


def test_a_value_a_comment_cannot_hold_is_escaped(tmp_path):
    # U+FFFF is well-formed UTF-8, which the header takes, but no comment value.
    (tmp_path / "odd.sph").write_bytes(header_file([*AWKWARD[1:7], ("odd", "-s", "a\uffffb%")]))
    assert sph2wav("--flac", "-q", "odd.sph", cwd=tmp_path).returncode == 0
    assert vorbis_comments((tmp_path / "odd.flac").read_bytes()) == [b"SPHERE_odd%=a%EF%BF%BFb%25"]


def leftovers(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if not p.name.endswith(".sph"))


@pytest.mark.parametrize(
    "data, message",
    [
        (
            pcm_sphere(10, channels=9),
            "channel_count 9 is more than FLAC holds (at most 8 channels; pick channels with -c)",
        ),
        (pcm_sphere(10, rate=2_000_000), "sample_rate 2000000 is more than FLAC holds (at most 1048575 Hz)"),
        # Two fields of 9 MB: each fits a comment, not both one metadata block.
        (
            header_file([*AWKWARD[1:7], ("notes", "-s", "n" * 9_000_000), ("more", "-s", "m" * 9_000_000)]),
            "the SPHERE header fields take 180000",
        ),
        (pcm_sphere(10)[:-1], "audio payload truncated: header declares 20 bytes but only 19 present"),
    ],
    ids=["channels", "rate", "fields", "truncated"],
)
def test_a_failed_encode_leaves_no_file(tmp_path, data, message):
    (tmp_path / "bad.sph").write_bytes(data)
    (tmp_path / "good.sph").write_bytes(pcm_sphere(10))
    result = sph2wav("--flac", "-q", "bad.sph", "good.sph", cwd=tmp_path)
    assert result.returncode == 1
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"bad.sph: {message}")
    assert leftovers(tmp_path) == ["good.flac"]


@pytest.mark.parametrize(
    "make, args, channels, width, frames",
    [
        # A file FLAC cannot hold whole: one of its channels it can.
        (lambda: pcm_sphere(4000, channels=10), ["-c", "3"], 10, 2, slice(None)),
        (lambda: shorten_sphere(40000, 2), ["-c", "2", "-s", "1000:31000"], 2, 2, slice(1000, 31000)),
        (lambda: g711_sphere(8000, "mu-law", channels=2), ["-t", "0.1:0.25"], 2, 2, slice(1600, 4000)),
        (lambda: pcm_sphere(3000, width=4, byte_format="10"), ["-s", "2500:"], 1, 4, slice(2500, None)),
    ],
)
def test_channels_and_spans_to_standard_output(korrin, tmp_path, make, args, channels, width, frames):
    sph = make()
    (tmp_path / "in.sph").write_bytes(sph)
    result = sph2wav("--flac", *args, "-o", "-", "in.sph", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert os.listdir(tmp_path) == ["in.sph"]  # standard output only

    whole = np.frombuffer(korrin.decode_pcm(sph), dtype=f"<i{width}").reshape(-1, channels)
    picked = whole[frames]
    if "-c" in args:
        picked = picked[:, [int(args[args.index("-c") + 1]) - 1]]
    raw = oracle(
        tool("flac"),
        "-d",
        "-s",
        "-c",
        "--force-raw-format",
        "--endian=little",
        "--sign=signed",
        "-",
        input=result.stdout,
        check=True,
    )
    assert raw.stdout == np.ascontiguousarray(picked).tobytes()


def test_levels_and_verify(korrin, tmp_path):
    sph = shorten_sphere(40000, 2)
    (tmp_path / "in.sph").write_bytes(sph)
    sizes = {}
    for options in (["-0"], ["-5"], ["-8"], ["-8", "--no-verify"]):
        out = tmp_path / "_".join(options)
        assert sph2wav("--flac", "-q", *options, "in.sph", "-o", f"{out}/", cwd=tmp_path).returncode == 0
        flac = (out / "in.flac").read_bytes()
        raw = oracle(
            tool("flac"),
            "-d",
            "-s",
            "-c",
            "--force-raw-format",
            "--endian=little",
            "--sign=signed",
            "-",
            input=flac,
            check=True,
        )
        assert raw.stdout == korrin.decode_pcm(sph)
        sizes[" ".join(options)] = flac
    # Verifying checks the output; it does not change it. Higher levels compress more.
    assert sizes["-8 --no-verify"] == sizes["-8"]
    assert len(sizes["-8"]) < len(sizes["-5"]) < len(sizes["-0"])


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["--flac", "--pcm", "in.sph"], 2, "sph2wav: --flac and --pcm exclude each other\n"),
        (["-5", "in.sph"], 2, "sph2wav: option '-5' applies only to FLAC output (--flac)\n"),
        (["--no-verify", "in.sph"], 2, "sph2wav: option '--no-verify' applies only to FLAC output (--flac)\n"),
        (
            ["--flac", "-q", "in.sph"],
            1,
            "in.flac already exists (use --force to replace it, or --skip-existing to keep it)\n",
        ),
        (["--flac", "-q", "--force", "in.sph"], 0, ""),
    ],
)
def test_usage_and_existing_outputs(tmp_path, args, status, message):
    (tmp_path / "in.sph").write_bytes(pcm_sphere(10))
    (tmp_path / "in.flac").write_bytes(b"older")
    result = sph2wav(*args, cwd=tmp_path)
    assert result.returncode == status
    assert result.stderr.decode().startswith(message if status != 1 else "in.sph: " + message)
    assert ((tmp_path / "in.flac").read_bytes() == b"older") == (status != 0)

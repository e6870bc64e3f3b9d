"""korrin.read, read_segments and info against soundfile, korrin_native and
the header, and their errors."""

from __future__ import annotations

import io
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korrin
import korrin_native
from conftest import EXAMPLES, SHARED_SPHERE, SPH2WAV, sphere_bytes

try:
    import soundfile
except ImportError:  # the cross-version venvs: the comparisons with it skip
    soundfile = None
needs_soundfile = pytest.mark.skipif(soundfile is None, reason="soundfile is not installed")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_shorten_v1 import CASES, LABELS, encode_case, shorten_sphere  # noqa: E402

DTYPES = ["int16", "int32", "float32", "float64"]


def stored_file(samples: np.ndarray, width: int, byte_format: str | None, coding: str = "pcm") -> bytes:
    """A file of frames x channels `samples` stored as they are given."""
    frames, channels = samples.shape
    lines = [
        f"sample_count -i {frames}",
        "sample_rate -i 8000",
        f"channel_count -i {channels}",
        f"sample_n_bytes -i {width}",
        f"sample_coding -s{len(coding)} {coding}",
    ]
    if byte_format is not None:
        lines.append(f"sample_byte_format -s{len(byte_format)} {byte_format}")
    return sphere_bytes(lines, samples.tobytes())


def signal(frames: int, channels: int, bits: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    top = 2 ** (bits - 1)
    x = rng.integers(-top, top, (frames, channels), dtype=np.int64)
    x[:4] = np.array([-top, top - 1, -1, 0])[:, None]  # the extremes of the range
    return x


# Files that soundfile reads, each by both: (name, file). 4-byte PCM it
# reads only as little-endian without a byte order or with "1"; the
# big-endian files are read against their little-endian twins below.
def soundfile_cases():
    for channels in range(1, 7):
        x = signal(700 + channels, channels, 16, channels)
        yield f"pcm16le-{channels}ch", stored_file(x.astype("<i2"), 2, "01")
        yield f"pcm16be-{channels}ch", stored_file(x.astype(">i2"), 2, "10")
        y = signal(500, channels, 32, channels)
        yield f"pcm32le-{channels}ch", stored_file(y.astype("<i4"), 4, "1" if channels % 2 else None)
    codes = np.arange(512, dtype=np.uint8).reshape(-1, 2)
    yield "ulaw", stored_file(codes, 1, None, "ulaw")
    yield "mu-law", stored_file(codes[:, :1], 1, None, "mu-law")
    yield "alaw", stored_file(codes, 1, None, "alaw")
    for path in sorted(EXAMPLES.glob("*.sph")) + sorted(SHARED_SPHERE.glob("*alaw*.sph")):
        if "shorten" not in path.name:
            yield path.name, path.read_bytes()


SOUNDFILE_CASES = dict(soundfile_cases())

# (read's keywords, how soundfile reads the same, the columns kept)
SELECTIONS = [
    ({}, {}, None),
    ({"start": 17}, {"start": 17}, None),
    ({"start": -100, "stop": -3}, {"start": -100, "stop": -3}, None),
    ({"frames": 50, "start": 5}, {"frames": 50, "start": 5}, None),
    ({"frames": 10**6}, {"frames": 10**6}, None),
    ({"start": 10**6}, {"start": 10**6}, None),
    ({"start": 30, "stop": 10}, {"start": 30, "stop": 10}, None),
    ({"always_2d": True}, {"always_2d": True}, None),
    ({"channel": 0, "stop": 99}, {"stop": 99, "always_2d": True}, 0),
    ({"channel": -1, "always_2d": True}, {"always_2d": True}, [-1]),
    ({"channel": [-1, 0], "start": 3}, {"start": 3, "always_2d": True}, [-1, 0]),
]


def soundfile_read(data: bytes, dtype: str, keywords: dict, columns):
    expected, rate = soundfile.read(io.BytesIO(data), dtype=dtype, **keywords)
    if columns is not None:
        expected = expected[:, columns]
    return expected, rate


@needs_soundfile
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", SOUNDFILE_CASES)
def test_read_equals_soundfile(name, dtype, tmp_path):
    data = SOUNDFILE_CASES[name]
    path = tmp_path / "x.sph"
    path.write_bytes(data)
    channels = soundfile.info(io.BytesIO(data)).channels
    for keywords, theirs, columns in SELECTIONS:
        if columns is not None and channels == 1 and columns != 0 and columns != [-1]:
            continue
        expected, rate = soundfile_read(data, dtype, theirs, columns)
        for source in (path, str(path), data, io.BytesIO(data), bytearray(data)):
            got, got_rate = korrin.read(source, dtype=dtype, **keywords)
            assert got_rate == rate
            assert got.dtype == np.dtype(dtype) and got.shape == expected.shape, (keywords, got.shape)
            np.testing.assert_array_equal(got, expected, err_msg=str(keywords))


@needs_soundfile
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 2, 5])
def test_big_endian_32_bit_equals_its_little_endian_twin(channels, dtype):
    x = signal(300, channels, 32, 40 + channels)
    big = stored_file(x.astype(">i4"), 4, "10")
    little = stored_file(x.astype("<i4"), 4, "1")
    expected, _ = soundfile.read(io.BytesIO(little), dtype=dtype, start=7)
    got, _ = korrin.read(big, dtype=dtype, start=7)
    np.testing.assert_array_equal(got, expected)


def native_pcm(data: bytes, channels: int) -> np.ndarray:
    return np.frombuffer(korrin_native.decode_pcm(data), "<i2").reshape(-1, channels)


def shorten_cases():
    """Shorten files: the examples', the real ones, and the test encoder's
    streams of both versions under every label."""
    for path in sorted(EXAMPLES.glob("*shorten*.sph")) + sorted(SHARED_SPHERE.glob("*shn*.sph")):
        yield path.name, path.read_bytes(), None
    for case in CASES[::3]:
        stream = encode_case(case)
        frames = len(stream.pcm) // 2 // stream.channels
        pcm = np.frombuffer(stream.pcm, "<i2").reshape(frames, stream.channels)
        for label in LABELS:
            yield f"{case[0]}-{label}", shorten_sphere(stream.data, frames, stream.channels, label), pcm


SHORTEN_CASES = {name: (data, pcm) for name, data, pcm in shorten_cases()}


@pytest.mark.parametrize("name", SHORTEN_CASES)
def test_shorten_equals_the_decoded_pcm(name, tmp_path):
    data, pcm = SHORTEN_CASES[name]
    path = tmp_path / "x.sph"
    path.write_bytes(data)
    channels = korrin.info(data).channels
    if pcm is None:
        pcm = native_pcm(data, channels)
    frames = len(pcm)
    as_float = pcm / 32768.0
    for start, stop, channel in [
        (0, None, None),
        (frames // 3, frames // 2, None),
        (frames - 5, None, 0),
        (-frames // 4, None, [channels - 1, 0]),
        (frames, None, None),
    ]:
        columns = slice(None) if channel is None else [channel] if isinstance(channel, int) else channel
        want = pcm[start:stop][:, columns]
        got, _ = korrin.read(path, start=start, stop=stop, dtype="int16", channel=channel, always_2d=True)
        np.testing.assert_array_equal(got, want)
        got, _ = korrin.read(data, start=start, stop=stop, dtype="float64", channel=channel, always_2d=True)
        np.testing.assert_array_equal(got, as_float[start:stop][:, columns])


@pytest.mark.parametrize("name", ["pcm16_be_stereo.sph", "shorten_stereo.sph", "ulaw_mono.sph"])
def test_read_segments_equal_read_per_span(name):
    path = EXAMPLES / name
    frames = korrin.info(path).frames
    segments = [
        (0, 10),
        (frames - 100, frames, 0),
        (-50, None),
        (1000, 900),
        (2000, 2500, [0, 0]),
        (frames + 5, None),
        (5, 3000),
    ]
    for dtype in ("int16", "float32"):
        got = korrin.read_segments(path, segments, dtype=dtype, always_2d=True)
        assert len(got) == len(segments)
        for segment, array in zip(segments, got):
            start, stop, *channel = segment
            want, _ = korrin.read(
                path, start=start, stop=stop, dtype=dtype, always_2d=True, channel=channel[0] if channel else None
            )
            np.testing.assert_array_equal(array, want, err_msg=str(segment))
    assert korrin.read_segments(path, []) == []


def test_info_is_the_header():
    info = korrin.info(
        sphere_bytes(
            [
                "sample_count -i 3",
                "sample_rate -i 8000",
                "channel_count -i 2",
                "sample_n_bytes -i 4",
                "gain -r -3.5e-1",
                "sample_byte_format -s2 10",
                "note -s5 a b c",
                "sample_count -i 4",
            ],
            bytes(32),
        )
    )
    assert (info.samplerate, info.channels, info.frames, info.duration) == (8000, 2, 4, 4 / 8000)
    assert (info.codec, info.sample_width) == ("pcm", 4)
    # A field named twice: its first place, its last value.
    assert list(info.header.items()) == [
        ("sample_count", 4),
        ("sample_rate", 8000),
        ("channel_count", 2),
        ("sample_n_bytes", 4),
        ("gain", -0.35),
        ("sample_byte_format", "10"),
        ("note", "a b c"),
    ]
    assert "frames=4" in repr(info) and info == korrin.info(
        io.BytesIO(
            sphere_bytes(
                [
                    f"{k} -{'i' if isinstance(v, int) else 'r' if isinstance(v, float) else 's'} {v}"
                    for k, v in info.header.items()
                ],
                bytes(32),
            )
        )
    )


@pytest.mark.parametrize(
    "path", sorted(EXAMPLES.glob("*.sph")) + sorted(SHARED_SPHERE.glob("*.sph")), ids=lambda p: p.name
)
def test_info_of_every_sample_file(path):
    info = korrin.info(path)
    header = info.header
    assert (info.samplerate, info.channels, info.frames) == (
        header["sample_rate"],
        header["channel_count"],
        header["sample_count"],
    )
    codec = {"pcm": "pcm", "ulaw": "ulaw", "mu-law": "ulaw", "alaw": "alaw"}
    assert info.codec == (
        "shorten" if "shorten" in header.get("sample_coding", "") else codec[header.get("sample_coding", "pcm")]
    )
    data, rate = korrin.read(path, dtype="int16", always_2d=True)
    assert data.shape == (info.frames, info.channels) and rate == info.samplerate


def test_older_labels_read_as_sph2wav_reads_them(tmp_path):
    """Version-1 streams and the WSJ-era labels, which korrin_native refuses,
    give what sph2wav converts them to."""
    if not SPH2WAV.exists():
        pytest.skip("sph2wav is not installed beside this Python")
    for name, (data, _) in SHORTEN_CASES.items():
        if "v1" not in name:
            continue
        (tmp_path / "x.sph").write_bytes(data)
        out = subprocess.run(
            [str(SPH2WAV), "-q", "--pcm", "-o", "-", "--force", str(tmp_path / "x.sph")],
            capture_output=True,
            check=True,
        ).stdout
        got, _ = korrin.read(data, dtype="int16")
        assert got.tobytes() == out, name


def checksum_file(checksum: int) -> bytes:
    x = np.arange(1, 101, dtype="<i2")
    return sphere_bytes(
        [
            "sample_count -i 100",
            "sample_rate -i 8000",
            "channel_count -i 1",
            "sample_n_bytes -i 2",
            "sample_byte_format -s2 01",
            f"sample_checksum -i {checksum}",
        ],
        x.tobytes(),
    )


def test_checksum_is_checked_on_whole_reads(tmp_path):
    good, bad = tmp_path / "good.sph", tmp_path / "bad.sph"
    good.write_bytes(checksum_file(5050))
    bad.write_bytes(checksum_file(5051))
    for dtype in ("int16", "float32"):  # read into the array as stored, and converted
        for source in (good, good.read_bytes()):
            assert korrin.read(source, dtype=dtype)[0].sum() * (1 if dtype == "int16" else 32768) == 5050
        for source, prefix in ((bad, f"{bad}: "), (bad.read_bytes(), "")):
            with pytest.raises(
                ValueError,
                match=f"^{re.escape(prefix)}"
                r"sample_checksum mismatch: the header "
                r"declares 5051, the samples sum to 5050 \(pass checksum=False to "
                r"read it anyway\)$",
            ):
                korrin.read(source, dtype=dtype)
            assert len(korrin.read(source, dtype=dtype, checksum=False)[0]) == 100
            assert len(korrin.read(source, dtype=dtype, start=1)[0]) == 99  # a span has no checksum
            assert len(korrin.read_segments(source, [(0, None)], dtype=dtype)[0]) == 100


# Files that reading refuses, with the message that sph2wav prints for them,
# and whether info, which reads the header alone, refuses them too.
REQUIRED = ["sample_count -i 1", "sample_rate -i 8000", "channel_count -i 1"]
BAD_FILES = [
    (b"RIFF....", True),
    (sphere_bytes(["sample_rate -i 8000"], b""), True),
    (sphere_bytes([*REQUIRED, "sample_n_bytes -i 2"], bytes(1)), False),  # truncated
    (sphere_bytes([*REQUIRED, "sample_n_bytes -i 3"], bytes(3)), True),
    (sphere_bytes([*REQUIRED, "sample_n_bytes -i 1", "sample_coding -s3 gsm"], bytes(1)), True),
    (
        sphere_bytes(
            [*REQUIRED, "sample_n_bytes -i 2", "sample_coding -s26 pcm,embedded-shorten-v2.00"], b"ajkg\x03xxxx"
        ),
        False,
    ),
    (sphere_bytes([*REQUIRED, "sample_n_bytes -i 2", "sample_coding -s25 pcm,embedded-wavpack-5.60"], b""), True),
]


@pytest.mark.parametrize("data, header_refused", BAD_FILES, ids=range(len(BAD_FILES)))
def test_refusals_carry_sph2wavs_message(data, header_refused, tmp_path):
    with pytest.raises(ValueError) as refused:
        korrin_native.decode_pcm(data)
    message = str(refused.value)
    path = tmp_path / "bad.sph"
    path.write_bytes(data)
    if SPH2WAV.exists():
        report = subprocess.run(
            [str(SPH2WAV), "-q", "-o", str(tmp_path / "out.wav"), str(path)], capture_output=True, text=True
        ).stderr
        assert report.strip() == f"{path}: {message}"
    # From a path, the message begins with it, as sph2wav's report does.
    for source, text in ((data, message), (path, f"{path}: {message}")):
        for call in (korrin.read, lambda f: korrin.read_segments(f, [(0, 1)])):
            with pytest.raises(ValueError) as raised:
                call(source)
            assert str(raised.value) == text
        if header_refused:
            with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
                korrin.info(source)
        else:
            assert korrin.info(source).frames == 1


def test_refusals_name_odd_paths_as_sph2wav_does(tmp_path):
    """A name that could forge a line or reach a terminal as an escape is
    escaped in the message as in sph2wav's report."""
    data = BAD_FILES[0][0]
    names = [b"new\nline\\.sph", b"tab\tand\\back.sph", b"bad-\xff-\x1b[31m.sph", "caf\u00e9.sph".encode()]
    expected = [r"new\nline\\.sph", r"tab\tand\\back.sph", r"bad-\xff-\x1b[31m.sph", "caf\u00e9.sph"]
    message = "not a NIST SPHERE file (missing 'NIST_1A' magic)"
    for name, shown in zip(names, expected):
        path = os.path.join(os.fsencode(tmp_path), name)
        with open(path, "wb") as f:
            f.write(data)
        text = f"{tmp_path}/{shown}: {message}"
        for source in (BytesPath(path), os.fsdecode(path)):
            for call in (korrin.info, korrin.read, lambda f: korrin.read_segments(f, [(0, 1)])):
                with pytest.raises(ValueError) as raised:
                    call(source)
                assert str(raised.value) == text
        if SPH2WAV.exists():
            report = subprocess.run(
                [os.fsencode(SPH2WAV), b"-q", b"-o", os.fsencode(tmp_path / "out.wav"), path], capture_output=True
            ).stderr
            assert report.decode() == text + "\n"


class BytesPath:
    def __init__(self, path: bytes):
        self.path = path

    def __fspath__(self) -> bytes:
        return self.path


os.PathLike.register(BytesPath)


def test_system_failures_are_the_oserror_open_gives(tmp_path):
    missing = tmp_path / "missing.sph"
    for call in (korrin.info, korrin.read, lambda f: korrin.read_segments(f, [(0, 1)])):
        with pytest.raises(FileNotFoundError) as raised:
            call(missing)
        with pytest.raises(FileNotFoundError) as expected:
            open(missing, "rb")
        assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (
            expected.value.errno,
            expected.value.strerror,
            expected.value.filename,
        )
        with pytest.raises(IsADirectoryError):
            call(tmp_path)
        with pytest.raises(FileNotFoundError) as raised:
            call(BytesPath(os.fsencode(missing)))
        assert raised.value.filename == os.fsencode(missing)
    if os.geteuid() != 0:  # root reads every file
        locked = tmp_path / "locked.sph"
        locked.write_bytes(SOUNDFILE_CASES["ulaw"])
        locked.chmod(0)
        with pytest.raises(PermissionError):
            korrin.read(locked)


EXAMPLE = EXAMPLES / "pcm16_be_stereo.sph"

# (keywords, exception, message pattern)
BAD_ARGUMENTS = [
    ({"dtype": "int8"}, ValueError, r"dtype must be one of \['float32', 'float64', 'int16', 'int32'\] and not 'int8'"),
    ({"dtype": "no such type"}, TypeError, "data type"),
    ({"frames": 4, "stop": 5}, TypeError, r"Only one of \{frames, stop\} may be used"),
    ({"start": 1.5}, TypeError, "start must be an integer"),
    ({"frames": None}, TypeError, "frames must be an integer"),
    ({"channel": 2}, ValueError, f"^{re.escape(str(EXAMPLE))}: channel 2 is out of range for a file of 2 channels$"),
    ({"channel": [0, -3]}, ValueError, f"^{re.escape(str(EXAMPLE))}: channel -3 is out of range"),
    ({"channel": []}, ValueError, "at least one channel"),
    ({"channel": "0"}, TypeError, "channel must be an int"),
    ({"channel": 0.0}, TypeError, "channel must be an int"),
]


@pytest.mark.parametrize("keywords, kind, pattern", BAD_ARGUMENTS)
def test_wrong_arguments(keywords, kind, pattern):
    with pytest.raises(kind, match=pattern):
        korrin.read(EXAMPLE, **keywords)


def test_wrong_files_and_segments():
    for file, kind in [(3, TypeError), (None, TypeError), (io.StringIO("NIST_1A"), TypeError)]:
        with pytest.raises(kind):
            korrin.read(file)
    with pytest.raises(ValueError, match="embedded null byte"):
        korrin.read("a\0b")
    for segments, kind in [([(1,)], ValueError), ([5], TypeError), ([(0, 1, 9)], ValueError), ([(0.5, 1)], TypeError)]:
        with pytest.raises(kind):
            korrin.read_segments(EXAMPLE, segments)


def test_results_are_writable_native_arrays():
    data, _ = korrin.read(EXAMPLE, dtype="int32")
    assert data.flags.writeable and data.flags.c_contiguous and data.dtype.isnative
    data[0, 0] = 7
    assert korrin.read(EXAMPLE, dtype="int32")[0][0, 0] != 7


def test_import_without_numpy_says_so(tmp_path):
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('No module named numpy')\n")
    code = "import korrin_native; import korrin"
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), *sys.path])},
    )
    assert result.returncode == 1
    assert "ImportError: korrin needs numpy, which is not installed" in result.stderr


def test_large_arrays_own_their_memory_when_it_is_reused():
    """Arrays of a megabyte and more live in memory that is reused once an
    array is gone: each must still be its own, writable, and hold its file's
    values whatever is read after it."""
    first, second = (stored_file(signal(300_000, 2, 16, seed).astype("<i2"), 2, "01") for seed in (1, 2))
    kept, _ = korrin.read(first, dtype="int32")
    expected = kept.copy()
    for _ in range(3):  # each freed at once, its memory taken by the next
        other, _ = korrin.read(second, dtype="int32")
        assert not np.shares_memory(other, kept)
        assert other.flags.writeable and other.nbytes > 2**21
        other[:] = 0
        del other
    again, _ = korrin.read(first, dtype="int32")
    np.testing.assert_array_equal(kept, expected)
    np.testing.assert_array_equal(again, expected)


def hostile(channels: int, coding: str = "pcm", frames: int = 1, width: int = 2) -> bytes:
    """A 2 KB file whose header declares `channels` channels."""
    width = 1 if coding == "ulaw" else width
    return sphere_bytes(
        [
            f"sample_count -i {frames}",
            "sample_rate -i 8000",
            f"channel_count -i {channels}",
            f"sample_n_bytes -i {width}",
            f"sample_coding -s{len(coding)} {coding}",
        ],
        bytes(1024),
    )


SHORTEN = "pcm,embedded-shorten-v2.00"
# (file, what info says of it: None when it accepts it)
HOSTILE_HEADERS = [
    (
        hostile(2**61),
        "channel_count 2305843009213693952: a frame of 4611686018427387904 bytes is more than "
        "the 1024 bytes of the payload",
    ),
    (
        hostile(2**30, "ulaw"),
        "channel_count 1073741824: a frame of 1073741824 bytes is more than the 1024 bytes of the payload",
    ),
    (
        hostile(2**28, frames=0),
        "channel_count 268435456: a frame of 536870912 bytes is more than the 1024 bytes of the payload",
    ),
    (
        hostile(2**62, frames=0, width=4),
        "channel_count 4611686018427387904: a frame of more than 2^64 bytes is more than the 1024 bytes of the payload",
    ),
    (hostile(2**28, SHORTEN), "channel_count 268435456 is more than a Shorten stream holds (256)"),
    (hostile(257, SHORTEN, frames=0), "channel_count 257 is more than a Shorten stream holds (256)"),
    (
        hostile(2, SHORTEN, frames=2**29 + 1),
        "sample_count 536870913 x channel_count 2 is more than the 1073741824 samples a Shorten stream decodes to",
    ),
    (hostile(65535, frames=0), None),  # as many channels as WAV holds are taken at their word
    (hostile(256, SHORTEN, frames=0), None),
]

HOSTILE_SCRIPT = """
import resource, sys
import korrin
sys.path.insert(0, sys.argv[1])
from test_korrin import HOSTILE_HEADERS
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for data, _ in HOSTILE_HEADERS:
    for call in (korrin.info, korrin.read, lambda f: korrin.read_segments(f, [(0, 1, 0)])):
        try:
            call(data)
        except ValueError:
            pass
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) // 1024)
"""


@pytest.mark.parametrize("data, refusal", HOSTILE_HEADERS, ids=range(len(HOSTILE_HEADERS)))
def test_hostile_counts_are_refused_before_anything_is_allocated(data, refusal, tmp_path):
    path = tmp_path / "hostile.sph"
    path.write_bytes(data)
    for source, prefix in ((data, ""), (path, f"{path}: ")):
        if refusal is None:
            info = korrin.info(source)
            assert korrin.read(source, always_2d=True)[0].shape == (info.frames, info.channels)
            continue
        with pytest.raises(ValueError, match=f"^{re.escape(prefix + refusal)}$"):
            korrin.info(source)
        for call in (korrin.read, lambda f: korrin.read_segments(f, [(0, 1, 0)])):
            with pytest.raises(ValueError) as raised:  # no PanicException, MemoryError or other
                call(source)
            assert type(raised.value) is ValueError and str(raised.value).startswith(prefix)


def test_hostile_counts_cost_no_memory():
    grown = subprocess.run(
        [sys.executable, "-c", HOSTILE_SCRIPT, str(Path(__file__).parent)], capture_output=True, text=True, check=True
    ).stdout
    assert int(grown) < 64, f"{grown} MiB"


class Chunks:
    def __init__(self, value):
        self.value = value

    def read(self):
        return self.value


def test_what_a_file_object_reads_must_be_bytes():
    data = EXAMPLE.read_bytes()
    for value in (data, bytearray(data), memoryview(data)):
        assert korrin.info(Chunks(value)).frames > 0
    for value in (None, 5, [78, 73], "NIST_1A", np.frombuffer(data, np.uint8)):
        for call in (korrin.info, korrin.read, lambda f: korrin.read_segments(f, [(0, 1)])):
            with pytest.raises(TypeError, match="read()"):
                call(Chunks(value))


def test_bytes_that_look_like_a_path_say_they_are_read_as_content():
    for name in (b"/some/path", b"sw02001.sph", os.fsencode(EXAMPLE)):
        for call in (korrin.info, korrin.read, lambda f: korrin.read_segments(f, [(0, 1)])):
            with pytest.raises(
                ValueError,
                match=r"missing 'NIST_1A' magic\) \(bytes are read as the file's "
                r"content: pass a str or os.PathLike to read the file at a path\)$",
            ):
                call(name)
    for data in (b"RIFF....", b"not sphere at all\n", bytes(100)):
        with pytest.raises(ValueError, match=r"magic\)$"):
            korrin.read(data)

"""korrin.SoundFile and korrin.blocks against soundfile's, and soundfile
patched by korrin.soundfile.patch()."""

from __future__ import annotations

import io
import os
from pathlib import Path

import numpy as np
import pytest

from conftest import EXAMPLES, SHARED_SPHERE, pcm16_fields, sphere_bytes

soundfile = pytest.importorskip("soundfile", reason="soundfile is not installed")

import korrin  # noqa: E402
import korrin.soundfile as ksf  # noqa: E402

SEEK_SET, SEEK_CUR, SEEK_END = 0, 1, 2


def sphere(fields: list[tuple[str, object]], payload: bytes) -> bytes:
    """A SPHERE file whose fields are typed as corpora type them (-i for
    ints, -sN for strings, digits or not)."""
    return sphere_bytes([(n, v) if isinstance(v, int) else (n, v, f"-s{len(v)}") for n, v in fields], payload)


def pcm(frames: int, channels: int, width: int = 2, order: str = "01", seed: int = 0) -> bytes:
    rng = np.random.default_rng(seed)
    payload = rng.integers(0, 256, frames * channels * width, dtype=np.uint8).tobytes()
    return sphere(
        [
            ("sample_count", frames),
            ("sample_rate", 8000),
            ("channel_count", channels),
            ("sample_n_bytes", width),
            ("sample_coding", "pcm"),
            ("sample_byte_format", order),
        ],
        payload,
    )


@pytest.fixture(scope="module")
def readable(tmp_path_factory):
    """Every SPHERE file here that soundfile reads."""
    where = tmp_path_factory.mktemp("readable")
    made = {"pcm_be_3ch.sph": pcm(1001, 3, order="10", seed=1), "pcm_1_mono.sph": pcm(517, 1, order="1", seed=2)}
    for name, data in made.items():
        (where / name).write_bytes(data)
    files = sorted(EXAMPLES.glob("*.sph")) + sorted(SHARED_SPHERE.glob("*.sph")) + sorted(where.glob("*.sph"))
    out = []
    for path in files:
        try:
            soundfile.info(str(path))
        except RuntimeError:
            continue  # Shorten
        out.append(path)
    assert len(out) >= 6
    return out


def shaped(f, frames, dtype):
    return np.zeros((frames, f.channels) if f.channels > 1 else (frames,), dtype)


# Each step runs on both files in turn; its result, its error and the
# position after it must agree.
STEPS = [
    lambda f: f.read(10),
    *[lambda f, d=d: f.read(frames=25, dtype=d) for d in ("float64", "float32", "int16", "int32")],
    lambda f: f.read(5, dtype=np.float32, always_2d=True),
    lambda f: f.seek(-7, SEEK_END),
    lambda f: f.read(20, dtype="int16"),
    lambda f: f.read(20, dtype="int16", fill_value=3),
    lambda f: f.seek(3),
    lambda f: f.read(f.frames + 10, dtype="int32", fill_value=-1),
    lambda f: f.seek(f.frames + 1),
    lambda f: f.seek(-1),
    lambda f: f.seek(0, 3),
    lambda f: f.seek(-5, SEEK_CUR),
    lambda f: f.seek(5, SEEK_CUR),
    lambda f: f.seek(10),
    lambda f: f.read(out=shaped(f, 40, "float32")),
    lambda f: f.read(7, out=shaped(f, 40, "int16")),
    lambda f: f.read(-1, out=shaped(f, 40, "int16"), fill_value=5),
    lambda f: f.read(out=np.zeros((4, f.channels + 1), "float64")),
    lambda f: f.read(out=np.zeros((8, f.channels), "float64")[::2]),
    lambda f: f.read(out=np.zeros((4, 2, 2), "float64")),
    lambda f: f.read(out=np.zeros(4, "int8")),
    lambda f: f.read(2, dtype="int8"),
    lambda f: f.read(2.0),
    lambda f: f.seek(-30, SEEK_END),
    lambda f: f.read(out=shaped(f, 40, "float64"), fill_value=0.25),
    lambda f: f.seek(1),
    lambda f: bytes(f.buffer_read(12, dtype="int16")),
    lambda f: f.buffer_read(3),
    lambda f: (lambda b: (f.buffer_read_into(b, "int32"), bytes(b)))(bytearray(4 * f.channels * 9)),
    lambda f: f.buffer_read_into(bytearray(4 * f.channels + 1), "int32"),
    lambda f: list(f.blocks(100, overlap=10, dtype="float32")),
    lambda f: f.seek(2),
    lambda f: list(f.blocks(out=shaped(f, 64, "int32"), fill_value=7)),
    lambda f: f.seek(f.frames - 120),
    lambda f: list(f.blocks(50, frames=130, always_2d=True, fill_value=0)),
    lambda f: f.seek(0),
    lambda f: list(f.blocks(33, frames=70, overlap=5)),
    lambda f: list(f.blocks()),
    lambda f: list(f.blocks(10, out=shaped(f, 10, "int16"))),
    lambda f: (
        f.samplerate,
        f.channels,
        f.frames,
        f.format,
        f.subtype,
        f.endian,
        f.format_info,
        f.subtype_info,
        f.sections,
        f.seekable(),
        len(f),
        bool(f),
        f.title,
        f.genre,
        f.copy_metadata(),
        f.closed,
    ),
    lambda f: f.close(),
    lambda f: (f.closed, f.frames, f.samplerate),
    lambda f: f.read(1),
    lambda f: f.tell(),
    lambda f: list(f.blocks(10)),
]


def outcome(step, f):
    try:
        value = step(f)
    except Exception as error:  # noqa: BLE001 - the same error from both is what is checked
        kind = "RuntimeError" if isinstance(error, RuntimeError) else type(error).__name__
        return ("raised", kind, str(error))
    return ("returned", plain(value))


def plain(value):
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def trace(f):
    out = []
    for i, step in enumerate(STEPS):
        out.append((i, outcome(step, f), None if f.closed else f.tell()))
    return out


@pytest.mark.parametrize("as_object", [False, True], ids=["path", "file object"])
def test_steps_as_soundfile_takes_them(readable, as_object):
    for path in readable:
        opened = (lambda: open(path, "rb")) if as_object else (lambda: str(path))
        theirs = trace(soundfile.SoundFile(opened()))
        ours = trace(korrin.SoundFile(opened()))
        for a, b in zip(theirs, ours):
            assert b == a, f"{path.name}: step {a[0]}"
        expected_repr = repr(soundfile.SoundFile(str(path)))
        assert repr(korrin.SoundFile(str(path))) == expected_repr
        assert korrin.SoundFile(path).extra_info == soundfile.SoundFile(str(path)).extra_info


def test_module_blocks_and_read_spans(readable):
    for path in readable:
        for start, stop, frames in [(0, None, -1), (10, 400, -1), (-300, None, 100), (50, 20, -1)]:
            kwargs = dict(start=start, stop=stop, frames=frames, blocksize=64, overlap=3, dtype="int16")
            theirs = list(soundfile.blocks(str(path), **kwargs))
            ours = list(korrin.blocks(path, **kwargs))
            assert [plain(b) for b in ours] == [plain(b) for b in theirs], (path.name, start, stop)
        with pytest.raises(TypeError, match="Only one of"):
            list(korrin.blocks(path, 10, frames=5, stop=8))


SHORTEN = [EXAMPLES / "shorten_stereo.sph", SHARED_SPHERE / "123_1pcle_shn.sph", SHARED_SPHERE / "123_2ulaw_shn.sph"]


@pytest.mark.parametrize("path", [p for p in SHORTEN if p.exists()], ids=lambda p: p.name)
@pytest.mark.parametrize("as_bytes", [False, True], ids=["path", "bytes"])
def test_shorten_spans_are_korrin_read_spans(monkeypatch, path, as_bytes):
    """Read ahead or not, from a path (checkpoints) or bytes, every span is
    korrin.read's."""
    monkeypatch.setattr(ksf, "_READ_AHEAD", 700)
    source = path.read_bytes() if as_bytes else path
    whole, _ = korrin.read(source, dtype="int32", always_2d=True)
    f = korrin.SoundFile(source)
    assert (f.subtype, f.subtype_info, f.endian) == ("SHORTEN", "Shorten", "FILE")
    blocks = list(f.blocks(257, overlap=11, dtype="int32", always_2d=True))
    assert np.array_equal(np.concatenate([b[11:] if i else b for i, b in enumerate(blocks)]), whole)
    for start, count in [(len(whole) - 900, 500), (5, 1000), (0, -1), (len(whole) // 2, 10)]:
        f.seek(start)
        got = f.read(count, dtype="float32", always_2d=True)
        want, _ = korrin.read(source, start=start, frames=count, dtype="float32", always_2d=True)
        assert np.array_equal(got, want), (start, count)
        got[:] = 9  # the caller's copy, not what is kept for the next read
    f.seek(len(whole) // 2)
    assert np.array_equal(
        f.read(10, dtype="float32", always_2d=True),
        korrin.read(source, start=len(whole) // 2, frames=10, dtype="float32", always_2d=True)[0],
    )


def test_refusals():
    path = EXAMPLES / "pcm16_le_mono.sph"
    for mode, error in [("w", ValueError), ("r+", ValueError), ("rr", ValueError), ("q", ValueError), (3, TypeError)]:
        with pytest.raises(error):
            korrin.SoundFile(path, mode)
    with pytest.raises(TypeError, match="Not allowed for existing files"):
        korrin.SoundFile(path, samplerate=8000)
    with pytest.raises(ValueError, match="not a NIST SPHERE file"):
        korrin.SoundFile(b"RIFF" + bytes(60))
    with open(path, "rb") as f:
        assert korrin.SoundFile(f, mode=None).mode == "rb"
    assert korrin.SoundFile(path.read_bytes()).name == "<bytes>"


# --------------------------------------------------------------------------
# patch()


@pytest.fixture
def patched():
    original = soundfile.SoundFile
    ksf.patch()
    ksf.patch()
    try:
        yield original
    finally:
        ksf.unpatch()
    assert soundfile.SoundFile is original


def everything_soundfile_says(file_factory):
    """What soundfile's calls give for a file: read (a span and the whole),
    info's fields, blocks and a SoundFile's properties."""
    info = soundfile.info(file_factory())
    fields = {k: v for k, v in vars(info).items() if k != "name"}
    with soundfile.SoundFile(file_factory()) as f:
        props = (f.samplerate, f.channels, f.frames, f.format, f.subtype, f.endian)
    return (
        type(info).__name__,
        fields,
        props,
        plain(soundfile.read(file_factory(), start=3, stop=200, dtype="int16")[0]),
        plain(soundfile.read(file_factory())[0]),
        [plain(b) for b in soundfile.blocks(file_factory(), blocksize=100, overlap=7)],
    )


def test_patch_leaves_other_files_alone(tmp_path):
    rng = np.random.default_rng(3)
    data = rng.integers(-3000, 3000, (900, 2)).astype(np.int16)
    files = []
    for name in ("a.wav", "a.flac"):
        soundfile.write(tmp_path / name, data, 8000)
        files.append(tmp_path / name)
    before = {p: [everything_soundfile_says(make) for make in (lambda: str(p), lambda: open(p, "rb"))] for p in files}
    original = soundfile.SoundFile
    ksf.patch()
    try:
        after = {
            p: [everything_soundfile_says(make) for make in (lambda: str(p), lambda: open(p, "rb"))] for p in files
        }
        assert type(soundfile.SoundFile(str(files[0]))).__mro__[1] is original
        with pytest.raises(RuntimeError):
            soundfile.read(tmp_path / "missing.wav")
    finally:
        ksf.unpatch()
    assert after == before


def test_patched_soundfile_reads_sphere_as_korrin(patched, readable):
    paths = [p for p in SHORTEN if p.exists()] + list(readable)
    for path in paths:
        sources = [
            lambda: str(path),
            lambda: path,
            lambda: path.read_bytes(),
            lambda: io.BytesIO(path.read_bytes()),
            lambda: open(path, "rb"),
            lambda: os.fsencode(path),
        ]
        expected, rate = korrin.read(path, start=5, stop=-9, dtype="float32")
        for make in sources:
            got, got_rate = soundfile.read(make(), start=5, stop=-9, dtype="float32")
            assert got_rate == rate and got.dtype == expected.dtype and np.array_equal(got, expected), path.name
            with soundfile.SoundFile(make()) as f:
                assert isinstance(f, korrin.SoundFile) and isinstance(f, soundfile.SoundFile)
            blocks = list(soundfile.blocks(make(), 100, dtype="int16", start=17))
            assert np.array_equal(np.concatenate(blocks), korrin.read(path, start=17, dtype="int16")[0])
        info = soundfile.info(str(path))
        assert type(info).__name__ == "_SoundFileInfo"
        k = korrin.info(path)
        assert (info.samplerate, info.channels, info.frames, info.duration, info.format, info.sections) == (
            k.samplerate,
            k.channels,
            k.frames,
            k.frames / k.samplerate,
            "NIST",
            1,
        )


def test_patched_info_fields_are_soundfiles(readable):
    before = [vars(soundfile.info(str(p))) for p in readable]
    ksf.patch()
    try:
        after = [vars(soundfile.info(str(p))) for p in readable]
    finally:
        ksf.unpatch()
    assert after == before


def test_sphere_korrin_refuses_goes_to_soundfile(patched, tmp_path):
    """24-bit PCM: korrin refuses it, soundfile reads it, as before the patch."""
    fields = pcm16_fields(50)
    fields.update(sample_n_bytes="3", sample_byte_format="012")
    # typed -i, as libsndfile reads 24-bit PCM
    data = sphere_bytes(fields, bytes(range(150))).replace(b"-s3 012", b"-i  012")
    path = tmp_path / "pcm24.sph"
    path.write_bytes(data)
    with pytest.raises(ValueError):
        korrin.read(path)
    stream = io.BytesIO(data)
    got = [soundfile.read(str(path), dtype="int32")[0], soundfile.read(stream, dtype="int32")[0]]
    ksf.unpatch()
    want = soundfile.read(str(path), dtype="int32")[0]
    ksf.patch()
    for array in got:
        assert np.array_equal(array, want)
    assert soundfile.SoundFile(str(path)).subtype == "PCM_24"


def test_unpatch_without_patch_and_patch_without_soundfile(monkeypatch):
    ksf.unpatch()
    assert soundfile.SoundFile.__module__ == "soundfile" and not isinstance(
        korrin.SoundFile(EXAMPLES / "ulaw_mono.sph"), soundfile.SoundFile
    )
    monkeypatch.setitem(__import__("sys").modules, "soundfile", None)
    with pytest.raises(ImportError, match="pip install soundfile"):
        ksf.patch()
    assert Path(ksf.__file__).name == "soundfile.py"

"""End-to-end tests of the sph2wav command through the installed executable.

Every expected output comes from the korrin_native module (or, for the real
files beside the checkout, from their published SHA-256), never from the
command itself."""

from __future__ import annotations

import hashlib
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SHARED_SPHERE, SPH2WAV, VERSION, needs_real_files, pcm16_fields, sph2wav, sphere_bytes, tree

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder  # noqa: E402

# A sph2wav built on the portable system calls (KORRIN_PORTABLE_PLATFORM, as
# on macOS), which has no unnamed files: every temporary file is named.
PORTABLE = os.environ.get("KORRIN_SPH2WAV_PLATFORM") == "portable"


def loads_libraries(program: Path) -> bool:
    """Whether an ELF program names a dynamic loader (a PT_INTERP segment):
    a wholly static one, as the release wheels' sph2pipe (and the musllinux
    wheels' sph2wav) is, preloads nothing."""
    head = program.read_bytes()[: 1 << 16]
    (phoff,) = struct.unpack_from("<Q", head, 0x20)
    entsize, count = struct.unpack_from("<HH", head, 0x36)
    return any(struct.unpack_from("<I", head, phoff + i * entsize)[0] == 3 for i in range(count))


USAGE = (
    "usage: sph2wav [OPTION]... INPUT...\n"
    "       sph2wav [-c N] [-s B:E | -t B:E] [--pcm | --flac] -o - FILE\n"
    "       sph2wav --info [--json] INPUT...\n"
    "       sph2wav --wav-scp WAV_SCP [--segments SEGMENTS] [--pcm | --flac] -o OUTDIR\n"
    "       sph2pipe [-h hdr] [-t|-s b:e] [-c N] [-p|-u|-a] [-f typ] infile [outfile]\n"
)


def failure_lines(stderr: bytes) -> list[str]:
    """The "PATH: MESSAGE" lines, without the summary."""
    return [line for line in stderr.decode().splitlines() if not line.startswith("sph2wav: ")]


def sphere(
    frames: int,
    channels: int = 1,
    coding: str = "pcm",
    width: int = 2,
    byte_format: str = "01",
    payload: bytes | None = None,
) -> bytes:
    fields = pcm16_fields(frames, channels)
    fields.update(sample_coding=coding, sample_n_bytes=str(width), sample_byte_format=byte_format)
    if payload is None:
        size = frames * channels * width
        payload = bytes((i * 37 + 11) & 0xFF for i in range(size))
    return sphere_bytes(fields, payload)


def shortened(frames: int, channels: int, keep: float = 1.0) -> bytes:
    """A Shorten-compressed SPHERE file, or one whose stream is cut short."""
    stream = shorten_encoder.encode(
        shorten_encoder.speech_like_values(frames, channels, seed=frames),
        blocksize=128,
        maxnlpc=4,
        nmean=4,
        seed=channels,
    ).data
    fields = pcm16_fields(frames, channels)
    fields["sample_coding"] = "pcm,embedded-shorten-v2.00"
    return sphere_bytes(fields, stream[: int(len(stream) * keep)])


@pytest.fixture(scope="module", autouse=True)
def executable():
    if not SPH2WAV.is_file():
        pytest.fail(f"sph2wav is not installed at {SPH2WAV}")


# A nested corpus: relative path -> file contents. Names whose extension needs
# the "NIST_1A" sniff are converted only when they begin with it.
CORPUS = {
    "top/pcm_le.sph": sphere(300),
    "top/TIMIT.WAV": sphere(50),
    "top/riff.wav": b"RIFF\x24\x00\x00\x00WAVEfmt ",
    "top/notes.txt": b"NIST_1A but not a candidate",
    "top/sub/pcm_be.sph": sphere(120, channels=2, byte_format="10"),
    "top/sub/alaw.wv1": sphere(200, coding="alaw", width=1),
    "top/sub/plain.wv1": b"not a SPHERE file",
    "top/sub/deeper/mulaw.SPH": sphere(99, coding="ulaw", width=1),
    "top/sub/deeper/pcm32.wv2": sphere(64, channels=3, width=4, byte_format="10"),
    "top/sub/deeper/empty.sph": sphere(0),
    "top/sub/shorten.sph": shortened(700, 2),
    "top/bad/cut_short.sph": shortened(700, 1, keep=0.5),
    "top/bad/truncated.sph": sphere(100, payload=bytes(199)),
    "top/bad/garbage.sph": b"this is not audio",
    "top/bad/coding.wv2": sphere(10, coding="gsm"),
    "top/bad/zero_rate.sph": sphere_bytes({**pcm16_fields(4), "sample_rate": "0"}, bytes(8)),
}
REAL_FILES = ("123_1pcle_shn.sph", "123_2alaw.sph", "123_2ulaw_shn.sph")
# What the tree holds that converts: eight made here, and the real files
# where they are present.
CONVERTIBLE = 8 + (len(REAL_FILES) if SHARED_SPHERE.is_dir() else 0)


def build_corpus(root: Path) -> None:
    for name, data in CORPUS.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    if SHARED_SPHERE.is_dir():  # the tree is complete without them too
        (root / "top" / "real").mkdir()
        for name in REAL_FILES:
            shutil.copyfile(SHARED_SPHERE / name, root / "top" / "real" / name)


def expected_results(korrin, root: Path, pcm: bool):
    """What converting `root/top` should give: {input: output bytes} for the
    files that convert and {input: message} for those that fail."""
    convert = korrin.decode_pcm if pcm else korrin.transcode
    outputs, failures = {}, {}
    for path in sorted(root.joinpath("top").rglob("*")):
        name = path.relative_to(root).as_posix()
        suffix = path.suffix.lower()
        if suffix not in (".sph", ".wv1", ".wv2", ".wav"):
            continue
        data = path.read_bytes()
        if suffix != ".sph" and not data.startswith(b"NIST_1A"):
            continue
        try:
            outputs[name] = convert(data)
        except ValueError as error:
            failures[name] = str(error)
    return outputs, failures


@pytest.fixture
def corpus(tmp_path: Path) -> Path:
    build_corpus(tmp_path)
    return tmp_path


@pytest.mark.parametrize(
    "options, out_prefix, extension",
    [
        (["-o", "out"], "out/", ".wav"),
        (["-o", "out", "--pcm"], "out/", ".pcm"),
        ([], "top/", ".wav"),
        (["--pcm", "-j", "3"], "top/", ".pcm"),
    ],
)
def test_tree_outputs_match_the_module(korrin, corpus, options, out_prefix, extension):
    outputs, failures = expected_results(korrin, corpus, pcm="--pcm" in options)
    assert (len(outputs), len(failures)) == (CONVERTIBLE, 5)  # the corpus is what this test thinks
    before = tree(corpus)

    result = sph2wav(*options, "top", cwd=corpus)

    assert result.returncode == 1
    assert sorted(failure_lines(result.stderr)) == sorted(f"{p}: {m}" for p, m in failures.items())
    summary = f"sph2wav: {CONVERTIBLE} of {CONVERTIBLE + 5} outputs written, 5 failed"
    assert result.stderr.decode().splitlines()[-1].startswith(summary)
    expected = {
        out_prefix + str(Path(name).relative_to("top").with_suffix(extension)): data for name, data in outputs.items()
    }
    after = tree(corpus)
    assert {k: v for k, v in after.items() if k not in before} == expected
    assert {k: after[k] for k in before} == before  # no input touched


@needs_real_files
def test_real_files_match_their_published_digests(tmp_path):
    digests = {  # the reference tool's WAV output for the files beside the checkout
        "123_1pcle_shn": "81574d2c42c6289fcb8b42a5ab524a0c5a297716594f1977e805b84fd08f34f9",
        "123_2alaw": "bb76e77ab619b6b355b69eee4977964ae9e7b664008b86ffa5382b65e962c91e",
        "123_2ulaw_shn": "17c521a6a4b0b32c3387a321173ef032992e9ca7384b624aee1a922a15dbf897",
    }
    result = sph2wav(*(SHARED_SPHERE / f"{n}.sph" for n in digests), "-o", tmp_path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert {n: hashlib.sha256((tmp_path / f"{n}.wav").read_bytes()).hexdigest() for n in digests} == digests


GOOD = sphere(10)
BAD = sphere(10, payload=bytes(3))


@pytest.mark.parametrize(
    "args, status, stdout, stderr",
    [
        ([], 2, "", "sph2wav: no input given\n" + USAGE),
        # One input file and -o naming a file: that file is the output.
        (
            ["-q", "good.sph", "-o", "bad.sph"],
            1,
            "",
            "good.sph: bad.sph already exists (use --force to replace it, or --skip-existing to keep it)\n",
        ),
        (["good.sph", "good.sph", "-o", "bad.sph"], 1, "", "bad.sph: not a directory\n"),
        (["--frobnicate", "good.sph"], 2, "", "sph2wav: unknown option '--frobnicate'\n" + USAGE),
        (["-x", "good.sph"], 2, "", "sph2wav: unknown option '-x'\n" + USAGE),
        (["-j", "0", "good.sph"], 2, "", "sph2wav: invalid thread count '0' (expected 1 to 1024)\n" + USAGE),
        (["--jobs=2x", "good.sph"], 2, "", "sph2wav: invalid thread count '2x' (expected 1 to 1024)\n" + USAGE),
        (["good.sph", "-o"], 2, "", "sph2wav: option '-o' needs a value\n" + USAGE),
        (["--force=yes", "good.sph"], 2, "", "sph2wav: option '--force' takes no value\n" + USAGE),
        (["--version"], 0, f"sph2wav {VERSION}\n", ""),
        (["-V", "--bogus-after-version"], 2, "", "sph2wav: unknown option '--bogus-after-version'\n" + USAGE),
        (["-q", "missing.sph"], 1, "", "missing.sph: no such file or directory\n"),
        (
            ["-q", "good.sph", "bad.sph"],
            1,
            "",
            "bad.sph: audio payload truncated: header declares 20 bytes but only 3 present\n",
        ),
        (["-qj1", "good.sph"], 0, "", ""),
        (["-q", "--", "-dash.sph"], 0, "", ""),
        (["-q", "fifo.sph"], 1, "", "fifo.sph: not a regular file\n"),
    ],
)
def test_exit_status_and_messages(tmp_path, args, status, stdout, stderr):
    (tmp_path / "good.sph").write_bytes(GOOD)
    (tmp_path / "-dash.sph").write_bytes(GOOD)
    (tmp_path / "bad.sph").write_bytes(BAD)
    os.mkfifo(tmp_path / "fifo.sph")  # must fail at once, not wait for a writer

    result = sph2wav(*args, cwd=tmp_path)

    assert (result.returncode, result.stdout.decode()) == (status, stdout)
    if status == 2:
        assert result.stderr.decode() == stderr + "Try 'sph2wav --help' for more information.\n"
    else:
        assert result.stderr.decode() == stderr
    converted = status != 2 and "--version" not in args and "good.sph" in args and "-o" not in args
    assert (tmp_path / "good.wav").exists() == converted


def test_a_closed_standard_error_does_not_stop_the_run(korrin, tmp_path):
    for name, data in {"a.sph": BAD, "b.sph": GOOD, "c.sph": BAD, "d.sph": GOOD}.items():
        (tmp_path / name).write_bytes(data)
    reader, writer = os.pipe()
    os.close(reader)  # the first report meets a broken pipe
    try:
        result = subprocess.run([str(SPH2WAV), "-j", "1", "."], cwd=tmp_path, stderr=writer, timeout=60)
    finally:
        os.close(writer)
    assert result.returncode == 1
    assert tree(tmp_path) == {
        "a.sph": BAD,
        "b.sph": GOOD,
        "c.sph": BAD,
        "d.sph": GOOD,
        "b.wav": korrin.transcode(GOOD),
        "d.wav": korrin.transcode(GOOD),
    }


def test_help_describes_every_option(tmp_path):
    result = sph2wav("--help", "--no-such-option-is-checked-after-help", cwd=tmp_path)
    assert result.returncode == 2  # a typo after --help is still a typo
    result = sph2wav("-h", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == b""
    text = result.stdout.decode()
    assert text.startswith(USAGE)  # the short usage is the help's head: every form
    for option in (
        "--output=OUTPUT",
        "--jobs=N",
        "--max-memory=SIZE",
        "--pcm",
        "--flac",
        "--force",
        "--skip-existing",
        "--keep-extension",
        "--no-checksum",
        "--quiet",
        "--help",
        "--version",
    ):
        assert option in text


def test_existing_outputs_are_replaced_only_with_force(korrin, tmp_path):
    (tmp_path / "a.sph").write_bytes(GOOD)
    (tmp_path / "a.wav").write_bytes(b"precious")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "a.wav").write_bytes(b"also precious")

    for args in (["a.sph"], ["a.sph", "-o", "out"]):
        result = sph2wav("-q", *args, cwd=tmp_path)
        where = "a.wav" if len(args) == 1 else "out/a.wav"
        assert result.returncode == 1
        assert (
            result.stderr.decode()
            == f"a.sph: {where} already exists (use --force to replace it, or --skip-existing to keep it)\n"
        )
    assert (tmp_path / "a.wav").read_bytes() == b"precious"
    assert (tmp_path / "out" / "a.wav").read_bytes() == b"also precious"

    result = sph2wav("-q", "--force", "a.sph", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (tmp_path / "a.wav").read_bytes() == korrin.transcode(GOOD)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.sph", "a.wav", "out"]  # no temporaries


@pytest.mark.parametrize(
    "files, args, message",
    [
        # A SPHERE file named .wav would be its own output.
        ({"d/x.wav": GOOD}, ["--force", "d"], "d/x.wav: output d/x.wav would replace the input"),
        ({"x.wav": GOOD}, ["--force", "x.wav"], "x.wav: output x.wav would replace the input"),
        # ... and another input's output.
        (
            {"d/x.sph": GOOD, "d/x.wav": GOOD},
            ["--force", "d"],
            "d/x.sph: output d/x.wav would replace an input\nd/x.wav: output d/x.wav would replace the input",
        ),
        # Two SPHERE files with one output: the first keeps it.
        (
            {"d/x.sph": GOOD, "d/x.wv1": sphere(3)},
            ["d"],
            "d/x.wv1: output d/x.wav is also the output of d/x.sph"
            " (use --keep-extension to name outputs after the whole input name)",
        ),
        ({"x.sph": GOOD}, ["x.sph", "./x.sph"], "./x.sph: output ./x.wav is also the output of x.sph"),
    ],
)
def test_no_output_replaces_an_input_or_another_output(korrin, tmp_path, files, args, message):
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)

    result = sph2wav("-q", *args, cwd=tmp_path)

    assert result.returncode == 1
    assert result.stderr.decode() == message + "\n"
    for name, data in files.items():
        assert (tmp_path / name).read_bytes() == data
    if "d/x.wv1" in files:  # the first of the two converted
        assert (tmp_path / "d/x.wav").read_bytes() == korrin.transcode(GOOD)


def test_a_stale_riff_output_is_not_an_input(korrin, tmp_path):
    """A second run over a tree finds the first run's WAV files beside the
    inputs; they are not SPHERE, so they neither convert nor block anything."""
    (tmp_path / "d").mkdir()
    (tmp_path / "d/x.wv1").write_bytes(GOOD)
    assert sph2wav("-q", "d", cwd=tmp_path).returncode == 0
    result = sph2wav("-q", "--force", "d", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert tree(tmp_path) == {"d/x.wv1": GOOD, "d/x.wav": korrin.transcode(GOOD)}


def test_one_and_four_threads_give_identical_trees(corpus):
    runs = {jobs: sph2wav("-j", jobs, "top", "-o", f"out{jobs}", cwd=corpus) for jobs in ("1", "4")}

    assert runs["1"].returncode == runs["4"].returncode == 1
    one, four = tree(corpus / "out1"), tree(corpus / "out4")
    assert one == four and len(one) == CONVERTIBLE
    lines = failure_lines(runs["1"].stderr)
    assert lines == sorted(lines)  # one thread reports in the order of the walk
    assert sorted(failure_lines(runs["4"].stderr)) == lines


def frozen(process: subprocess.Popen) -> bool:
    """Waits until a process sent SIGSTOP has stopped; false if it has ended."""
    while process.poll() is None:
        state = Path(f"/proc/{process.pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        if state in ("T", "t"):
            return True
    return False


def temporaries(process: subprocess.Popen, out: Path) -> list[str]:
    """The temporary outputs of a running process in `out`: named ones
    (".NAME...") and unnamed ones, which only its descriptors show."""
    named = [p.name for p in out.iterdir() if p.name.startswith(".")]
    unnamed = []
    try:
        descriptors = list(Path(f"/proc/{process.pid}/fd").iterdir())
    except FileNotFoundError:  # the process has ended
        descriptors = []
    for fd in descriptors:
        try:
            target = os.readlink(fd)
        except OSError:  # closed meanwhile
            continue
        if target.startswith(str(out) + "/") and target.endswith(" (deleted)"):
            unnamed.append(target)
    return named + unnamed


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_interruption_leaves_no_partial_output(korrin, tmp_path, sig):
    """Stops the run while a temporary output exists, interrupts it, and
    checks that what is left is only complete outputs."""
    big = sphere(1_500_000, channels=2)  # 6 MB each
    src = tmp_path / "src"
    src.mkdir()
    for i in range(24):
        (src / f"f{i:02}.sph").write_bytes(big)
    expected = korrin.transcode(big)

    for attempt in range(10):
        out = tmp_path / f"out{attempt}"
        out.mkdir()
        process = subprocess.Popen([str(SPH2WAV), "-j", "2", "src", "-o", out], cwd=tmp_path, stderr=subprocess.PIPE)
        caught = []
        while process.poll() is None and not caught:
            if temporaries(process, out):
                process.send_signal(signal.SIGSTOP)
                if frozen(process):
                    caught = temporaries(process, out)
                    process.send_signal(sig)
                process.send_signal(signal.SIGCONT)
        stderr = process.communicate(timeout=120)[1]
        if not caught:
            continue  # the run ended between look and stop: try again

        assert process.returncode == -sig, stderr
        assert stderr.decode().endswith("sph2wav: interrupted\n")
        left = sorted(p.name for p in out.iterdir())
        assert all(name.endswith(".wav") and not name.startswith(".") for name in left), left
        assert len(left) < 24
        for name in left:
            assert (out / name).read_bytes() == expected, name
        return
    pytest.fail("never caught the run with a temporary file in flight")


def read_terminal(master: int) -> bytes:
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the other side has closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.parametrize(
    "quiet, terminal, bar, summary",
    [
        (False, True, True, True),
        (False, False, False, True),
        (True, True, False, False),
        (True, False, False, False),
    ],
)
def test_progress_bar_only_on_a_terminal(tmp_path, quiet, terminal, bar, summary):
    for i in range(5):
        (tmp_path / f"f{i}.sph").write_bytes(GOOD)
    args = [str(SPH2WAV), *(["-q"] if quiet else []), "-o", "out", "."]
    if terminal:
        master, slave = pty.openpty()
        process = subprocess.Popen(args, cwd=tmp_path, stderr=slave, stdout=subprocess.PIPE)
        os.close(slave)
        stderr = read_terminal(master)
        os.close(master)
        stdout, _ = process.communicate(timeout=60)
    else:
        process = subprocess.run(args, cwd=tmp_path, capture_output=True, timeout=60)
        stdout, stderr = process.stdout, process.stderr

    assert process.returncode == 0 and stdout == b""
    assert (b"5/5 outputs [" in stderr) == bar
    assert (b"\x1b[K" in stderr) == bar  # the bar is erased before the summary
    last_line = stderr.replace(b"\r\n", b"\n").split(b"\x1b[K")[-1]
    if summary:
        assert last_line.startswith(b"sph2wav: 5 outputs written (5.2 kB read in ")
    else:
        assert stderr == b""


def test_outputs_mirror_several_inputs_under_one_directory(korrin, tmp_path):
    for name in ("a/one.sph", "a/x/two.sph", "b/y/three.sph", "four.sph"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(sphere(len(name)))

    result = sph2wav("-q", "a", "b/", "four.sph", "-o", "deep/out", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    assert tree(tmp_path / "deep/out") == {
        "one.wav": korrin.transcode(sphere(len("a/one.sph"))),
        "x/two.wav": korrin.transcode(sphere(len("a/x/two.sph"))),
        "y/three.wav": korrin.transcode(sphere(len("b/y/three.sph"))),
        "four.wav": korrin.transcode(sphere(len("four.sph"))),
    }


def test_links_to_directories_are_not_followed_but_links_to_files_are(korrin, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    (tmp_path / "a/x.sph").write_bytes(GOOD)
    (tmp_path / "b/y.sph").write_bytes(sphere(5))
    os.symlink(".", tmp_path / "a/loop")
    os.symlink("../b", tmp_path / "a/elsewhere")
    os.symlink("../b/y.sph", tmp_path / "a/z.sph")
    os.symlink("gone.sph", tmp_path / "a/dangling.sph")

    result = sph2wav("-q", "a", "-o", "out", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (1, b"a/dangling.sph: no such file or directory\n")
    assert tree(tmp_path / "out") == {"x.wav": korrin.transcode(GOOD), "z.wav": korrin.transcode(sphere(5))}

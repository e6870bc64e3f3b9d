"""sph2wav in a hostile environment: closed standard descriptors, signals,
file-size limits, crashes, stale temporaries, odd names, broken links,
files that are not what their names say, and memory under many threads.

Every run that could end the test process goes through a subprocess."""

from __future__ import annotations

import errno
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import pcm16_fields, sphere_bytes
from test_cli import (  # noqa: F401
    PORTABLE,
    SPH2WAV,
    executable,
    failure_lines,
    frozen,
    loads_libraries,
    sph2wav,
    sphere,
    temporaries,
    tree,
)

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder  # noqa: E402

GOOD = sphere(10)
BIG = sphere(1_500_000, channels=2)  # 6 MB of PCM: long enough to be caught at work


def stop_with_temporary(process: subprocess.Popen, out: Path) -> list[str]:
    """Freezes `process` (SIGSTOP) at a moment when it has an output in
    flight and returns its temporaries; empty when it ended first. The
    caller sends SIGCONT."""
    while process.poll() is None:
        try:
            if not temporaries(process, out):
                continue
            process.send_signal(signal.SIGSTOP)
            if not frozen(process):
                return []
            if caught := temporaries(process, out):
                return caught
        except FileNotFoundError:  # ended while looked at
            continue
        process.send_signal(signal.SIGCONT)
    return []


def big_tree(root: Path, count: int) -> Path:
    src = root / "src"
    src.mkdir()
    for i in range(count):
        (src / f"f{i:02}.sph").write_bytes(BIG)
    return src


def run_caught(root: Path, sig: int, args=(), **popen) -> tuple[subprocess.Popen, bytes, Path, list[str]]:
    """Runs sph2wav over 24 big files, sends `sig` while an output is in
    flight, and returns the process, its standard error, the output
    directory and the temporaries it had when the signal came."""
    src = root / "src" if (root / "src").exists() else big_tree(root, 24)
    for attempt in range(10):
        out = root / f"out{attempt}"
        out.mkdir()
        process = subprocess.Popen(
            [str(SPH2WAV), "-j", "2", *args, src, "-o", out], cwd=root, stderr=subprocess.PIPE, **popen
        )
        caught = stop_with_temporary(process, out)
        if caught:
            process.send_signal(sig)
            process.send_signal(signal.SIGCONT)
        stderr = process.communicate(timeout=120)[1]
        if caught:
            return process, stderr, out, caught
    pytest.fail("never caught the run with an output in flight")


def assert_only_complete_outputs(korrin, out: Path, most: int = 23) -> None:
    left = sorted(p.name for p in out.iterdir())
    assert all(name.endswith(".wav") and not name.startswith(".") for name in left), left
    assert len(left) <= most
    expected = korrin.transcode(BIG)
    for name in left:
        assert (out / name).read_bytes() == expected, name


# -- standard descriptors ---------------------------------------------------


def close_standard_descriptors() -> None:
    for fd in (0, 1, 2):
        os.close(fd)


def test_closed_standard_descriptors_are_reopened_on_dev_null(korrin, tmp_path):
    """With 0, 1 and 2 closed, nothing the run opens may land on them: a
    report written to descriptor 2 would go into that file."""
    src = big_tree(tmp_path, 12)
    for i in range(200):  # failures to report while outputs are written
        (src / f"f{i % 12:02}_junk{i:03}.sph").write_bytes(b"not a SPHERE file")
    out = tmp_path / "out"
    out.mkdir()
    process = subprocess.Popen(
        [str(SPH2WAV), "-j", "2", src, "-o", out], cwd=tmp_path, preexec_fn=close_standard_descriptors
    )
    standard = None
    if stop_with_temporary(process, out):
        standard = [os.readlink(f"/proc/{process.pid}/fd/{fd}") for fd in (0, 1, 2)]
        process.send_signal(signal.SIGCONT)
    assert process.wait(timeout=120) == 1
    assert standard == ["/dev/null"] * 3
    expected = korrin.transcode(BIG)
    assert tree(out) == {f"f{i:02}.wav": expected for i in range(12)}


@pytest.mark.parametrize("closed", [(0,), (1,), (2,), (0, 1, 2)])
def test_output_on_a_closed_descriptor_is_not_an_error(tmp_path, closed):
    """--version writes to standard output: a closed one reads as /dev/null."""
    result = subprocess.run(
        [str(SPH2WAV), "--version"], cwd=tmp_path, preexec_fn=lambda: [os.close(fd) for fd in closed]
    )
    assert result.returncode == 0


# -- what an output directory holds -----------------------------------------


def full_pipe() -> tuple[int, int]:
    """A pipe with no room left: the first write to it waits for a read."""
    r, w = os.pipe()
    os.set_blocking(w, False)
    for chunk in (b"x" * 65536, b"x"):
        try:
            while True:
                os.write(w, chunk)
        except BlockingIOError:
            pass
    os.set_blocking(w, True)
    return r, w


@pytest.mark.parametrize("swapped", ["folder", "outdir"])
@pytest.mark.parametrize("mode", ["tree", "data-dir"])
def test_a_folder_swapped_for_a_link_mid_run_takes_no_output_outside(tmp_path, mode, swapped):
    """The run is held between two outputs of one folder, in the report of
    the file between them (standard error is a full pipe); meanwhile the
    folder, or OUTDIR itself, is moved away and a link to another directory
    takes its name. The second output goes where the first went."""
    for name, data in {"a.sph": GOOD, "b.sph": b"junk", "c.sph": GOOD}.items():
        (tmp_path / "in" / "sub").mkdir(parents=True, exist_ok=True)
        (tmp_path / "in" / "sub" / name).write_bytes(data)
    (tmp_path / "wav.scp").write_text("".join(f"{n} in/sub/{n}.sph\n" for n in "abc"))
    (tmp_path / "outside").mkdir()
    args, folder = (["in"], "sub") if mode == "tree" else (["--wav-scp", "wav.scp"], "data")
    r, w = full_pipe()
    process = subprocess.Popen([str(SPH2WAV), "-q", "-j", "1", *args, "-o", "out"], cwd=tmp_path, stderr=w)
    os.close(w)
    with os.fdopen(r, "rb") as stderr:
        first = tmp_path / "out" / folder / "a.wav"
        for _ in range(6000):  # it cannot get past b.sph's report before it is read
            if first.exists() or process.poll() is not None:
                break
            time.sleep(0.01)
        assert first.exists()
        moved = tmp_path / "out" / folder if swapped == "folder" else tmp_path / "out"
        moved.rename(f"{moved}.moved")
        moved.symlink_to(tmp_path / "outside")
        assert stderr.read().endswith(b"not a NIST SPHERE file (missing 'NIST_1A' magic)\n")
    assert process.wait(timeout=60) == 1
    assert list((tmp_path / "outside").iterdir()) == []
    landed = tmp_path / (
        "out/sub.moved"
        if swapped == "folder" and mode == "tree"
        else "out/data.moved"
        if swapped == "folder"
        else f"out.moved/{folder}"
    )
    assert sorted(p.name for p in landed.iterdir()) == ["a.wav", "c.wav"]


@pytest.mark.parametrize("make", [os.mkfifo, lambda path: path.symlink_to("/dev/null")], ids=["fifo", "link"])
def test_a_tree_never_replaces_what_is_not_a_regular_file(tmp_path, make):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.sph").write_bytes(GOOD)
    (tmp_path / "out").mkdir()
    make(tmp_path / "out" / "a.wav")
    before = (tmp_path / "out" / "a.wav").lstat().st_mode
    result = sph2wav("-q", "--force", "in", "-o", "out", cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (
        1,
        "in/a.sph: out/a.wav is not a regular file, and is never replaced\n",
    )
    assert (tmp_path / "out" / "a.wav").lstat().st_mode == before


# -- signals and limits -----------------------------------------------------

TERMINATING = [
    signal.SIGHUP,
    signal.SIGQUIT,
    signal.SIGUSR1,
    signal.SIGUSR2,
    signal.SIGALRM,
    signal.SIGVTALRM,
    signal.SIGPROF,
    signal.SIGXCPU,
    signal.SIGIO,
    signal.SIGPWR,
    signal.SIGRTMIN,
    signal.SIGRTMAX,
]


@pytest.mark.parametrize(
    "sig", TERMINATING, ids=lambda s: signal.Signals(s).name if s in signal.Signals._value2member_map_ else str(int(s))
)
def test_every_terminating_signal_leaves_only_complete_outputs(korrin, tmp_path, sig):
    process, stderr, out, _ = run_caught(tmp_path, sig)
    assert process.returncode == -sig, stderr
    assert stderr.decode().endswith("sph2wav: interrupted\n")
    assert_only_complete_outputs(korrin, out)


def test_file_size_limit_fails_the_big_files_only(korrin, tmp_path):
    small = sphere(1000)
    (tmp_path / "a_big.sph").write_bytes(BIG)
    (tmp_path / "b_small.sph").write_bytes(small)
    (tmp_path / "c_big.sph").write_bytes(BIG)
    limit = 1 << 20

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = subprocess.run(
        [str(SPH2WAV), "-j", "1", ".", "-o", "out"], cwd=tmp_path, capture_output=True, timeout=120, preexec_fn=limited
    )

    assert result.returncode == 1, result.stderr
    assert failure_lines(result.stderr) == [
        f"./{n}.sph: cannot write out/{n}.wav: file too large" for n in ("a_big", "c_big")
    ]
    assert "1 of 3 outputs written, 2 failed" in result.stderr.decode()
    assert tree(tmp_path / "out") == {"b_small.wav": korrin.transcode(small)}


# -- temporaries: unnamed where possible, never in the way -------------------

# Makes open() refuse O_TMPFILE as file systems without it do, so that the
# named fallback can be tested on any machine.
NO_TMPFILE_SHIM = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

static int opened(int dir, const char *path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE) { errno = EOPNOTSUPP; return -1; }
    return (int)syscall(SYS_openat, dir, path, flags, mode);
}
#define MODE(flags) mode_t mode = 0; \
    if ((flags) & (O_CREAT | __O_TMPFILE)) { va_list a; va_start(a, flags); mode = va_arg(a, mode_t); va_end(a); }
int open(const char *p, int flags, ...) { MODE(flags) return opened(AT_FDCWD, p, flags, mode); }
int open64(const char *p, int flags, ...) { MODE(flags) return opened(AT_FDCWD, p, flags, mode); }
int openat(int d, const char *p, int flags, ...) { MODE(flags) return opened(d, p, flags, mode); }
int openat64(int d, const char *p, int flags, ...) { MODE(flags) return opened(d, p, flags, mode); }
int __open_2(const char *p, int flags) { return opened(AT_FDCWD, p, flags, 0); }
int __open64_2(const char *p, int flags) { return opened(AT_FDCWD, p, flags, 0); }
"""


@pytest.fixture(scope="module")
def no_tmpfile(tmp_path_factory) -> dict[str, str]:
    """The environment of a run on a file system without O_TMPFILE."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the O_TMPFILE-refusing shim")
    if not loads_libraries(SPH2WAV):
        pytest.skip("this sph2wav is linked wholly static: a preloaded shim cannot reach its calls")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(NO_TMPFILE_SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", where / "shim.so", where / "shim.c"], check=True)
    return {**os.environ, "LD_PRELOAD": str(where / "shim.so")}


@pytest.mark.parametrize("named", [False, True], ids=["unnamed", "named"])
def test_outputs_are_the_same_with_and_without_unnamed_temporaries(korrin, tmp_path, named, request):
    env = request.getfixturevalue("no_tmpfile") if named else None
    files = {"a.sph": sphere(10), "d/b.sph": sphere(20), "d/e/c.sph": sphere(30, channels=2)}
    for name, data in files.items():
        (tmp_path / "in" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "in" / name).write_bytes(data)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "a.wav").write_bytes(b"old")

    refused = sph2wav("-q", "in", "-o", "out", cwd=tmp_path, env=env)
    assert refused.returncode == 1
    assert (
        refused.stderr
        == b"in/a.sph: out/a.wav already exists (use --force to replace it, or --skip-existing to keep it)\n"
    )
    assert (tmp_path / "out" / "a.wav").read_bytes() == b"old"

    forced = sph2wav("-q", "--force", "in", "-o", "out", cwd=tmp_path, env=env)
    assert (forced.returncode, forced.stderr) == (0, b"")
    assert tree(tmp_path / "out") == {n.replace(".sph", ".wav"): korrin.transcode(d) for n, d in files.items()}


@pytest.mark.parametrize(
    "sig, named, left",
    [
        # Unnamed temporaries vanish with the process, however it ends.
        (signal.SIGKILL, False, 0),
        (signal.SIGSEGV, False, 0),
        (signal.SIGABRT, False, 0),
        # Named ones are removed on every signal that can be caught...
        (signal.SIGTERM, True, 0),
        (signal.SIGSEGV, True, 0),
        (signal.SIGBUS, True, 0),
        (signal.SIGABRT, True, 0),
        (signal.SIGFPE, True, 0),
        # ... but not on SIGKILL.
        (signal.SIGKILL, True, 1),
    ],
)
def test_what_a_killed_or_crashed_run_leaves(korrin, tmp_path, request, sig, named, left):
    env = request.getfixturevalue("no_tmpfile") if named else None
    if PORTABLE and not named:  # no unnamed files there: the named cases' outcome
        named, left = True, int(sig == signal.SIGKILL)
    process, _, out, caught = run_caught(tmp_path, sig, env=env)
    assert process.returncode == -sig
    # The run had the temporaries this case is about.
    assert all(name.startswith(".") for name in caught) == named, caught
    stale = [p.name for p in out.iterdir() if p.name.startswith(".")]
    assert len(stale) >= left and (left or not stale), (stale, caught)
    for name in stale:
        (out / name).unlink()
    assert_only_complete_outputs(korrin, out)


@pytest.mark.parametrize("named", [False, True], ids=["unnamed", "named"])
def test_stale_temporaries_never_block_a_conversion(korrin, tmp_path, request, named):
    """In a fresh PID namespace sph2wav is PID 1 on every run, as in a
    container: temporaries left by an earlier PID 1 must not be in the way."""
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    env = request.getfixturevalue("no_tmpfile") if named else None
    probe = subprocess.run(["unshare", "--user", "--map-root-user", "--pid", "--fork", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot make a PID namespace here: {probe.stderr.decode().strip()}")
    (tmp_path / "a.sph").write_bytes(GOOD)
    for pid in (1, 2):
        for serial in range(4):
            (tmp_path / f".a.wav.tmp-{pid}-{serial}").write_bytes(b"stale")
    before = tree(tmp_path)

    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--pid", "--fork", str(SPH2WAV), "-q", "a.sph"],
        cwd=tmp_path,
        capture_output=True,
        timeout=60,
        env=env,
    )

    assert (result.returncode, result.stderr) == (0, b"")
    assert tree(tmp_path) == {**before, "a.wav": korrin.transcode(GOOD)}


# -- names as printed --------------------------------------------------------

JUNK_MESSAGE = "not a NIST SPHERE file (missing 'NIST_1A' magic)"


@pytest.mark.parametrize(
    "name, printed",
    [
        (b"plain.sph", "plain.sph"),
        ("ünïcödé 音声.sph".encode(), "ünïcödé 音声.sph"),
        (b"new\nline.sph", "new\\nline.sph"),
        (b"tab\there\r.sph", "tab\\there\\r.sph"),
        (b"title\x1b]0;pwned\x07.sph", "title\\x1b]0;pwned\\x07.sph"),
        (b"clear\x1b[2J.sph", "clear\\x1b[2J.sph"),
        (b"back\\slash.sph", "back\\\\slash.sph"),
        (b"del\x7f.sph", "del\\x7f.sph"),
        ("c1 csi \u009b.sph".encode(), "c1 csi \\xc2\\x9b.sph"),
        (b"latin1 \xe9t\xe9.sph", "latin1 \\xe9t\\xe9.sph"),
        (b"cut \xe2\x82.sph", "cut \\xe2\\x82.sph"),
        (b"surrogate \xed\xa0\x80.sph", "surrogate \\xed\\xa0\\x80.sph"),
        (b"overlong \xc0\xaf.sph", "overlong \\xc0\\xaf.sph"),
    ],
)
def test_printed_names_are_escaped(tmp_path, name, printed):
    os.makedirs(tmp_path / "d")
    with open(os.path.join(bytes(tmp_path / "d"), name), "wb") as junk:
        junk.write(b"junk")

    result = sph2wav("-q", "d", cwd=tmp_path)

    assert result.returncode == 1
    assert result.stderr.decode() == f"d/{printed}: {JUNK_MESSAGE}\n"


def test_names_inside_messages_are_escaped(korrin, tmp_path):
    os.makedirs(tmp_path / "d")
    for name in (b"x\n.sph", b"x\n.wv1"):
        with open(os.path.join(bytes(tmp_path / "d"), name), "wb") as good:
            good.write(GOOD)
    with open(os.path.join(bytes(tmp_path), b"y\x1b.sph"), "wb") as good:
        good.write(GOOD)
    with open(os.path.join(bytes(tmp_path), b"y\x1b.wav"), "wb") as old:
        old.write(b"old")

    result = sph2wav("-q", "d", "y\x1b.sph", cwd=tmp_path)

    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [
        "d/x\\n.wv1: output d/x\\n.wav is also the output of d/x\\n.sph"
        " (use --keep-extension to name outputs after the whole input name)",
        "y\\x1b.sph: y\\x1b.wav already exists (use --force to replace it, or --skip-existing to keep it)",
    ]


# -- links that point nowhere ------------------------------------------------

# As the C library says it ("symbolic link loop", musl's).
LOOP = os.strerror(errno.ELOOP)[0].lower() + os.strerror(errno.ELOOP)[1:]
GONE = "no such file or directory"


@pytest.mark.parametrize(
    "links, reported",
    [
        ({"gone.sph": "missing.sph"}, [f"gone.sph: {GONE}"]),
        ({"GONE.WV1": "missing", "gone.wav": "../nowhere/x.wav"}, [f"GONE.WV1: {GONE}", f"gone.wav: {GONE}"]),
        ({"self.sph": "self.sph"}, [f"self.sph: {LOOP}"]),
        ({"ping.sph": "pong.sph", "pong.sph": "ping.sph"}, [f"ping.sph: {LOOP}", f"pong.sph: {LOOP}"]),
        # Not candidates by name, or links to directories: not followed, not reported.
        ({"gone.txt": "missing", "dir.sph": "..", "loop": "loop"}, []),
        # A link to a good file converts.
        ({"good_link.sph": "../good.sph"}, []),
    ],
)
def test_broken_links_in_a_tree_are_reported(korrin, tmp_path, links, reported):
    (tmp_path / "good.sph").write_bytes(GOOD)
    (tmp_path / "d").mkdir()
    for name, target in links.items():
        os.symlink(target, tmp_path / "d" / name)

    in_tree = sph2wav("-q", "d", "-o", "out", cwd=tmp_path)
    named = sph2wav("-q", *(f"d/{n}" for n in links if n.endswith(".sph")), "-o", "out2", cwd=tmp_path)

    # A tree with nothing to convert is a failure of its own.
    nothing = [] if reported or "good_link.sph" in links else ["sph2wav: no SPHERE files found under d"]
    assert in_tree.returncode == (1 if reported or nothing else 0)
    assert in_tree.stderr.decode().splitlines() == [f"d/{line}" for line in reported] + nothing
    # Named on the command line, a .sph link gives the same report.
    if any(n.endswith(".sph") for n in links):
        assert sorted(named.stderr.decode().splitlines()) == sorted(
            f"d/{line}" for line in reported if line.split(":")[0].endswith(".sph")
        )
    converted = {f"{n[:-4]}.wav": korrin.transcode(GOOD) for n in links if n == "good_link.sph"}
    assert (tree(tmp_path / "out") if (tmp_path / "out").exists() else {}) == converted


# -- memory ------------------------------------------------------------------


# A small interpreter starts sph2wav and reports its peak resident memory:
# a child forked from the test process itself would count the test
# process's memory as its own.
MEASURE = """
import os, sys
pid = os.spawnv(os.P_NOWAIT, sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024)
"""


def run_measured(args, cwd: Path) -> tuple[int, bytes, int]:
    """Runs sph2wav and returns its exit status, standard error and peak
    resident memory in bytes."""
    result = subprocess.run(
        [sys.executable, "-c", MEASURE, str(SPH2WAV), *map(str, args)], cwd=cwd, capture_output=True, timeout=300
    )
    status, peak = map(int, result.stdout.split())
    return status, result.stderr, peak


MB = 1 << 20


def zero_stream_sphere(frames: int) -> bytes:
    """A tiny Shorten file that expands to `frames` frames of silence."""
    stream = shorten_encoder.encode(
        np.zeros((frames, 1), dtype=np.int64),
        blocksize=1 << 22,
        commands=(shorten_encoder.ZERO,),
        verbatim=False,
        seed=1,
    ).data
    fields = pcm16_fields(frames, 1)
    fields["sample_coding"] = "pcm,embedded-shorten-v2.00"
    return sphere_bytes(fields, stream)


@pytest.mark.parametrize(
    "kind, count, jobs, budget, most",
    [
        # 16 MB in, 16 MB out each: three at a time would peak near 100 MB.
        ("pcm", 6, 3, "40M", 64 * MB),
        # A file larger than the whole budget runs alone.
        ("pcm", 4, 4, "1K", 64 * MB),
        # 1 kB in, 32 MB out each, 75 MB at the peak: three would take 225 MB.
        ("shorten", 3, 3, "100M", 130 * MB),
        # 16 MB of noise in, 16 MB of samples and about 16 MB of FLAC each,
        # near 50 MB at the peak: three would take 150 MB.
        ("flac", 4, 3, "120M", 125 * MB),
    ],
)
def test_memory_stays_within_the_budget(korrin, tmp_path, kind, count, jobs, budget, most):
    if kind == "shorten":
        data = zero_stream_sphere(1 << 24)
    elif kind == "flac":
        data = sphere(8 * MB, payload=np.random.default_rng(5).integers(0, 256, 16 * MB, dtype=np.uint8).tobytes())
    else:
        data = sphere(8 * MB, payload=bytes(range(256)) * (16 * MB // 256))
    (tmp_path / "in").mkdir()
    for i in range(count):
        (tmp_path / "in" / f"f{i}.sph").write_bytes(data)

    flac = ["--flac"] if kind == "flac" else []
    status, stderr, peak = run_measured(["-j", jobs, "--max-memory", budget, *flac, "in", "-o", "out"], tmp_path)

    assert status == 0, stderr
    summary = stderr.decode().splitlines()[-1]
    waited = re.search(r"; (\d+) waited for memory \(budget ", summary)
    assert waited and 1 <= int(waited[1]) < count, summary
    assert peak < most, f"{peak / MB:.0f} MB at the peak"
    outputs = tree(tmp_path / "out")
    if kind == "flac":
        assert sorted(outputs) == [f"f{i}.flac" for i in range(count)]
        # Noise does not compress: each file holds about its samples.
        assert all(o[:4] == b"fLaC" and len(o) > 16 * MB for o in outputs.values())
    else:
        assert outputs == {f"f{i}.wav": korrin.transcode(data) for i in range(count)}


@pytest.mark.parametrize(
    "size, message",
    [
        ("0", "invalid memory size '0' (expected a number of bytes, optionally with K, M, G or T)"),
        ("12X", "invalid memory size '12X' (expected a number of bytes, optionally with K, M, G or T)"),
        ("16777216T", "invalid memory size '16777216T' (expected a number of bytes, optionally with K, M, G or T)"),
        ("-1", "invalid memory size '-1' (expected a number of bytes, optionally with K, M, G or T)"),
        ("1GB", None),
        ("512MiB", None),
        ("100000", None),
        ("2k", None),
    ],
)
def test_memory_sizes(tmp_path, size, message):
    (tmp_path / "a.sph").write_bytes(GOOD)
    result = sph2wav("-q", f"--max-memory={size}", "a.sph", cwd=tmp_path)
    if message is None:
        assert (result.returncode, result.stderr) == (0, b"")
    else:
        assert result.returncode == 2
        assert result.stderr.decode().startswith(f"sph2wav: {message}\n")


# -- the header first ----------------------------------------------------------

SPARSE = 512 * MB
NO_RATE = {k: v for k, v in pcm16_fields(10).items() if k != "sample_rate"}


@pytest.mark.parametrize(
    "head, message",
    [
        (b"garbage" * 10, "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
        (b"NIST_1A\n   4000000000\n", f"header claims 4000000000 bytes but only {SPARSE} available"),
        (b"NIST_1A\n   1024\nsample_rate -x 1\nend_head\n", 'unknown field type "-x" in line: "sample_rate -x 1"'),
        (sphere_bytes(NO_RATE), "SPHERE header missing required field: sample_rate"),
        # A valid header: its 20 declared bytes are read, not the rest.
        (sphere(10, payload=bytes(range(20))), None),
    ],
    ids=["no-magic", "header-beyond-file", "bad-field", "missing-field", "valid"],
)
def test_a_large_file_costs_no_more_than_its_header(korrin, tmp_path, head, message):
    with open(tmp_path / "big.sph", "wb") as big:
        big.write(head)
        big.truncate(SPARSE)  # a hole: no disk space, all zeros when read

    status, stderr, peak = run_measured(["-q", "big.sph"], tmp_path)

    assert peak < 32 * MB, f"{peak / MB:.0f} MB at the peak"
    if message is None:
        assert (status, stderr) == (0, b"")
        assert (tmp_path / "big.wav").read_bytes() == korrin.transcode(head)
    else:
        assert (status, stderr.decode()) == (1, f"big.sph: {message}\n")


@pytest.mark.parametrize(
    "data",
    [
        sphere_bytes(pcm16_fields(10), bytes(20), header_size=100_000),  # beyond the first read
        b"NIST_1A" + b" " * 100_000 + b"\n 1024\n" + bytes(2000),  # a long first line
        b"NIST_1A\n" + b" " * 100_000 + b"  1024\n" + bytes(2000),  # a long size line
        b"NIST_1A\n" + b" " * 100_000,  # a size line never ended
        b"NIST_1A" + b"x" * 100_000,  # no line at all
        sphere_bytes(pcm16_fields(10), bytes(19)),  # payload cut short
        sphere_bytes({**pcm16_fields(4), "sample_coding": "pcm,embedded-shorten-v2.00"}, b"ajkg"),
    ],
    ids=["big-header", "long-magic-line", "long-size-line", "no-size-line", "no-lf", "short", "shorten"],
)
def test_header_first_reading_says_what_the_module_says(korrin, tmp_path, data):
    (tmp_path / "a.sph").write_bytes(data)
    result = sph2wav("-q", "a.sph", cwd=tmp_path)
    try:
        expected = korrin.transcode(data)
    except ValueError as error:
        assert (result.returncode, result.stderr.decode()) == (1, f"a.sph: {error}\n")
    else:
        assert (result.returncode, result.stderr) == (0, b"")
        assert (tmp_path / "a.wav").read_bytes() == expected

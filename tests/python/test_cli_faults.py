"""sph2wav in a hostile environment: closed standard descriptors, signals,
file-size limits, crashes, stale temporaries, odd names, broken links,
files that are not what their names say, and memory under many threads.

Every run that could end the test process goes through a subprocess."""

from __future__ import annotations

import os
import resource
import signal
import subprocess
from pathlib import Path

import pytest

from conftest import pcm16_fields, sphere_bytes
from test_cli import SPH2WAV, executable, failure_lines, frozen, sphere, sph2wav, tree  # noqa: F401

BIG = sphere(1_500_000, channels=2)  # 6 MB of PCM: long enough to be caught at work


def temporaries(process: subprocess.Popen, out: Path) -> list[str]:
    """The temporary outputs of a running process in `out`: named ones
    (".NAME...") and unnamed ones, which only its descriptors show."""
    named = [p.name for p in out.iterdir() if p.name.startswith(".")]
    unnamed = []
    for fd in Path(f"/proc/{process.pid}/fd").iterdir():
        try:
            target = os.readlink(fd)
        except OSError:  # closed meanwhile
            continue
        if target.startswith(str(out) + "/"):
            unnamed.append(target)
    return named + unnamed


def stop_with_temporary(process: subprocess.Popen, out: Path) -> bool:
    """Freezes `process` (SIGSTOP) at a moment when it has an output in
    flight; false when it ended first. The caller sends SIGCONT."""
    while process.poll() is None:
        try:
            if not temporaries(process, out):
                continue
        except FileNotFoundError:  # ended while looked at
            continue
        process.send_signal(signal.SIGSTOP)
        if not frozen(process):
            return False
        if temporaries(process, out):
            return True
        process.send_signal(signal.SIGCONT)
    return False


def big_tree(root: Path, count: int) -> Path:
    src = root / "src"
    src.mkdir()
    for i in range(count):
        (src / f"f{i:02}.sph").write_bytes(BIG)
    return src


def run_caught(root: Path, sig: int, args=(), **popen) -> tuple[subprocess.Popen, bytes, Path]:
    """Runs sph2wav over 24 big files, sends `sig` while an output is in
    flight, and returns the process, its standard error and the output
    directory."""
    src = root / "src" if (root / "src").exists() else big_tree(root, 24)
    for attempt in range(10):
        out = root / f"out{attempt}"
        out.mkdir()
        process = subprocess.Popen([str(SPH2WAV), "-j", "2", *args, src, "-o", out], cwd=root,
                                   stderr=subprocess.PIPE, **popen)
        caught = stop_with_temporary(process, out)
        if caught:
            process.send_signal(sig)
            process.send_signal(signal.SIGCONT)
        stderr = process.communicate(timeout=120)[1]
        if caught:
            return process, stderr, out
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
    process = subprocess.Popen([str(SPH2WAV), "-j", "2", src, "-o", out], cwd=tmp_path,
                               preexec_fn=close_standard_descriptors)
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
    result = subprocess.run([str(SPH2WAV), "--version"], cwd=tmp_path,
                            preexec_fn=lambda: [os.close(fd) for fd in closed])
    assert result.returncode == 0


# -- signals and limits -----------------------------------------------------

TERMINATING = [signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM,
               signal.SIGVTALRM, signal.SIGPROF, signal.SIGXCPU, signal.SIGIO, signal.SIGPWR,
               signal.SIGRTMIN, signal.SIGRTMAX]


@pytest.mark.parametrize("sig", TERMINATING, ids=lambda s: signal.Signals(s).name
                         if s in signal.Signals._value2member_map_ else str(int(s)))
def test_every_terminating_signal_leaves_only_complete_outputs(korrin, tmp_path, sig):
    process, stderr, out = run_caught(tmp_path, sig)
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

    result = subprocess.run([str(SPH2WAV), "-j", "1", ".", "-o", "out"], cwd=tmp_path,
                            capture_output=True, timeout=120, preexec_fn=limited)

    assert result.returncode == 1, result.stderr
    assert failure_lines(result.stderr) == [f"./{n}.sph: cannot write out/{n}.wav: file too large"
                                            for n in ("a_big", "c_big")]
    assert "1 of 3 files converted, 2 failed" in result.stderr.decode()
    assert tree(tmp_path / "out") == {"b_small.wav": korrin.transcode(small)}

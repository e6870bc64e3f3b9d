"""korrin reads off the interpreter lock: threads give what one thread
gives, and other Python threads run while a file is decoded."""

from __future__ import annotations

import itertools
import os
import random
import signal
import subprocess
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import korrin
import korrin_native
from conftest import EXAMPLES
from korrin import _native
from test_shorten_v1 import shorten_sphere

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402


def long_call(rounds: int, seed: int) -> bytes:
    """Two channels of Shorten, 4091 x `rounds` frames."""
    stream = enc.repeated_stream(rounds, 2, seed=seed)
    return shorten_sphere(stream, rounds * 4091, 2, "embedded-shorten-v2.00")


def test_threads_give_what_one_thread_gives(tmp_path):
    paths = sorted(EXAMPLES.glob("*.sph"))
    for seed in range(3):
        path = tmp_path / f"call{seed}.sph"
        path.write_bytes(long_call(60, seed))
        paths.append(path)
    jobs = [(path, dtype, start) for path in paths for dtype in ("int16", "float32") for start in (0, 1000, -3000)]

    def one(job):
        path, dtype, start = job
        return korrin.read(path, dtype=dtype, start=start)[0]

    alone = [one(job) for job in jobs]
    with ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            together = list(pool.map(one, jobs[::-1]))[::-1]
            for job, a, b in zip(jobs, alone, together):
                np.testing.assert_array_equal(a, b, err_msg=str(job))


def ticks_during(call) -> int:
    """How often another Python thread gets round its loop while `call` runs."""
    ticks = 0
    stop = threading.Event()

    def ticker():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        call()
    finally:
        stop.set()
        thread.join()
    return ticks


def test_the_interpreter_lock_is_released_while_decoding():
    """The ticker gets round only at the edges of a call that holds the lock
    (a switch interval each side, made short here so that the edges weigh
    little beside the decoding); best of three, for a machine that is busy."""
    data = long_call(2500, 7)  # 20 M samples: a tenth of a second or more
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        rounds = [
            (
                ticks_during(lambda: korrin.read(data, dtype="int16")),
                ticks_during(lambda: korrin_native.decode_pcm(data)),
            )  # holds the lock throughout
            for _ in range(3)
        ]
    finally:
        sys.setswitchinterval(interval)
    assert any(releasing > 3 * holding for releasing, holding in rounds), rounds


@pytest.fixture
def every_round():
    """The store keeps a state at every round of blocks, and is emptied after."""
    _native._checkpoint_cache(True, 1, "")
    yield
    _native._checkpoint_cache(True, 0, "")


def spans_of(frames: int, seed: int):
    rng = random.Random(seed)
    while True:
        start = rng.randrange(frames - 500)
        yield start, start + rng.randrange(1, 500)


def asan_in_process() -> bool:
    try:
        return "libclang_rt.asan" in Path("/proc/self/maps").read_text()
    except OSError:
        return False


@pytest.mark.skipif(
    asan_in_process(),
    reason="clang 14's AddressSanitizer allocator is not fork-safe: a child "
    "forked while another thread is in its malloc hangs there",
)
def test_forked_children_read_while_threads_read(tmp_path, every_round):
    """Data loaders fork workers while other threads read: no lock of
    korrin's is left held in a child, which reads at once."""
    path = tmp_path / "call.sph"
    path.write_bytes(long_call(400, 3))
    whole, _ = korrin.read(path, dtype="int16")
    frames = len(whole)
    stop = threading.Event()

    def reader(seed):
        for start, end in spans_of(frames, seed):
            if stop.is_set():
                return
            korrin.read(path, start=start, stop=end, dtype="int16")
            # What the store holds, listed under its lock (for long, with
            # a state at every round).
            _native._checkpoint_cache(False, None, str(path))

    threads = [threading.Thread(target=reader, args=(seed,)) for seed in range(3)]
    for thread in threads:
        thread.start()
    spans = spans_of(frames, 99)
    hung = []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork with threads
            for _ in range(50):  # 500 forks, 10 children at a time
                children = {}
                for start, end in itertools.islice(spans, 10):
                    pid = os.fork()
                    if pid == 0:
                        code = 1
                        try:
                            got, _ = korrin.read(path, start=start, stop=end, dtype="int16")
                            code = 0 if np.array_equal(got, whole[start:end]) else 3
                        finally:
                            os._exit(code)
                    children[pid] = (start, end)
                deadline = time.monotonic() + 60  # slow (loaded, sanitized) is not hung
                while children and time.monotonic() < deadline:
                    for pid in list(children):
                        done, status = os.waitpid(pid, os.WNOHANG)
                        if done:
                            assert os.waitstatus_to_exitcode(status) == 0, children[pid]
                            del children[pid]
                    time.sleep(0.001)
                for pid in children:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                hung += children.values()
                if hung:
                    break
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert not hung, f"children that hung: {hung}"


EXIT_WHILE_READING = """
import os, sys, threading, time
import korrin

def read_on():
    while True:
        korrin.read(sys.argv[1], start=1000, dtype="float32")

# Each child starts threads that read, then exits: the interpreter
# finalises while they are inside korrin.read.
codes = []
for _ in range(20):
    pid = os.fork()
    if pid == 0:
        for _ in range(3):
            threading.Thread(target=read_on, daemon=True).start()
        time.sleep(0.05)
        sys.exit(0)
    codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
print(codes)
"""


def test_the_interpreter_exits_while_daemon_threads_read(tmp_path):
    """A daemon thread inside korrin.read when the interpreter exits is
    ended as it takes the interpreter lock back: each of 20 exits is 0."""
    path = tmp_path / "call.sph"
    path.write_bytes(long_call(40, 4))
    # The calls of threads ended that way are left behind as the process
    # ends, by design: nothing for a leak checker to report.
    options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    run = subprocess.run(
        [sys.executable, "-c", EXIT_WHILE_READING, str(path)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, ASAN_OPTIONS=options),
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str([0] * 20), run.stderr

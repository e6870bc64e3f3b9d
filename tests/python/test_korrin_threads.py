"""korrin reads off the interpreter lock: threads give what one thread
gives, and other Python threads run while a file is decoded."""

from __future__ import annotations

import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import korrin
import korrin_native
from conftest import EXAMPLES
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
    data = long_call(2500, 7)  # 20 M samples: a tenth of a second or more
    holding = ticks_during(lambda: korrin_native.decode_pcm(data))  # holds the lock throughout
    releasing = ticks_during(lambda: korrin.read(data, dtype="int16"))
    assert releasing > 3 * holding, (releasing, holding)

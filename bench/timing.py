"""Timing helpers: every case of a target is timed in the same rounds,
round-robin with the order rotated each round, so that drift on a shared
machine falls on all of them alike. Results are medians."""

from __future__ import annotations

import gc
import statistics
import subprocess
import time
from typing import Callable

Case = Callable[[], object]


def rounds(cases: dict[str, Case], reps: int, warmup: int = 1,
           setup: dict[str, Case] | None = None) -> dict[str, list[float]]:
    """Times each case `reps` times (seconds), after `warmup` untimed calls.
    `setup[name]`, when given, runs untimed before every call of that case.
    Returns the list of times per case, in round order."""
    names = list(cases)
    setup = setup or {}
    for _ in range(warmup):
        for name in names:
            if name in setup:
                setup[name]()
            cases[name]()
    times: dict[str, list[float]] = {name: [] for name in names}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(reps):
            order = names[r % len(names):] + names[:r % len(names)]
            for name in order:
                if name in setup:
                    setup[name]()
                fn = cases[name]
                t0 = time.perf_counter()
                result = fn()
                t1 = time.perf_counter()
                del result
                times[name].append(t1 - t0)
    finally:
        if gc_was_enabled:
            gc.enable()
    return times


def median(xs: list[float]) -> float:
    return statistics.median(xs)


def paired_ratio(num: list[float], den: list[float], num_offset: float = 0.0) -> float:
    """Median over rounds of (num - offset) / den: a ratio taken within each
    round is steadier than a ratio of medians when the machine is noisy."""
    return statistics.median((n - num_offset) / d for n, d in zip(num, den))


def command(argv: list[str]) -> Case:
    """A case that runs an external command, its output discarded; a failure
    is an error, not a fast time."""
    def run():
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
        if proc.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed ({proc.returncode}): "
                               f"{proc.stderr.decode(errors='replace')[-400:]}")
    return run

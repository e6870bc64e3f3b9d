"""Timing helpers: every case of a target is timed in the same rounds,
round-robin with the order rotated each round, so that drift on a shared
machine falls on all of them alike. Results are medians.

Two clocks: wall time (the default), and CPU time (user + system of this
process for an in-process case, of the child for an external command),
which holds up better while other jobs compete for the cores, since a case
is not charged for the time it spent waiting for one. `set_clock` picks the
one `rounds` reports."""

from __future__ import annotations

import gc
import os
import statistics
import subprocess
import time
from typing import Callable

Case = Callable[[], object]

CLOCK = "wall"
# CPU seconds spent by external commands since the last reset: a command
# case adds its child's user + system time here.
_child_cpu = 0.0


def set_clock(name: str) -> None:
    global CLOCK
    if name not in ("wall", "cpu"):
        raise ValueError(name)
    CLOCK = name


def _now() -> tuple[float, float]:
    return time.perf_counter(), time.process_time() + _child_cpu


def rounds(
    cases: dict[str, Case], reps: int, warmup: int = 1, setup: dict[str, Case] | None = None
) -> dict[str, list[float]]:
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
            order = names[r % len(names) :] + names[: r % len(names)]
            for name in order:
                if name in setup:
                    setup[name]()
                fn = cases[name]
                w0, c0 = _now()
                result = fn()
                w1, c1 = _now()
                del result
                times[name].append(w1 - w0 if CLOCK == "wall" else c1 - c0)
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
        global _child_cpu
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = proc.stderr.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stderr.close()
        _child_cpu += usage.ru_utime + usage.ru_stime
        if proc.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed ({proc.returncode}): {err.decode(errors='replace')[-400:]}")

    return run


def timed_command(argv: list[str]) -> tuple[float, float]:
    """Runs a command, its output discarded, and returns its wall time and
    the CPU time (user + system) of the child; a failure is an error."""
    w0 = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - w0
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv[0]} failed: {err.decode(errors='replace')[-400:]}")
    return wall, usage.ru_utime + usage.ru_stime


def cpu_model() -> str:
    """The processor's model name, as /proc/cpuinfo gives it."""
    try:
        for line in open("/proc/cpuinfo", encoding="utf-8"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "?"


def compiler_of(shared_object) -> str:
    """The compiler (and linker) that built a shared object, from the notes
    of its .comment section."""
    try:
        out = subprocess.run(["readelf", "-p", ".comment", str(shared_object)], capture_output=True, text=True).stdout
    except OSError:
        return "?"
    notes = []
    for line in out.splitlines():
        if "]" in line and line.lstrip().startswith("["):
            note = line.split("]", 1)[1].strip()
            if note not in notes:
                notes.append(note)
    return "; ".join(notes) or "?"

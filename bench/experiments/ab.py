"""A/B timing of builds of the module on the same inputs, in alternating
fresh processes, so that all meet the same load on a shared machine; with
sph2pipe on the same files in the same rounds where it is at hand.

    python bench/experiments/ab.py [--function transcode] [--rounds R] [--calls N]
        [--sph2pipe PATH] BUILD [BUILD ...] -i INPUT [-i INPUT ...]

Each BUILD is a directory holding a korrin_native shared object (a cmake
build directory, e.g. from bench/experiments/zig-build). Each round runs one
process per build, the order rotating from round to round; each process
makes one warm-up call and then N timed calls (default 7) of FUNCTION on
the input, as a user calls it, and reports their wall and CPU times. For
SPHERE inputs, sph2pipe (`-f wav -p INPUT /dev/null`) runs 7 times in the
same round. With --in-process, every build's module is loaded into this
one process instead (each from its own file), and the calls of a round
alternate between the builds one call at a time, so that each build meets
the machine as the others do from call to call: on a shared machine the
per-round ratios are then several times steadier. Printed per input and build: median and best wall time over
all calls, median CPU time, the ratio to the first build (median of the
per-round ratios of median wall times) and sph2pipe's median wall time
over the module's (the same way); then the processor and each build's
compiler.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import timing  # noqa: E402

CHILD = r"""
import json, sys, time
import korrin_native as kn
data = open(sys.argv[2], "rb").read()
fn = sys.argv[1]
call = (lambda: kn.g711_expand(data, False)) if fn == "g711_expand" else (lambda f=getattr(kn, fn): f(data))
call()
wall, cpu = [], []
for _ in range(int(sys.argv[3])):
    c0 = time.process_time(); w0 = time.perf_counter()
    r = call()
    w1 = time.perf_counter(); c1 = time.process_time()
    wall.append(w1 - w0); cpu.append(c1 - c0)
    del r
print(json.dumps({"wall": wall, "cpu": cpu, "file": kn.__file__}))
"""

SPH2PIPE = HERE.parent.parent.parent / "shared" / "oracles" / "sph2pipe" / "sph2pipe"


def run_build(build: str, fn: str, path: str, calls: int) -> dict:
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run(
        [sys.executable, "-c", CHILD, fn, path, str(calls)], env=env, capture_output=True, text=True, check=True
    ).stdout
    return json.loads(out)


def load_module(build: str):
    """The korrin_native module of BUILD, loaded from its file, beside others of the same name."""
    import importlib.util

    so = module_file(build)
    found = importlib.util.spec_from_file_location("korrin_native", so)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run_in_process(modules: dict, order: list[str], fn: str, data: bytes, calls: int) -> dict:
    """CALLS calls of FN per build, alternating between the builds call by call."""
    import time

    got = {b: {"wall": [], "cpu": []} for b in order}
    for _ in range(calls):
        for b in order:
            f = getattr(modules[b], fn)
            c0, w0 = time.process_time(), time.perf_counter()
            r = f(data, False) if fn == "g711_expand" else f(data)
            w1, c1 = time.perf_counter(), time.process_time()
            del r
            got[b]["wall"].append(w1 - w0)
            got[b]["cpu"].append(c1 - c0)
    return got


def run_sph2pipe(tool: Path, path: str, runs: int) -> list[tuple[float, float]]:
    return [timing.timed_command([str(tool), "-f", "wav", "-p", path, "/dev/null"]) for _ in range(runs)]


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.1f} us"


def module_file(build: str) -> Path | None:
    found = sorted(Path(build).glob("korrin_native*.so"))
    return found[0] if found else None


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--function", default="transcode")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--calls", type=int, default=7, help="timed calls per process (at least 7 for the report)")
    ap.add_argument("--sph2pipe", type=Path, default=SPH2PIPE)
    ap.add_argument("-i", "--input", action="append", required=True, help="an input file (repeatable)")
    ap.add_argument(
        "--in-process",
        action="store_true",
        help="load every build into this process and alternate their calls one by one",
    )
    ap.add_argument("builds", nargs="+", help="build directories")
    ns = ap.parse_args()
    builds, inputs = ns.builds, ns.input
    tool = ns.sph2pipe if ns.sph2pipe.is_file() and os.access(ns.sph2pipe, os.X_OK) else None

    print(f"processor: {timing.cpu_model()}; load average before: {os.getloadavg()[0]:.2f}")
    for b in builds:
        so = module_file(b)
        print(f"build {b}: {timing.compiler_of(so) if so else 'no module found'}")
    modules = {b: load_module(b) for b in builds} if ns.in_process else {}
    for path in inputs:
        wall = {b: [] for b in builds}
        cpu = {b: [] for b in builds}
        per_round = {b: [] for b in builds}
        tool_wall, tool_rounds = [], []
        data = Path(path).read_bytes()
        sphere = data[:7] == b"NIST_1A"
        if modules:  # a warm-up call each
            run_in_process(modules, builds, ns.function, data, 1)
        for r in range(ns.rounds):
            order = builds[r % len(builds) :] + builds[: r % len(builds)]
            if modules:
                results = run_in_process(modules, order, ns.function, data, ns.calls)
            else:
                results = {b: run_build(b, ns.function, path, ns.calls) for b in order}
            for b in order:
                got = results[b]
                wall[b] += got["wall"]
                cpu[b] += got["cpu"]
                per_round[b].append(statistics.median(got["wall"]))
            if tool is not None and sphere:
                times = run_sph2pipe(tool, path, 7)
                tool_wall += [w for w, _ in times]
                tool_rounds.append(statistics.median(w for w, _ in times))
        how = "in this process, alternating" if modules else "per build"
        print(f"\n{ns.function} {os.path.basename(path)}, {ns.rounds} rounds of {ns.calls} calls {how}:")
        first = builds[0]
        for b in builds:
            vs_first = statistics.median(x / y for x, y in zip(per_round[b], per_round[first]))
            line = (
                f"  {b}: wall median {ms(statistics.median(wall[b]))}, best {ms(min(wall[b]))}; "
                f"CPU median {ms(statistics.median(cpu[b]))}; x{vs_first:.3f} the time of {first}"
            )
            if tool_rounds:
                line += f"; sph2pipe / this {statistics.median(t / m for t, m in zip(tool_rounds, per_round[b])):.2f}x"
            print(line)
        if tool_rounds:
            print(
                f"  sph2pipe -f wav -p to /dev/null: wall median {ms(statistics.median(tool_wall))} (7 runs per round)"
            )
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""korrin (SPHERE into numpy) against soundfile and lhotse's sph2pipe backend.

    python bench/bench_korrin.py [--quick] [--only pcm,cuts,threads,info] [--json PATH]

Run it with a Python that has korrin-native, soundfile and (for the cuts
and info targets) lhotse installed; sph2pipe is taken from the oracle
beside the checkout (or $KORRIN_SPH2PIPE) and put first on the PATH, as
lhotse's backend runs it through a shell. The inputs are bench_segments'
20 calls of 5 minutes, two channels at 8 kHz, as Shorten mu-law and as
16-bit PCM (made once into bench/out/segment-calls/).

  pcm      korrin.read against soundfile.read on the PCM calls: whole
           files (float64, float32, int16) and 100 spans of 2-10 s
  cuts     1,000 random 2-10 s cuts of the Shorten calls in random order:
           korrin.read (checkpoint store emptied first, so the first
           decodes count) and the korrin.lhotse backend, against lhotse's
           sph2pipe backend (a process per cut, timed on a sample of the
           cuts); read_segments (one call per file) against a read per cut
  threads  4 Shorten calls read whole, by one thread in turn and by four
           threads, as int16, float32 and float64, every round printed
  info     korrin.info of a call against lhotse's info(), which decodes it

Cases take turns within each round; figures are medians over rounds, wall
time with the CPU time (user + system, child processes included) beside it.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import resource
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import soundfile

import korrin
from korrin import _native

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_segments import make_calls  # noqa: E402

RATE = 8000
ORACLE = Path(os.environ.get("KORRIN_SPH2PIPE") or HERE.parent.parent / "shared" / "oracles" / "sph2pipe" / "sph2pipe")


def cpu() -> float:
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def timed(run) -> tuple[float, float]:
    w, c = time.perf_counter(), cpu()
    run()
    return time.perf_counter() - w, cpu() - c


def turns(cases: dict, reps: int, setup=None) -> dict[str, tuple[list[float], list[float]]]:
    """Wall and CPU times of each case over `reps` rounds, the order rotating."""
    names = list(cases)
    out = {name: ([], []) for name in names}
    for r in range(reps):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            if setup:
                setup(name)
            wall, used = timed(cases[name])
            out[name][0].append(wall)
            out[name][1].append(used)
    return out


def med(xs) -> float:
    return statistics.median(xs)


def ms(x: float) -> str:
    return f"{x * 1e3:.2f} ms" if x < 1 else f"{x:.2f} s"


def bench_pcm(pcm: list[Path], reps: int, report: dict) -> None:
    rng = random.Random(3)
    spans = []
    for _ in range(100):
        path = rng.choice(pcm)
        length = int(rng.uniform(2, 10) * RATE)
        start = rng.randrange(0, 300 * RATE - length)
        spans.append((path, start, start + length))
    rows = []
    for dtype in ("float64", "float32", "int16"):
        for label, ours, theirs in [
            (
                "whole file",
                lambda: [korrin.read(p, dtype=dtype) for p in pcm[:5]],
                lambda: [soundfile.read(p, dtype=dtype) for p in pcm[:5]],
            ),
            (
                "100 spans",
                lambda: [korrin.read(p, start=a, stop=b, dtype=dtype) for p, a, b in spans],
                lambda: [soundfile.read(p, start=a, stop=b, dtype=dtype) for p, a, b in spans],
            ),
        ]:
            times = turns({"korrin": ours, "soundfile": theirs}, reps)
            per = 5 if label == "whole file" else 100
            k, s = times["korrin"], times["soundfile"]
            rows.append(
                {
                    "case": f"{label}, {dtype}",
                    "korrin_wall": med(k[0]) / per,
                    "soundfile_wall": med(s[0]) / per,
                    "korrin_cpu": med(k[1]) / per,
                    "soundfile_cpu": med(s[1]) / per,
                    "ratio_wall": statistics.median(b / a for a, b in zip(k[0], s[0])),
                    "ratio_cpu": statistics.median(b / a for a, b in zip(k[1], s[1])),
                }
            )
    # Same values, checked once.
    for p, a, b in spans[:5]:
        assert np.array_equal(korrin.read(p, start=a, stop=b)[0], soundfile.read(p, start=a, stop=b)[0])
    report["pcm"] = rows
    print("\n== korrin.read against soundfile.read, 5-min 2-channel 8 kHz 16-bit PCM calls (per file or span)")
    print("| case | korrin wall | soundfile wall | x | korrin CPU | soundfile CPU | x |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print(
            f"| {r['case']} | {ms(r['korrin_wall'])} | {ms(r['soundfile_wall'])} | {r['ratio_wall']:.2f}x "
            f"| {ms(r['korrin_cpu'])} | {ms(r['soundfile_cpu'])} | {r['ratio_cpu']:.2f}x |"
        )


def make_cuts(files: list[Path], count: int) -> list[tuple[Path, int, float, float]]:
    rng = random.Random(11)
    cuts = []
    for _ in range(count):
        length = rng.uniform(2, 10)
        start = round(rng.uniform(0, 300 - length), 3)
        cuts.append((rng.choice(files), rng.randrange(2), start, round(length, 3)))
    return cuts


def bench_cuts(shn: list[Path], count: int, sample: int, reps: int, report: dict) -> None:
    cuts = make_cuts(shn, count)
    lhotse_backend = None
    try:
        from lhotse.audio import backend as lhotse_backend

        import korrin.lhotse as korrin_lhotse
    except ImportError:
        print("\n(cuts: lhotse is not installed: its rows are left out)")

    def korrin_all():
        for path, channel, offset, duration in cuts:
            korrin.read(
                path,
                start=int(offset * RATE),
                stop=int(round(offset + duration, 5) * RATE),
                channel=channel,
                dtype="float32",
            )

    by_file: dict[Path, list] = {}
    for path, channel, offset, duration in cuts:
        by_file.setdefault(path, []).append((int(offset * RATE), int(round(offset + duration, 5) * RATE), channel))

    def segments_all():
        for path, spans in by_file.items():
            korrin.read_segments(path, spans, dtype="float32")

    cases = {"korrin.read": korrin_all, "korrin.read_segments": segments_all}
    if lhotse_backend is not None:
        ours = korrin_lhotse.KorrinBackend()

        def korrin_backend_all():
            for path, channel, offset, duration in cuts:
                ours.read_audio(path, offset=offset, duration=duration)[channel]

        cases["korrin.lhotse backend"] = korrin_backend_all
    times = turns(cases, reps, setup=lambda name: _native._checkpoint_cache(True, None, ""))
    rows = {name: (med(w) / count, med(c) / count) for name, (w, c) in times.items()}
    if lhotse_backend is not None:
        theirs = lhotse_backend.Sph2pipeSubprocessBackend()
        picked = cuts[:: max(1, count // sample)][:sample]
        # Same samples, on a few cuts.
        for path, channel, offset, duration in picked[:3]:
            assert np.array_equal(
                theirs.read_audio(path, offset=offset, duration=duration)[0],
                ours.read_audio(path, offset=offset, duration=duration)[0],
            )

        def sph2pipe_sample():
            for path, channel, offset, duration in picked:
                theirs.read_audio(path, offset=offset, duration=duration)[0][channel]

        t = turns({"sph2pipe": sph2pipe_sample}, max(1, reps // 2))["sph2pipe"]
        rows["lhotse sph2pipe backend"] = (med(t[0]) / len(picked), med(t[1]) / len(picked))
    report["cuts"] = {name: {"wall": w, "cpu": c} for name, (w, c) in rows.items()}
    base = rows.get("lhotse sph2pipe backend")
    print(
        f"\n== {count} cuts of 2-10 s from {len(shn)} five-minute 2-channel Shorten mu-law calls, random order "
        "(per cut; korrin's first decodes included)"
    )
    print("| case | wall | x sph2pipe | CPU | x sph2pipe |")
    print("|---|---|---|---|---|")
    for name, (w, c) in rows.items():
        rw = f"{base[0] / w:.1f}x" if base else ""
        rc = f"{base[1] / c:.1f}x" if base else ""
        print(f"| {name} | {ms(w)} | {rw} | {ms(c)} | {rc} |")
    r, s = rows["korrin.read"], rows["korrin.read_segments"]
    print(f"read_segments against a read per cut: {r[0] / s[0]:.2f}x (wall), {r[1] / s[1]:.2f}x (CPU)")


def bench_threads(shn: list[Path], reps: int, report: dict) -> None:
    """Four threads reading four calls whole, against one thread reading them
    in turn, for each dtype, every round printed: a loader's pattern (a
    thread pool over files, each array dropped once handed on). The control,
    hashlib.sha256 of 16 MiB blocks by one thread and by four in the same
    rounds, shows what threads of this process could get of the machine at
    the time."""
    import hashlib

    calls = shn[:4]
    pool = ThreadPoolExecutor(4)
    block = bytes(16 << 20)

    # Each array is dropped as soon as it comes, by both.
    def in_turn(dtype):
        for path in calls:
            korrin.read(path, dtype=dtype)

    def side_by_side(dtype):
        for _ in pool.map(lambda path: korrin.read(path, dtype=dtype), calls):
            pass

    cases = {}
    for dtype in ("int16", "float32", "float64"):
        cases[f"{dtype} one"] = lambda d=dtype: in_turn(d)
        cases[f"{dtype} four"] = lambda d=dtype: side_by_side(d)
    cases["sha256 one"] = lambda: [hashlib.sha256(block).digest() for _ in range(4)]
    cases["sha256 four"] = lambda: list(pool.map(lambda _: hashlib.sha256(block).digest(), range(4)))
    for run in cases.values():  # the pool's blocks, and the first decodes' checkpoints
        run()
    times = turns(cases, reps)
    # Where the four threads' time went, from the kernel's counts per thread:
    # on a processor, waiting for one (runnable: the machine's other load),
    # or neither (blocked: on each other, the interpreter lock, or idle at
    # the end of a round).
    workers = [t.native_id for t in threading.enumerate() if t.name.startswith("ThreadPoolExecutor")]
    where = {}
    for dtype in ("int16", "float32", "float64"):
        before, start = sched_of(workers), time.perf_counter()
        for _ in range(reps):
            side_by_side(dtype)
        wall, after = time.perf_counter() - start, sched_of(workers)
        run = sum(after[t][0] - before[t][0] for t in workers)
        wait = sum(after[t][1] - before[t][1] for t in workers)
        where[dtype] = {
            "wall": wall,
            "on_cpu": run,
            "runnable": wait,
            "blocked": len(workers) * wall - run - wait,
            "voluntary_switches_per_read": sum(after[t][2] - before[t][2] for t in workers) / (4 * reps),
        }
    per_round = {
        name: [a / b for a, b in zip(times[f"{name} one"][0], times[f"{name} four"][0])]
        for name in ("int16", "float32", "float64", "sha256")
    }
    report["threads"] = {
        name: {
            "one_wall": med(times[f"{name} one"][0]),
            "four_wall": med(times[f"{name} four"][0]),
            "one_cpu": med(times[f"{name} one"][1]),
            "four_cpu": med(times[f"{name} four"][1]),
            "speedup_rounds": ratios,
        }
        for name, ratios in per_round.items()
    }
    print(
        f"\n== {len(calls)} five-minute Shorten mu-law calls read whole: one thread in turn against four threads "
        f"(a pool of 4), {reps} rounds; goal: at least 1.7x in every round"
    )
    print("| dtype | one thread | four threads | CPU one / four | x, median | x, every round | goal |")
    print("|---|---|---|---|---|---|---|")
    for name, ratios in per_round.items():
        one, four = times[f"{name} one"], times[f"{name} four"]
        verdict = "" if name == "sha256" else ("met" if min(ratios) >= 1.7 else "**missed**")
        label = "control: sha256" if name == "sha256" else name
        print(
            f"| {label} | {ms(med(one[0]))} | {ms(med(four[0]))} | {ms(med(one[1]))} / {ms(med(four[1]))} "
            f"| {statistics.median(ratios):.2f}x | {' '.join(f'{r:.2f}' for r in ratios)} | {verdict} |"
        )
    print("Four threads, where their time went (all four threads' seconds, over the same rounds again):")
    for dtype, w in where.items():
        report["threads"][dtype]["where"] = w
        print(
            f"  {dtype}: wall {w['wall']:.3f} s; on a processor {w['on_cpu']:.3f} s ({w['on_cpu'] / w['wall']:.2f} "
            f"processors on average), waiting for one {w['runnable']:.3f} s, blocked {w['blocked']:.3f} s; "
            f"{w['voluntary_switches_per_read']:.1f} voluntary switches a read"
        )

    # int16 against float32 of the same files, round by round, by wall time
    # and by CPU time. The rounds above run eight cases in turn, each a few
    # tens of milliseconds, and the speed a core gives this process drifts
    # by up to half on this kind of machine over a second or so (the same
    # calls take 30 ms, then 45 ms): two cases apart, int16 and float32 may
    # meet different speeds. So these rounds take them call by call, in the
    # order int16, float32, float32, int16 (the one thread: file by file;
    # the four: a pool's round each), four times a round.
    def one_call(path, dtype):
        return lambda: korrin.read(path, dtype=dtype)

    def four_calls(dtype):
        return lambda: side_by_side(dtype)

    paired = {
        "one": [(one_call(path, "int16"), one_call(path, "float32")) for path in calls],
        "four": [(four_calls("int16"), four_calls("float32"))],
    }
    for threads, pairs in paired.items():
        rounds = ([], [])
        for _ in range(reps):
            sums = {"int16": [0.0, 0.0], "float32": [0.0, 0.0]}
            for _ in range(4):
                for first, second in pairs:
                    for dtype, run in (("int16", first), ("float32", second), ("float32", second), ("int16", first)):
                        wall, used = timed(run)
                        sums[dtype][0] += wall
                        sums[dtype][1] += used
            for index in (0, 1):
                rounds[index].append(sums["int16"][index] / sums["float32"][index])
        for clock, index in (("wall", 0), ("CPU", 1)):
            report["threads"][f"int16_over_float32_{threads}" + ("" if index == 0 else "_cpu")] = rounds[index]
            print(
                f"int16 / float32 {clock} time, {threads} thread{'s' if threads == 'four' else ''}, every round "
                f"(call by call): {' '.join(f'{r:.2f}' for r in rounds[index])} (goal: never above 1: "
                f"{'met' if max(rounds[index]) <= 1 else 'missed'})"
            )
    pool.shutdown()


def sched_of(tids: list[int]) -> dict[int, tuple[float, float, int]]:
    """(seconds on a processor, seconds runnable waiting for one, voluntary
    context switches) of each thread of this process, from /proc."""
    out = {}
    for tid in tids:
        run, wait, _ = (int(x) for x in Path(f"/proc/self/task/{tid}/schedstat").read_text().split())
        status = Path(f"/proc/self/task/{tid}/status").read_text()
        out[tid] = (run / 1e9, wait / 1e9, int(status.split("voluntary_ctxt_switches:")[1].split()[0]))
    return out


def bench_info(shn: list[Path], reps: int, report: dict) -> None:
    try:
        from lhotse.audio import backend as lhotse_backend
    except ImportError:
        print("\n(info: lhotse is not installed)")
        return
    theirs = lhotse_backend.Sph2pipeSubprocessBackend()
    path = shn[0]
    assert korrin.info(path).frames == theirs.info(path).frames
    t = turns(
        {"korrin.info": lambda: [korrin.info(path) for _ in range(100)], "lhotse info": lambda: theirs.info(path)}, reps
    )
    k = med(t["korrin.info"][0]) / 100
    lh = med(t["lhotse info"][0])
    report["info"] = {"korrin_wall": k, "lhotse_wall": lh, "ratio": lh / k}
    print(
        f"\n== info of a five-minute Shorten call: korrin.info {k * 1e6:.1f} us, lhotse's info() (sph2pipe "
        f"decodes the file) {ms(lh)}: {lh / k:.0f}x"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="pcm,cuts,threads,info")
    parser.add_argument("--json", type=Path, default=HERE / "out" / "bench_korrin.json")
    args = parser.parse_args()
    reps = 3 if args.quick else 7
    if ORACLE.exists():
        os.environ["PATH"] = f"{ORACLE.parent}{os.pathsep}{os.environ['PATH']}"
    shn, pcm = make_calls(HERE / "out" / "segment-calls" / "20x300s-v1", 20, 300)
    report: dict = {
        "machine": platform.processor() or platform.machine(),
        "python": platform.python_version(),
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "load": os.getloadavg(),
    }
    only = set(args.only.split(","))
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    if "pcm" in only:
        bench_pcm(pcm, reps, report)
    if "cuts" in only:
        bench_cuts(shn, 200 if args.quick else 1000, 20 if args.quick else 100, 3 if args.quick else 5, report)
    if "threads" in only:
        bench_threads(shn, reps, report)
    if "info" in only:
        bench_info(shn, reps, report)
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

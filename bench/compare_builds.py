"""Two builds of the module, A and B, timed on every input of bench/run.py
in one run: the Shorten streams (DIFF, QLPC, mu-law), 16-bit PCM of both
byte orders (transcode and decode_pcm), G.711 expansion (mu-law, A-law),
the corpus of 1,000 small files, korrin.read of whole files and a span, and
sph2wav (a process a call) on a file and on a span of one. Made to hold the
released wheel (zig's clang) against a GCC build of the same commit, or a
change against the commit before it:

    python bench/compare_builds.py GCC_BUILD RELEASE_WHEEL [--rounds N] [--quick]

A build is a wheel (unpacked into the scratch folder) or a folder holding
korrin_native*.so (and the korrin package; the sph2wav cases need a
wheel's). Each round starts one fresh process per build, in
alternating order, so that both meet the same load on a shared machine;
each process runs every case: one warm-up call, then CALLS timed calls, of
which it reports the median wall time and the median CPU time. The table
gives, per case, the median over rounds of each build's wall time, and the
medians of the per-round ratios B/A of wall and of CPU time (below 1: B is
faster). Needs numpy (the inputs are bench/run.py's, made on first use and
kept in --out).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import inputs as inp  # noqa: E402

CHILD = r"""
import json, subprocess, sys, time
import korrin_native as kn
cases, calls, scripts = json.loads(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
result = {"file": kn.__file__}
for case in cases:
    fn, args = case["fn"], case.get("args", [])
    if fn.startswith("korrin."):  # a path, read by korrin with keywords
        import korrin
        paths, keywords, fn = case["paths"], case.get("keywords", {}), getattr(korrin, fn[7:])
        def call():
            for path in paths:
                fn(path, **keywords)
    elif fn == "sph2wav":  # a process per call, as a shell runs it
        argv = [scripts + "/sph2wav", *args, *case["paths"]]
        def call():
            subprocess.run(argv, check=True)
    else:
        blobs = [open(p, "rb").read() for p in case["paths"]]
        fn = getattr(kn, fn)
        def call():
            for blob in blobs:
                fn(blob, *args)
    call()
    wall, cpu = [], []
    for _ in range(calls):
        w, c = time.perf_counter(), time.process_time()
        call()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - w)
    result[case["name"]] = [sorted(wall)[calls // 2], sorted(cpu)[calls // 2]]
print(json.dumps(result))
"""


def module_dir(build: Path, scratch: Path) -> Path:
    if build.is_file() and build.suffix == ".whl":
        where = scratch / f"{len(list(scratch.iterdir()))}-{build.stem}"  # two wheels may share a name
        zipfile.ZipFile(build).extractall(where)
        for script in where.glob("*.data/scripts/*"):
            script.chmod(0o755)  # zipfile keeps no modes
        return where
    if build.is_dir() and any(build.glob("korrin_native*.so")):
        return build
    sys.exit(f"{build}: neither a wheel nor a folder with korrin_native*.so")


def cases(ins: inp.Inputs) -> list[dict]:
    corpus = [str(ins.out / "corpus" / e["name"]) for e in ins.meta["corpus"]["files"]]
    return [
        {"name": "Shorten DIFF (long_diff.shn)", "fn": "shorten_to_pcm", "paths": [str(ins.path("long_diff.shn"))]},
        {"name": "Shorten QLPC (long_lpc.shn)", "fn": "shorten_to_pcm", "paths": [str(ins.path("long_lpc.shn"))]},
        {"name": "Shorten mu-law (long_ulaw.shn)", "fn": "shorten_to_pcm", "paths": [str(ins.path("long_ulaw.shn"))]},
        {"name": "PCM LE transcode (pcm_le.sph)", "fn": "transcode", "paths": [str(ins.path("pcm_le.sph"))]},
        {"name": "PCM BE transcode (pcm_be.sph)", "fn": "transcode", "paths": [str(ins.path("pcm_be.sph"))]},
        {"name": "PCM LE decode_pcm (pcm_le.sph)", "fn": "decode_pcm", "paths": [str(ins.path("pcm_le.sph"))]},
        {"name": "PCM BE decode_pcm (pcm_be.sph)", "fn": "decode_pcm", "paths": [str(ins.path("pcm_be.sph"))]},
        {
            "name": "G.711 mu-law expand (codes.g711)",
            "fn": "g711_expand",
            "args": [False],
            "paths": [str(ins.path("codes.g711"))],
        },
        {
            "name": "G.711 A-law expand (codes.g711)",
            "fn": "g711_expand",
            "args": [True],
            "paths": [str(ins.path("codes.g711"))],
        },
        {"name": f"small files: transcode of the {len(corpus)}-file corpus", "fn": "transcode", "paths": corpus},
        {
            "name": "korrin.read int16 (pcm_le.sph)",
            "fn": "korrin.read",
            "keywords": {"dtype": "int16"},
            "paths": [str(ins.path("pcm_le.sph"))],
        },
        {
            "name": "korrin.read float32 (pcm_be.sph)",
            "fn": "korrin.read",
            "keywords": {"dtype": "float32"},
            "paths": [str(ins.path("pcm_be.sph"))],
        },
        {
            "name": "korrin.read float32 (long_diff.sph)",
            "fn": "korrin.read",
            "keywords": {"dtype": "float32"},
            "paths": [str(ins.path("long_diff.sph"))],
        },
        {
            "name": "korrin.read int16 (long_ulaw.sph)",
            "fn": "korrin.read",
            "keywords": {"dtype": "int16"},
            "paths": [str(ins.path("long_ulaw.sph"))],
        },
        {
            "name": "korrin.read a 10 s span (call_ulaw.sph)",
            "fn": "korrin.read",
            "keywords": {"start": 8000 * 100, "stop": 8000 * 110, "channel": 1},
            "paths": [str(ins.path("call_ulaw.sph"))],
        },
        {
            "name": "sph2wav -o /dev/null (long_lpc.sph)",
            "fn": "sph2wav",
            "args": ["-q", "--force", "-o", "/dev/null"],
            "paths": [str(ins.path("long_lpc.sph"))],
        },
        {
            "name": "sph2wav -c 2 -t 60:90 (call_pcm16.sph)",
            "fn": "sph2wav",
            "args": ["-q", "--force", "-c", "2", "-t", "60:90", "-o", "/dev/null"],
            "paths": [str(ins.path("call_pcm16.sph"))],
        },
    ]


def run(where: Path, plan: list[dict], calls: int) -> dict:
    env = dict(os.environ, PYTHONPATH=str(where))
    scripts = next((str(p.parent) for p in where.glob("*.data/scripts/sph2wav")), str(where))
    done = subprocess.run(
        [sys.executable, "-s", "-c", CHILD, json.dumps(plan), str(calls), scripts],
        env=env,
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        sys.exit(f"the build in {where} failed:\n{done.stderr[-2000:]}")
    result = json.loads(done.stdout)
    if Path(result["file"]).parent != where:
        sys.exit(f"imported {result['file']}, not the build in {where}")
    return result


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("a", type=Path, help="build A (e.g. the GCC build)")
    ap.add_argument("b", type=Path, help="build B (e.g. the release wheel)")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--calls", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="bench/run.py's shorter inputs")
    ap.add_argument("--out", type=Path, default=HERE / "out")
    ap.add_argument("--json", type=Path, help="write every round's figures here")
    args = ap.parse_args()

    ins = inp.build_inputs(args.out, args.quick, log=lambda *a: print(*a, file=sys.stderr))
    plan = cases(ins)
    with tempfile.TemporaryDirectory(dir=args.out) as scratch:
        dirs = [module_dir(b.resolve(), Path(scratch)) for b in (args.a, args.b)]
        rounds = []
        for r in range(args.rounds):
            order = (0, 1) if r % 2 == 0 else (1, 0)
            got = {i: run(dirs[i], plan, args.calls) for i in order}
            rounds.append((got[0], got[1]))
            print(f"  round {r + 1}/{args.rounds} done", file=sys.stderr)

    cpu = platform.processor() or platform.machine()
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    print(
        f"A: {args.a.name}\nB: {args.b.name}\n{cpu}; {args.rounds} rounds of alternating processes, "
        f"{args.calls} calls each (per process: the median call)\n"
    )
    print("| input | A wall | B wall | B/A wall | B/A CPU |\n|---|---|---|---|---|")
    summary = {}
    for case in plan:
        name = case["name"]
        wall_a = statistics.median(a[name][0] for a, _ in rounds)
        wall_b = statistics.median(b[name][0] for _, b in rounds)
        ratio_wall = statistics.median(b[name][0] / a[name][0] for a, b in rounds)
        ratio_cpu = statistics.median(b[name][1] / a[name][1] for a, b in rounds)
        summary[name] = {"a_wall_s": wall_a, "b_wall_s": wall_b, "ratio_wall": ratio_wall, "ratio_cpu": ratio_cpu}
        print(f"| {name} | {wall_a * 1e3:.2f} ms | {wall_b * 1e3:.2f} ms | {ratio_wall:.3f} | {ratio_cpu:.3f} |")
    if args.json:
        args.json.write_text(
            json.dumps({"a": str(args.a), "b": str(args.b), "cpu": cpu, "summary": summary, "rounds": rounds}, indent=1)
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())

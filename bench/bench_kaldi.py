"""lhotse's Kaldi import of a Switchboard-style directory: cuts read through
korrin.lhotse against cuts read through the directory's sph2pipe pipes.

    .venv-lhotse/bin/python bench/bench_kaldi.py [--cuts 1000] [--rounds 3]

The inputs are bench_segments' 20 calls of 5 minutes, two channels of
Shorten mu-law at 8 kHz (made once into bench/out/segment-calls/). The
directory is Switchboard's shape: a wav.scp of one `sph2pipe -f wav -p -c N
CALL.sph |` line per side, a segments file of utterances of 2-10 s tiling
each side with pauses, text and utt2spk. lhotse imports it after
`korrin.lhotse.use()` (durations from the headers: stock lhotse refuses
pipe lines without kaldi_native_io, which runs each pipe to learn its
length), and the cuts are its supervisions, of which `--cuts` are drawn
at random (seed 7) and loaded in that order.

  korrin  the cuts loaded with use() in force: no process, the span and
          channel of each read, Shorten through checkpoints (the store
          emptied before each round, so the first decodes count)
  pipes   the same cuts after restore(): lhotse runs each cut's pipe (the
          sph2pipe oracle beside the checkout, first on the PATH), which
          decodes the whole side, and reads its span from the output

Every cut's array from korrin must equal the pipe's, element for element.
Figures: wall and CPU time (user + system, children included) per cut,
medians over rounds for korrin (one round of the pipes, which are slow).
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import korrin  # noqa: E402
import korrin.lhotse  # noqa: E402
from bench_segments import make_calls  # noqa: E402
from korrin import _native  # noqa: E402
from timing import compiler_of  # noqa: E402

ORACLE = Path(os.environ.get("KORRIN_SPH2PIPE") or HERE.parent.parent / "shared" / "oracles" / "sph2pipe" / "sph2pipe")


def cpu() -> float:
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def processor() -> str:
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def make_directory(calls: list[Path], where: Path) -> Path:
    """A Switchboard-style data directory over the calls."""
    where.mkdir(parents=True, exist_ok=True)
    rng = random.Random(5)
    scp, segments, text, utt2spk = [], [], [], []
    for path in calls:
        call = path.stem
        seconds = korrin.info(path).duration
        for channel, side in enumerate("AB"):
            rid = f"{call}-{side}"
            scp.append(f"{rid} sph2pipe -f wav -p -c {channel + 1} {path} |\n")
            t = rng.uniform(0, 2)
            while True:
                length = rng.uniform(2, 10)
                if t + length > seconds:
                    break
                uid = f"{rid}_{int(t * 100):06d}-{int((t + length) * 100):06d}"
                segments.append(f"{uid} {rid} {t:.2f} {t + length:.2f}\n")
                text.append(f"{uid} uh-huh\n")
                utt2spk.append(f"{uid} {rid}\n")
                t += length + rng.uniform(0.2, 3)
    for name, lines in [("wav.scp", scp), ("segments", segments), ("text", text), ("utt2spk", utt2spk)]:
        (where / name).write_text("".join(lines))
    return where


def load_all(cuts) -> tuple[list[np.ndarray], float, float]:
    w, c = time.perf_counter(), cpu()
    arrays = [cut.load_audio() for cut in cuts]
    return arrays, time.perf_counter() - w, cpu() - c


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cuts", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not ORACLE.exists():
        sys.exit(f"no sph2pipe at {ORACLE} (set KORRIN_SPH2PIPE)")
    os.environ["PATH"] = f"{ORACLE.parent}{os.pathsep}{os.environ['PATH']}"
    warnings.filterwarnings("ignore", message="You requested a subset of a recording")

    import lhotse
    from lhotse.kaldi import load_kaldi_data_dir

    calls, _ = make_calls(HERE / "out" / "segment-calls" / "20x300s-v1", 20, 300)
    directory = make_directory(calls, HERE / "out" / "kaldi-swbd")

    korrin.lhotse.use()
    w = time.perf_counter()
    recordings, supervisions, _ = load_kaldi_data_dir(directory, sampling_rate=8000)
    import_wall = time.perf_counter() - w
    cuts = lhotse.CutSet.from_manifests(recordings=recordings, supervisions=supervisions).trim_to_supervisions()
    cuts = list(cuts)
    picked = random.Random(7).sample(cuts, min(args.cuts, len(cuts)))
    seconds = sum(cut.duration for cut in picked)

    ours_wall, ours_cpu = [], []
    for _ in range(args.rounds):
        _native._checkpoint_cache(True, None, "")
        ours, wall, used = load_all(picked)
        ours_wall.append(wall)
        ours_cpu.append(used)
    korrin.lhotse.restore()
    theirs, pipes_wall, pipes_cpu = load_all(picked)

    same = all(a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b) for a, b in zip(ours, theirs))
    n = len(picked)
    kw, kc = statistics.median(ours_wall) / n, statistics.median(ours_cpu) / n
    pw, pc = pipes_wall / n, pipes_cpu / n
    print(f"processor: {processor()}, {os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f}")
    print(f"module: {_native.__file__}, built by {compiler_of(_native.__file__)}")
    print(f"Python {platform.python_version()}, numpy {np.__version__}, lhotse {lhotse.__version__}, sph2pipe {ORACLE}")
    print(
        f"\n{len(recordings)} recordings ({len(calls)} calls of 5 min, 2 sides), {len(cuts)} utterances; "
        f"lhotse's import with korrin.lhotse.use() (durations from the headers): {import_wall * 1e3:.0f} ms"
    )
    print(f"{n} random cuts ({seconds / n:.2f} s on average), in random order:\n")
    print("| path | wall per cut | CPU per cut | wall, all cuts |")
    print("|---|---|---|---|")
    print(
        f"| korrin.lhotse (median of {args.rounds} rounds, first decodes included) | {kw * 1e3:.2f} ms "
        f"| {kc * 1e3:.2f} ms | {statistics.median(ours_wall):.2f} s |"
    )
    print(f"| the wav.scp pipes (sph2pipe per cut) | {pw * 1e3:.2f} ms | {pc * 1e3:.2f} ms | {pipes_wall:.2f} s |")
    print(
        f"\nkorrin against the pipes: {pw / kw:.1f}x (wall), {pc / kc:.1f}x (CPU); "
        f"arrays identical: {'yes, all ' + str(n) if same else 'NO'}"
    )
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()

"""This project's sph2pipe against LDC's sph2pipe 2.5, per call and for a
whole data directory.

    python bench/bench_sph2pipe.py [--quick] [--calls N] [--only calls|datadir] [--json PATH]

1. Per call: N one-segment calls (default 1,000) of `sph2pipe -f wav -p -c C
   -t B:E FILE` into a pipe, as lhotse reads cuts, on a 74 s two-channel
   8 kHz file stored as mu-law and the same audio as mu-law Shorten;
   segments of 1-5 s at random places and channels. The two programs take
   turns call by call. Each call is spawned with posix_spawn and waited
   for with wait4: wall time from the spawn to the end of its output, CPU
   time (user + system) of the child. Medians, calls per second (1 /
   median wall) and the ratio to sph2pipe.
2. A Switchboard-like data directory: 20 five-minute two-channel 8 kHz
   mu-law Shorten calls, a wav.scp of sph2pipe lines (one per side), 2,000
   segments of 2-10 s. Against (a) one sph2pipe call per segment into a
   pipe, its WAV written to a file by this script, and (b) one sph2pipe
   call per wav.scp line writing the whole side, then every segment cut
   from it in numpy and written (Kaldi's and ESPnet's way). Ours is
   `sph2wav --wav-scp wav.scp --segments segments -o OUT`, -j 1 and -j 2.
   Every output of ours is checked against (b)'s, byte for byte.

The oracle is ../shared/oracles/sph2pipe/sph2pipe or $KORRIN_SPH2PIPE; ours
the sph2pipe and sph2wav installed beside this Python.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_segments  # noqa: E402
import shorten_writer  # noqa: E402

RATE = 8000
ORACLE = Path(os.environ.get("KORRIN_SPH2PIPE") or HERE.parent.parent / "shared/oracles/sph2pipe/sph2pipe")


def spawn(command: list[str], out=None) -> tuple[float, float, bytes]:
    """Runs `command` with its standard output into a pipe read here (or
    the file `out`); wall seconds, the child's CPU seconds, the output."""
    start = time.perf_counter()
    if out is None:
        read, write = os.pipe()
        pid = os.posix_spawn(
            command[0],
            command,
            os.environ,
            file_actions=[(os.POSIX_SPAWN_DUP2, write, 1), (os.POSIX_SPAWN_CLOSE, read)],
        )
        os.close(write)
        chunks = []
        while chunk := os.read(read, 1 << 16):
            chunks.append(chunk)
        os.close(read)
        data = b"".join(chunks)
    else:
        pid = os.posix_spawn(command[0], command, os.environ)
        data = b""
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"bench_sph2pipe: {' '.join(command)} failed ({status})")
    return wall, usage.ru_utime + usage.ru_stime, data


def padded(stream: bytes) -> bytes:
    """Zero bits to whole 32-bit words after the magic and version, as
    sph2pipe's reader, which fetches words, needs to see the stream's end."""
    return stream + bytes(-(len(stream) - 5) % 4)


def shorten_call(path: Path, seconds: int, seed: int) -> None:
    """A two-channel 8 kHz call of speech-like audio, as mu-law Shorten."""
    codes = bench_segments.ulaw_codes(bench_segments.call_audio(seconds * RATE, seed=seed))
    values = np.where(codes >= 0x80, 0xFF - codes.astype(np.int16), codes.astype(np.int16) - 0x80)
    stream = shorten_writer.encode(values, sample_type=8, blocksize=256, maxnlpc=0, nmean=0)
    common = {"sample_count": seconds * RATE, "sample_rate": RATE, "channel_count": 2, "sample_n_bytes": 1}
    path.write_bytes(bench_segments.header({**common, "sample_coding": "ulaw,embedded-shorten-v2.00"}) + padded(stream))


def make_files(root: Path, seconds: int) -> dict[str, Path]:
    root.mkdir(parents=True, exist_ok=True)
    paths = {"stored mu-law": root / f"stored_{seconds}s.sph", "Shorten mu-law": root / f"shorten_{seconds}s-v2.sph"}
    if all(p.is_file() for p in paths.values()):
        return paths
    codes = bench_segments.ulaw_codes(bench_segments.call_audio(seconds * RATE, seed=7))
    common = {"sample_count": seconds * RATE, "sample_rate": RATE, "channel_count": 2, "sample_n_bytes": 1}
    paths["stored mu-law"].write_bytes(bench_segments.header({**common, "sample_coding": "ulaw"}) + codes.tobytes())
    shorten_call(paths["Shorten mu-law"], seconds, seed=7)
    return paths


def per_call(ours: Path, calls: int, root: Path, extra: dict[str, Path]) -> dict:
    files = make_files(root, 74)
    rng = random.Random(11)
    rows = {}
    for kind, path in files.items():
        tools = {"sph2pipe 2.5": ORACLE, "ours": ours, **extra}
        times = {name: ([], []) for name in tools}
        for k in range(calls):
            length = rng.uniform(1, 5)
            start = rng.uniform(0, 74 - length)
            args = [
                "-f",
                "wav",
                "-p",
                "-c",
                str(rng.randint(1, 2)),
                "-t",
                f"{start:.3f}:{start + length:.3f}",
                str(path),
            ]
            order = list(tools.items())
            order = order[k % len(order) :] + order[: k % len(order)]
            outputs = []
            for name, tool in order:
                wall, cpu, data = spawn([str(tool), *args])
                times[name][0].append(wall)
                times[name][1].append(cpu)
                outputs.append(data)
            if any(output != outputs[0] for output in outputs):
                sys.exit(f"bench_sph2pipe: the outputs of {' '.join(args)} differ")
        row = {}
        for name, (wall, cpu) in times.items():
            row[name] = {
                "median_wall_ms": 1000 * statistics.median(wall),
                "median_cpu_ms": 1000 * statistics.median(cpu),
                "calls_per_s": 1 / statistics.median(wall),
            }
        for name in tools:
            row[name]["x_wall"] = row["sph2pipe 2.5"]["median_wall_ms"] / row[name]["median_wall_ms"]
            row[name]["x_cpu"] = row["sph2pipe 2.5"]["median_cpu_ms"] / row[name]["median_cpu_ms"]
        rows[kind] = row
    return rows


def wav_of(samples: np.ndarray) -> bytes:
    data = samples.astype("<i2").tobytes()
    import struct

    return (
        b"RIFF"
        + struct.pack("<I", 36 + len(data))
        + b"WAVEfmt "
        + struct.pack("<IHHIIHH", 16, 1, 1, RATE, 2 * RATE, 2, 16)
        + b"data"
        + struct.pack("<I", len(data))
        + data
    )


def data_dir(sph2wav: Path, segments_wanted: int, files_wanted: int, root: Path) -> dict:
    calls = root / "sph2pipe-calls" / f"{files_wanted}x300s"
    calls.mkdir(parents=True, exist_ok=True)
    shortened = [calls / f"sw{i:02}.sph" for i in range(files_wanted)]
    if not (calls / "complete").is_file():
        for i, path in enumerate(shortened):
            shorten_call(path, 300, seed=i)
        (calls / "complete").write_text("")
    rng = random.Random(5)
    with tempfile.TemporaryDirectory(prefix="bench_sph2pipe-", dir=root) as tmp:
        work = Path(tmp)
        scp = [
            f"sw{i:02}-{side} {ORACLE} -f wav -p -c {c} {path} |"
            for i, path in enumerate(shortened)
            for c, side in ((1, "A"), (2, "B"))
        ]
        (work / "wav.scp").write_text("\n".join(scp) + "\n")
        segments = []
        for n in range(segments_wanted):
            f, side = rng.randrange(files_wanted), rng.choice("AB")
            length = rng.uniform(2, 10)
            start = rng.uniform(0, 300 - length)
            segments.append((f"sw{f:02}-{side}_{n:05}", f"sw{f:02}-{side}", f"{start:.2f}", f"{start + length:.2f}"))
        (work / "segments").write_text("".join(" ".join(s) + "\n" for s in segments))
        results = {}

        # (b) whole sides, then cut in numpy.
        start = time.perf_counter()
        cpu = 0.0
        (work / "b").mkdir()
        sides = {}
        for line in scp:
            rec, *command, _ = line.split()
            out = work / "b" / f"{rec}.wav"
            with open(out, "wb") as sink:
                pid = os.posix_spawn(
                    command[0], command, os.environ, file_actions=[(os.POSIX_SPAWN_DUP2, sink.fileno(), 1)]
                )
                _, status, usage = os.wait4(pid, 0)
            cpu += usage.ru_utime + usage.ru_stime
            sides[rec] = np.frombuffer(out.read_bytes()[44:], "<i2")
        for seg, rec, b, e in segments:
            samples = sides[rec][int(float(b) * RATE) : int(float(e) * RATE)]
            (work / "b" / f"{seg}.wav").write_bytes(wav_of(samples))
        results["(b) sph2pipe per wav.scp line, cut in numpy"] = {
            "wall_s": time.perf_counter() - start,
            "child_cpu_s": cpu,
        }

        # (a) one call per segment.
        start = time.perf_counter()
        cpu = 0.0
        (work / "a").mkdir()
        paths = {f"sw{i:02}": p for i, p in enumerate(shortened)}
        for seg, rec, b, e in segments:
            _, child, data = spawn(
                [
                    str(ORACLE),
                    "-f",
                    "wav",
                    "-p",
                    "-c",
                    "1" if rec.endswith("A") else "2",
                    "-t",
                    f"{b}:{e}",
                    str(paths[rec[:4]]),
                ]
            )
            cpu += child
            (work / "a" / f"{seg}.wav").write_bytes(data)
        results["(a) sph2pipe per segment"] = {"wall_s": time.perf_counter() - start, "child_cpu_s": cpu}

        for jobs in ("1", "2"):
            out = work / f"ours{jobs}"
            start = time.perf_counter()
            before = os.times()
            subprocess.run(
                [str(sph2wav), "-q", "-j", jobs, "--wav-scp", "wav.scp", "--segments", "segments", "-o", str(out)],
                cwd=work,
                check=True,
            )
            after = os.times()
            results[f"sph2wav --wav-scp --segments, -j {jobs}"] = {
                "wall_s": time.perf_counter() - start,
                "child_cpu_s": after.children_user
                + after.children_system
                - before.children_user
                - before.children_system,
            }
            for seg, *_ in segments:
                if (out / "data" / f"{seg}.wav").read_bytes() != (work / "b" / f"{seg}.wav").read_bytes():
                    sys.exit(f"bench_sph2pipe: segment {seg} differs from (b)'s")
    return {"segments": segments_wanted, "calls": files_wanted, "results": results}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="200 calls; 4 calls of 5 min and 400 segments")
    parser.add_argument("--calls", type=int)
    parser.add_argument("--only", choices=["calls", "datadir"])
    parser.add_argument(
        "--extra",
        action="append",
        default=[],
        metavar="NAME=PATH",
        help="another build of sph2pipe to time beside (e.g. a static musl one)",
    )
    parser.add_argument("--json", type=Path, default=HERE / "out" / "bench_sph2pipe.json")
    args = parser.parse_args()
    if not os.access(ORACLE, os.X_OK):
        sys.exit(f"bench_sph2pipe: no sph2pipe at {ORACLE} (set KORRIN_SPH2PIPE)")
    scripts = Path(sysconfig.get_path("scripts"))
    ours, sph2wav = scripts / "sph2pipe", scripts / "sph2wav"
    if not ours.is_file():
        sys.exit("bench_sph2pipe: this project's sph2pipe is not installed beside this Python")
    root = HERE / "out"
    # A run of one part keeps the other's figures of an earlier run.
    report: dict = json.loads(args.json.read_text()) if args.only and args.json.is_file() else {}
    report["machine"] = subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines()[:14]
    report["load"] = os.getloadavg()
    if args.only != "datadir":
        calls = args.calls or (200 if args.quick else 1000)
        extra = {name: Path(path) for name, path in (e.split("=", 1) for e in args.extra)}
        rows = per_call(ours, calls, root, extra)
        report["per_call"] = {"calls": calls, "rows": rows}
        print(f"per call: {calls} calls of -f wav -p -c C -t B:E (1-5 s) on a 74 s 2-channel 8 kHz file, into a pipe")
        print(f"{'file':<16}{'tool':<16}{'wall ms':>9}{'calls/s':>9}{'CPU ms':>9}{'x wall':>8}{'x CPU':>8}")
        for kind, row in rows.items():
            for name, r in row.items():
                print(
                    f"{kind:<16}{name:<16}{r['median_wall_ms']:>9.3f}{r['calls_per_s']:>9.0f}"
                    f"{r['median_cpu_ms']:>9.3f}{r['x_wall']:>8.2f}{r['x_cpu']:>8.2f}"
                )
    if args.only != "calls":
        segments, files = (400, 4) if args.quick else (2000, 20)
        result = data_dir(sph2wav, segments, files, root)
        report["data_dir"] = result
        print(
            f"data directory: {files} calls of 300 s, 2 channels, 8 kHz mu-law Shorten; "
            f"{2 * files} wav.scp lines; {segments} segments of 2-10 s"
        )
        base = result["results"]
        for name, r in base.items():
            print(f"  {name:<48}{r['wall_s']:>8.2f} s wall{r['child_cpu_s']:>8.2f} s CPU (children)")
        for jobs in ("1", "2"):
            ours_wall = base[f"sph2wav --wav-scp --segments, -j {jobs}"]["wall_s"]
            print(
                f"  -j {jobs}: {base['(a) sph2pipe per segment']['wall_s'] / ours_wall:.1f}x (a), "
                f"{base['(b) sph2pipe per wav.scp line, cut in numpy']['wall_s'] / ours_wall:.1f}x (b) by wall time"
            )
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(report, indent=2) + "\n")
    print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

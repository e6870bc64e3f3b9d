"""sph2wav on a corpus of small files, against its alternatives.

    python bench/bench_cli.py [--quick] [--files N] [--reps N] [--dir DIR] [--json PATH]

Converts N small uncompressed SPHERE files (1 s of 16 kHz mono 16-bit PCM,
33 kB each; 1,000 by default) to WAV four ways, each writing into a fresh
directory:

  sph2wav -j 2     the command-line converter, two threads
  sph2wav -j 1     the same, one thread
  python loop      read, korrin_native.transcode, write, file after file
  ffmpeg per file  one ffmpeg process per file, two at a time (as -j 2)

The first three take turns in each round and the table gives medians; ffmpeg,
whose process start-up is nearly all of its time on files this small, runs
once, on every file or (--ffmpeg-files, --quick) on the first few, its time
then projected to the whole corpus. Outputs are checked against the module
before anything is timed.
Prints a table and writes the figures as JSON (default bench/out/bench_cli.json).
The files live in a temporary directory under --dir (default: the system's),
so that a run can be pointed at a disk or at a RAM file system (/dev/shm) to
tell the converter's time from the file system's.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import korrin_native

HERE = Path(__file__).resolve().parent
RATE = 16000


def sphere_file(frames: int, seed: int) -> bytes:
    """A 16-bit little-endian mono SPHERE file with a 1024-byte header."""
    fields = [
        "NIST_1A",
        "   1024",
        f"sample_count -i {frames}",
        f"sample_rate -i {RATE}",
        "channel_count -i 1",
        "sample_n_bytes -i 2",
        "sample_coding -s3 pcm",
        "sample_byte_format -s2 01",
        "end_head",
    ]
    header = ("\n".join(fields) + "\n").encode().ljust(1024, b" ")
    # A cheap deterministic noise, different for every file.
    state, samples = seed * 2654435761 % 2**32 or 1, []
    for _ in range(frames):
        state = (1103515245 * state + 12345) % 2**31
        samples.append((state >> 8) % 8192 - 4096)
    return header + struct.pack(f"<{frames}h", *samples)


def make_corpus(root: Path, files: int) -> list[Path]:
    root.mkdir(parents=True)
    paths = []
    for i in range(files):
        path = root / f"d{i // 100:02}" / f"f{i:05}.sph"
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(sphere_file(RATE, i))
        paths.append(path)
    return paths


def find_sph2wav() -> Path:
    found = Path(sysconfig.get_path("scripts")) / "sph2wav"
    if found.is_file():
        return found
    on_path = shutil.which("sph2wav")
    if on_path is None:
        sys.exit("bench_cli: sph2wav is not installed (pip install . puts it beside python)")
    return Path(on_path)


def wav_data(wav: bytes) -> bytes:
    """The data chunk of a RIFF/WAV file, whatever chunks precede it."""
    pos = 12
    while pos + 8 <= len(wav):
        tag, size = wav[pos : pos + 4], int.from_bytes(wav[pos + 4 : pos + 8], "little")
        if tag == b"data":
            return wav[pos + 8 : pos + 8 + size]
        pos += 8 + size + (size & 1)
    raise ValueError("no data chunk")


class Bench:
    def __init__(self, work: Path, src: Path, paths: list[Path], sph2wav: Path):
        self.work, self.src, self.paths, self.sph2wav = work, src, paths, sph2wav
        self.runs = 0

    def fresh_out(self) -> Path:
        self.runs += 1
        return self.work / f"out{self.runs}"

    def clear(self, out: Path) -> None:
        shutil.rmtree(out, ignore_errors=True)

    def run_sph2wav(self, jobs: int) -> Path:
        out = self.fresh_out()
        subprocess.run([str(self.sph2wav), "-q", "-j", str(jobs), str(self.src), "-o", str(out)], check=True)
        return out

    def run_python_loop(self) -> Path:
        out = self.fresh_out()
        transcode = korrin_native.transcode
        for path in self.paths:
            target = out / path.relative_to(self.src).with_suffix(".wav")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(transcode(path.read_bytes()))
        return out

    def run_ffmpeg(self, ffmpeg: str, paths: list[Path]) -> Path:
        out = self.fresh_out()
        for directory in {p.parent for p in paths}:
            (out / directory.relative_to(self.src)).mkdir(parents=True)

        def one(path: Path) -> None:
            target = out / path.relative_to(self.src).with_suffix(".wav")
            subprocess.run(
                [
                    ffmpeg,
                    "-nostdin",
                    "-hide_banner",
                    "-loglevel",
                    "error",
                    "-y",
                    "-i",
                    str(path),
                    "-c:a",
                    "pcm_s16le",
                    "-bitexact",
                    str(target),
                ],
                check=True,
            )

        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(one, paths))
        return out


def timed(run) -> tuple[float, Path]:
    start = time.perf_counter()
    out = run()
    return time.perf_counter() - start, out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="200 files, 3 rounds, ffmpeg on 40")
    parser.add_argument("--files", type=int, help="number of files (default 1000)")
    parser.add_argument("--reps", type=int, help="rounds of the fast cases (default 5)")
    parser.add_argument("--ffmpeg-files", type=int, help="files given to ffmpeg (default all)")
    parser.add_argument("--dir", type=Path, help="where to make the temporary corpus")
    parser.add_argument("--json", type=Path, default=HERE / "out" / "bench_cli.json")
    args = parser.parse_args()
    files = args.files or (200 if args.quick else 1000)
    reps = args.reps or (3 if args.quick else 5)
    ffmpeg_files = min(files, args.ffmpeg_files or (40 if args.quick else files))

    sph2wav = find_sph2wav()
    ffmpeg = shutil.which("ffmpeg")
    with tempfile.TemporaryDirectory(prefix="bench_cli-", dir=args.dir) as tmp:
        work = Path(tmp)
        src = work / "src"
        paths = make_corpus(src, files)
        total_bytes = sum(p.stat().st_size for p in paths)
        bench = Bench(work, src, paths, sph2wav)

        # Correctness first: every case must give the module's audio.
        expected = {p.relative_to(src).with_suffix(".wav"): korrin_native.transcode(p.read_bytes()) for p in paths}
        for name, run in (("sph2wav -j 2", lambda: bench.run_sph2wav(2)), ("python loop", bench.run_python_loop)):
            out = run()
            got = {p.relative_to(out): p.read_bytes() for p in out.rglob("*.wav")}
            if got != expected:
                sys.exit(f"bench_cli: {name} gave outputs that differ from the module's")
            bench.clear(out)

        cases = {
            "sph2wav -j 2": lambda: bench.run_sph2wav(2),
            "sph2wav -j 1": lambda: bench.run_sph2wav(1),
            "python loop": bench.run_python_loop,
        }
        times: dict[str, list[float]] = {name: [] for name in cases}
        names = list(cases)
        for r in range(reps):
            for name in names[r % len(names) :] + names[: r % len(names)]:
                seconds, out = timed(cases[name])
                times[name].append(seconds)
                bench.clear(out)

        notes = []
        if ffmpeg:
            seconds, out = timed(lambda: bench.run_ffmpeg(ffmpeg, paths[:ffmpeg_files]))
            for path in paths[:ffmpeg_files]:
                name = path.relative_to(src).with_suffix(".wav")
                if wav_data((out / name).read_bytes()) != wav_data(expected[name]):
                    sys.exit(f"bench_cli: ffmpeg decoded {name} differently")
            times["ffmpeg per file"] = [seconds * files / ffmpeg_files]
            bench.clear(out)
            if ffmpeg_files < files:
                notes.append(
                    f"ffmpeg: timed on {ffmpeg_files} of the {files} files, projected to all ({seconds:.2f} s measured)"
                )
        else:
            notes.append("ffmpeg not found: no per-file baseline")

    base = statistics.median(times["sph2wav -j 2"])
    rows = []
    for name, runs in times.items():
        median = statistics.median(runs)
        rows.append(
            {
                "case": name,
                "runs": runs,
                "median_s": median,
                "files_per_s": files / median,
                "mb_per_s": total_bytes / median / 1e6,
                "vs_sph2wav_j2": median / base,
            }
        )

    print(
        f"sph2wav corpus: {files} files, {total_bytes / 1e6:.1f} MB of 16-bit PCM SPHERE, "
        f"{os.cpu_count()} cores, in {args.dir or tempfile.gettempdir()}"
    )
    print(f"{'case':<18}{'median s':>10}{'files/s':>10}{'MB/s':>9}{'x time of -j 2':>16}")
    for row in rows:
        print(
            f"{row['case']:<18}{row['median_s']:>10.3f}{row['files_per_s']:>10.0f}"
            f"{row['mb_per_s']:>9.1f}{row['vs_sph2wav_j2']:>16.2f}"
        )
    if ffmpeg:
        print("ffmpeg: one process per file, two at a time, one round; start-up dominates")
    for note in notes:
        print(note)

    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(
        json.dumps(
            {
                "benchmark": "sph2wav corpus",
                "files": files,
                "bytes": total_bytes,
                "rounds": reps,
                "directory": str(args.dir or tempfile.gettempdir()),
                "ffmpeg_files": ffmpeg_files if ffmpeg else 0,
                "machine": {"cores": os.cpu_count(), "platform": platform.platform()},
                "cases": rows,
                "notes": notes,
            },
            indent=2,
        )
        + "\n"
    )
    print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""sph2wav cutting segments out of long telephone calls, against ffmpeg.

    python bench/bench_segments.py [--quick] [--files N] [--segments N] [--reps N] [--dir DIR] [--json PATH]

The workload of a speech recipe's segment extraction: 20 calls of 5 minutes,
two channels at 8 kHz, each stored twice, as mu-law compressed with Shorten
(the usual telephone-corpus coding) and as 16-bit PCM; 100 segments of
2-10 s per call, each on a random channel. Every segment is one process
writing a WAV file into a pipe that this script reads, one after another:

  sph2wav (Shorten)  sph2wav -c C -t B:E -o - call.sph   on the Shorten files
  sph2wav (PCM)      the same on the PCM files
  ffmpeg (PCM)       ffmpeg -ss B -to E -i call.sph -af pan=mono|c0=cC -f wav -
                     on the PCM files

The three take turns on each segment, in an order that rotates from one
segment to the next, so that the load of a shared machine falls on all of
them alike. Prints segments per second for each, by wall time and by the
CPU time the processes used (user + system, steadier on a busy machine),
and the ratios to ffmpeg. Then a whole
file to standard output (sph2wav -o - f.sph, read from a pipe) against
sph2wav writing a file (-o out.wav, into an emptied directory), --reps
rounds each in turn, medians. Every output is checked first: sph2wav's
segments against the module's whole-file PCM sliced here, ffmpeg's against
the same (where it starts and how long it is are reported).
The calls are generated once (a few minutes) into bench/out/segment-calls/
and reused.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from fractions import Fraction
from pathlib import Path

import numpy as np

import korrin_native

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import shorten_writer  # noqa: E402

RATE = 8000
CHANNELS = 2


def find_sph2wav() -> Path:
    found = Path(sysconfig.get_path("scripts")) / "sph2wav"
    if found.is_file():
        return found
    on_path = shutil.which("sph2wav")
    if on_path is None:
        sys.exit("bench_segments: sph2wav is not installed (pip install . puts it beside python)")
    return Path(on_path)


def header(fields: dict[str, str | int]) -> bytes:
    lines = ["NIST_1A", "   1024"]
    for name, value in fields.items():
        kind = "-i" if isinstance(value, int) else f"-s{len(value)}"
        lines.append(f"{name} {kind} {value}")
    lines.append("end_head")
    return ("\n".join(lines) + "\n").encode().ljust(1024, b" ")


def call_audio(frames: int, seed: int) -> np.ndarray:
    """Two channels of speech-like audio: bursts of voiced tones in noise,
    one side talking while the other mostly listens."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames) / RATE
    out = np.empty((frames, CHANNELS), dtype=np.float64)
    for c in range(CHANNELS):
        pitch = rng.uniform(90, 220)
        voiced = sum(np.sin(2 * np.pi * pitch * k * t + rng.uniform(0, 6)) / k for k in range(1, 6))
        # Talk spurts: a smoothed random on/off envelope of 0.3-2 s pieces.
        pieces = rng.integers(int(0.3 * RATE), 2 * RATE, frames // (RATE // 3) + 2)
        on = np.repeat(rng.random(len(pieces)) < 0.5, pieces)[:frames]
        envelope = np.convolve(on.astype(float), np.ones(400) / 400, mode="same")
        out[:, c] = 6000 * envelope * voiced + rng.normal(0, 60, frames)
    return np.clip(np.round(out), -32768, 32767).astype(np.int16)


def ulaw_codes(pcm: np.ndarray) -> np.ndarray:
    """G.711 mu-law encoding of 16-bit samples."""
    x = pcm.astype(np.int32)
    sign = np.where(x < 0, 0x80, 0x00)
    magnitude = np.minimum(np.abs(x), 32635) + 132
    exponent = np.floor(np.log2(magnitude)).astype(np.int32) - 7
    mantissa = (magnitude >> (exponent + 3)) & 0x0F
    return (~(sign | (exponent << 4) | mantissa) & 0xFF).astype(np.uint8)


def make_calls(root: Path, files: int, seconds: int) -> tuple[list[Path], list[Path]]:
    """The calls, made unless a finished earlier run left them in `root`."""
    shortened = [root / f"call{i:02}_shn.sph" for i in range(files)]
    pcm = [root / f"call{i:02}_pcm.sph" for i in range(files)]
    if (root / "complete").is_file():
        return shortened, pcm
    root.mkdir(parents=True, exist_ok=True)
    frames = seconds * RATE
    shortened, pcm = [], []
    for i in range(files):
        audio = call_audio(frames, seed=i)
        codes = ulaw_codes(audio)
        # A type-8 stream carries each code as a signed value: 0xFF - code
        # for codes from 0x80 on, code - 0x80 below.
        values = np.where(codes >= 0x80, 0xFF - codes.astype(np.int16), codes.astype(np.int16) - 0x80)
        stream = shorten_writer.encode(values, sample_type=8, blocksize=256, maxnlpc=0, nmean=0)
        common = {"sample_count": frames, "sample_rate": RATE, "channel_count": CHANNELS}
        path = root / f"call{i:02}_shn.sph"
        path.write_bytes(
            header({**common, "sample_n_bytes": 1, "sample_coding": "ulaw,embedded-shorten-v2.00"}) + stream
        )
        shortened.append(path)
        path = root / f"call{i:02}_pcm.sph"
        path.write_bytes(
            header({**common, "sample_n_bytes": 2, "sample_coding": "pcm", "sample_byte_format": "01"})
            + audio.astype("<i2").tobytes()
        )
        pcm.append(path)
    (root / "complete").write_text("")
    return shortened, pcm


def segments_of(files: int, per_file: int, seconds: int, seed: int = 1) -> list[tuple[int, int, str, str]]:
    """(file index, channel, start, end) with times in seconds as text, to
    the millisecond, as a recipe's segments file gives them."""
    rng = random.Random(seed)
    out = []
    for f in range(files):
        for _ in range(per_file):
            length = rng.uniform(2, 10)
            start = rng.uniform(0, seconds - length)
            out.append((f, rng.randint(1, CHANNELS), f"{start:.3f}", f"{start + length:.3f}"))
    return out


def nearest_frame(text: str) -> int:
    return int(Fraction(text) * RATE + Fraction(1, 2))


def sph2wav_command(tool: Path, path: Path, channel: int, start: str, end: str) -> list[str]:
    return [str(tool), "-c", str(channel), "-t", f"{start}:{end}", "-o", "-", str(path)]


def ffmpeg_command(ffmpeg: str, path: Path, channel: int, start: str, end: str) -> list[str]:
    return [
        ffmpeg,
        "-nostdin",
        "-hide_banner",
        "-loglevel",
        "error",
        "-ss",
        start,
        "-to",
        end,
        "-i",
        str(path),
        "-af",
        f"pan=mono|c0=c{channel - 1}",
        "-c:a",
        "pcm_s16le",
        "-f",
        "wav",
        "-bitexact",
        "-",
    ]


def run_to_pipe(command: list[str]) -> bytes:
    return subprocess.run(command, stdout=subprocess.PIPE, check=True).stdout


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(run) -> tuple[float, float]:
    """Wall time and the CPU time of the child processes `run` waited for."""
    cpu, wall = children_cpu(), time.perf_counter()
    run()
    return time.perf_counter() - wall, children_cpu() - cpu


def wav_data(wav: bytes) -> bytes:
    pos = 12
    while pos + 8 <= len(wav):
        tag, size = wav[pos : pos + 4], int.from_bytes(wav[pos + 4 : pos + 8], "little")
        if tag == b"data":
            return wav[pos + 8 : pos + 8 + size] if size != 0xFFFFFFFF else wav[pos + 8 :]
        pos += 8 + size + (size & 1)
    raise ValueError("no data chunk")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="4 calls, 25 segments each, 3 rounds")
    parser.add_argument("--files", type=int, help="calls (default 20)")
    parser.add_argument("--segments", type=int, help="segments per call (default 100)")
    parser.add_argument("--seconds", type=int, default=300, help="length of a call (default 300)")
    parser.add_argument("--reps", type=int, help="rounds of the whole-file cases (default 7)")
    parser.add_argument("--dir", type=Path, help="where to keep the calls and the outputs (default bench/out)")
    parser.add_argument("--json", type=Path, default=HERE / "out" / "bench_segments.json")
    args = parser.parse_args()
    files = args.files or (4 if args.quick else 20)
    per_file = args.segments or (25 if args.quick else 100)
    reps = args.reps or (3 if args.quick else 7)

    tool = find_sph2wav()
    ffmpeg = shutil.which("ffmpeg")
    notes: list[str] = []
    calls = (args.dir or HERE / "out") / "segment-calls" / f"{files}x{args.seconds}s-v1"
    (args.dir or HERE / "out").mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench_segments-", dir=args.dir or HERE / "out") as tmp:
        work = Path(tmp)
        made = time.perf_counter()
        shortened, pcm = make_calls(calls, files, args.seconds)
        print(f"made {files} calls of {args.seconds} s in {time.perf_counter() - made:.1f} s", file=sys.stderr)
        segments = segments_of(files, per_file, args.seconds)

        # Correctness first: both codings decode to the same audio's codes,
        # and a sample of segments from each tool matches the module.
        whole = {}
        for kind, paths in (("shn", shortened), ("pcm", pcm)):
            for i, path in enumerate(paths[:2]):
                whole[kind, i] = np.frombuffer(korrin_native.decode_pcm(path.read_bytes()), dtype="<i2").reshape(
                    -1, CHANNELS
                )
        ffmpeg_off_by = set()
        for f, channel, start, end in [s for s in segments if s[0] < 2][:: max(1, per_file // 10)]:
            b, e = nearest_frame(start), nearest_frame(end)
            for kind, paths in (("shn", shortened), ("pcm", pcm)):
                got = wav_data(run_to_pipe(sph2wav_command(tool, paths[f], channel, start, end)))
                if got != whole[kind, f][b:e, channel - 1].tobytes():
                    sys.exit(f"bench_segments: sph2wav's segment {start}:{end} of {paths[f].name} is wrong")
            if ffmpeg:
                got = np.frombuffer(
                    wav_data(run_to_pipe(ffmpeg_command(ffmpeg, pcm[f], channel, start, end))), dtype="<i2"
                )
                want = whole["pcm", f][:, channel - 1]
                # Where does ffmpeg's segment sit in the whole channel?
                for shift in range(-2, 3):
                    if np.array_equal(got[:50], want[b + shift : b + shift + 50]):
                        ffmpeg_off_by.add((shift, len(got) - (e - b)))
                        break
                else:
                    ffmpeg_off_by.add(("no match", len(got) - (e - b)))
        if ffmpeg:
            notes.append(
                "ffmpeg's segments against the nearest frames, (start shift, length difference) in frames: "
                + ", ".join(str(x) for x in sorted(ffmpeg_off_by, key=str))
            )

        commands = {
            "sph2wav, Shorten mu-law": lambda f, *a: sph2wav_command(tool, shortened[f], *a),
            "sph2wav, PCM": lambda f, *a: sph2wav_command(tool, pcm[f], *a),
        }
        if ffmpeg:
            commands["ffmpeg, PCM"] = lambda f, *a: ffmpeg_command(ffmpeg, pcm[f], *a)
        else:
            notes.append("ffmpeg not found: no baseline")
        tools = list(commands)
        segment_wall = {name: 0.0 for name in tools}
        segment_cpu = {name: 0.0 for name in tools}
        for k, (f, channel, start, end) in enumerate(segments):
            for name in tools[k % len(tools) :] + tools[: k % len(tools)]:
                wall, cpu = timed(lambda: run_to_pipe(commands[name](f, channel, start, end)))
                segment_wall[name] += wall
                segment_cpu[name] += cpu

        # A whole file to a pipe against the same to a file.
        whole_cases = {}
        for kind, path in (("Shorten mu-law", shortened[0]), ("PCM", pcm[0])):
            whole_cases[f"{kind}: -o - into a pipe"] = lambda p=path: run_to_pipe([str(tool), "-o", "-", str(p)])
            out_dir = work / f"out-{kind[:3]}"

            def to_file(p=path, d=out_dir) -> None:
                shutil.rmtree(d, ignore_errors=True)
                d.mkdir()
                subprocess.run([str(tool), "-q", str(p), "-o", str(d / "x.wav")], check=True)

            whole_cases[f"{kind}: -o FILE"] = to_file
        whole_times: dict[str, list[float]] = {name: [] for name in whole_cases}
        whole_cpu: dict[str, list[float]] = {name: [] for name in whole_cases}
        names = list(whole_cases)
        for r in range(reps):
            for name in names[r % len(names) :] + names[: r % len(names)]:
                wall, cpu = timed(whole_cases[name])
                whole_times[name].append(wall)
                whole_cpu[name].append(cpu)

    count = len(segments)
    rows = []
    for name in tools:
        row = {
            "case": name,
            "segments": count,
            "wall_s": segment_wall[name],
            "cpu_s": segment_cpu[name],
            "segments_per_wall_s": count / segment_wall[name],
            "segments_per_cpu_s": count / segment_cpu[name],
        }
        if "ffmpeg, PCM" in segment_wall:
            row["x_ffmpeg_wall"] = segment_wall["ffmpeg, PCM"] / segment_wall[name]
            row["x_ffmpeg_cpu"] = segment_cpu["ffmpeg, PCM"] / segment_cpu[name]
        rows.append(row)
    whole_rows = [
        {
            "case": name,
            "runs": runs,
            "median_s": statistics.median(runs),
            "cpu_runs": whole_cpu[name],
            "median_cpu_s": statistics.median(whole_cpu[name]),
        }
        for name, runs in whole_times.items()
    ]

    print(
        f"segments: {files} calls x {per_file} = {count} segments of 2-10 s, {args.seconds} s calls, "
        f"{CHANNELS} channels at {RATE} Hz; one process per segment, the tools in turn, into a pipe"
    )
    print(f"{'case':<26}{'wall s':>9}{'seg/s':>9}{'x ffmpeg':>10}{'CPU s':>9}{'seg/CPU s':>11}{'x ffmpeg':>10}")
    for row in rows:
        print(
            f"{row['case']:<26}{row['wall_s']:>9.2f}{row['segments_per_wall_s']:>9.1f}"
            f"{row.get('x_ffmpeg_wall', 0):>10.2f}{row['cpu_s']:>9.2f}{row['segments_per_cpu_s']:>11.1f}"
            f"{row.get('x_ffmpeg_cpu', 0):>10.2f}"
        )
    print(f"whole file ({args.seconds} s call), median of {reps}:{'wall ms':>21}{'CPU ms':>10}")
    for row in whole_rows:
        print(f"  {row['case']:<38}{row['median_s'] * 1000:>9.2f}{row['median_cpu_s'] * 1000:>10.2f}")
    for kind in ("Shorten mu-law", "PCM"):
        pipe, file = f"{kind}: -o - into a pipe", f"{kind}: -o FILE"
        print(
            f"  {kind}: pipe / file = {statistics.median(whole_times[pipe]) / statistics.median(whole_times[file]):.2f}"
            f" (wall), {statistics.median(whole_cpu[pipe]) / statistics.median(whole_cpu[file]):.2f} (CPU)"
        )
    for note in notes:
        print(note)

    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(
        json.dumps(
            {
                "benchmark": "sph2wav segments",
                "files": files,
                "segments_per_file": per_file,
                "call_seconds": args.seconds,
                "machine": {"cores": os.cpu_count(), "platform": platform.platform()},
                "segments": rows,
                "whole_file": whole_rows,
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

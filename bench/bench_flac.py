"""sph2wav --flac on corpora of each coding, against converting to WAV and
then running Debian's flac per file.

    python bench/bench_flac.py [--quick] [--files N] [--seconds S] [--jobs N] [--level L]
                               [--reps N] [--dir DIR] [--json PATH]

For each coding (16-bit PCM of both byte orders, 32-bit PCM, mu-law, A-law,
Shorten with DIFF blocks and with QLPC blocks; speech-like audio at 16 kHz,
mono and stereo in turn) it makes N files of S seconds and reports:

  size     the FLAC output as a share of the SPHERE input and of the WAV;
           and the FLAC audio frames against those Debian's `flac -LEVEL`
           writes for the same WAV (metadata blocks left out: the two
           write different tags, padding and seek tables). They must be
           equal byte for byte, or libFLAC is driven differently.
  speed    files/s of `sph2wav --flac -LEVEL -j N` (and with --no-verify)
           against the two-step path: `sph2wav -j N` to WAV, then
           `flac -LEVEL` on each WAV, N at a time (flac does not verify by
           default; `flac -V` is timed too).

Every FLAC file is decoded (flac -d) and compared with korrin_native's
decode_pcm before anything is timed. Times are medians of --reps rounds,
the cases taking turns, by the CPU time (user + system) of the processes
each case runs, or with --clock wall by the wall clock; files/s by CPU
time is per core. The real files beside the checkout
(../shared/testdata/sphere) get a size row when present.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import numpy as np

import korrin_native

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from inputs import (  # noqa: E402
    ShortenParams,
    alaw_table,
    encode_shorten,
    sphere_header,
    sphere_pcm,
    sphere_shorten,
    sphere_ulaw,
    synth_speechlike,
    ulaw_encode,
)

RATE = 16000
SHARED = HERE.parent.parent / "shared" / "testdata" / "sphere"


def alaw_encode(samples: np.ndarray) -> np.ndarray:
    """A-law codes whose expansions are nearest to `samples`."""
    table = alaw_table().astype(np.int32)
    order = np.argsort(table)
    sorted_values = table[order]
    x = samples.astype(np.int32)
    i = np.clip(np.searchsorted(sorted_values, x), 1, 255)
    nearer_left = (x - sorted_values[i - 1]) <= (sorted_values[i] - x)
    return order[np.where(nearer_left, i - 1, i)].astype(np.uint8)


def sphere_alaw(codes: np.ndarray) -> bytes:
    frames, channels = codes.shape
    return (
        sphere_header(
            [
                ("sample_count", "i", frames),
                ("sample_rate", "i", RATE),
                ("channel_count", "i", channels),
                ("sample_n_bytes", "i", 1),
                ("sample_coding", "s", "alaw"),
            ]
        )
        + codes.tobytes()
    )


def sphere_pcm32(samples: np.ndarray, seed: int) -> bytes:
    """32-bit PCM: the 16-bit audio in the top bits, 8 more bits of noise below."""
    frames, channels = samples.shape
    rng = np.random.default_rng(seed)
    wide = (samples.astype(np.int64) << 16) + rng.integers(-128, 128, samples.shape) * 256
    return (
        sphere_header(
            [
                ("sample_count", "i", frames),
                ("sample_rate", "i", RATE),
                ("channel_count", "i", channels),
                ("sample_n_bytes", "i", 4),
                ("sample_byte_format", "s", "01"),
                ("sample_coding", "s", "pcm"),
            ]
        )
        + np.clip(wide, -(2**31), 2**31 - 1).astype("<i4").tobytes()
    )


def make_file(coding: str, frames: int, channels: int, seed: int) -> bytes:
    audio = synth_speechlike(frames, channels, RATE, seed)
    if coding == "pcm16_le":
        return sphere_pcm(audio, RATE)
    if coding == "pcm16_be":
        return sphere_pcm(audio, RATE, big_endian=True)
    if coding == "pcm32":
        return sphere_pcm32(audio, seed)
    if coding == "ulaw":
        return sphere_ulaw(ulaw_encode(audio), RATE)
    if coding == "alaw":
        return sphere_alaw(alaw_encode(audio))
    params = ShortenParams(5, lpc=False) if coding == "shorten_diff" else ShortenParams(3, lpc=True)
    return sphere_shorten(encode_shorten(audio, RATE, params), frames, channels, RATE)


CODINGS = ("pcm16_le", "pcm16_be", "pcm32", "ulaw", "alaw", "shorten_diff", "shorten_lpc")


def flac_frames(flac: bytes) -> bytes:
    """The audio frames of a FLAC file: everything after its metadata blocks."""
    assert flac[:4] == b"fLaC"
    at = 4
    while True:
        last, length = flac[at] & 0x80, int.from_bytes(flac[at + 1 : at + 4], "big")
        at += 4 + length
        if last:
            return flac[at:]


def run(argv: list[str]) -> None:
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def two_step(sph2wav: str, flac: str, src: Path, out: Path, jobs: int, level: int, verify: bool) -> None:
    run([sph2wav, "-q", "-j", str(jobs), str(src), "-o", str(out)])
    extra = ["-V"] if verify else []
    wavs = sorted(out.rglob("*.wav"))
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(
            pool.map(
                lambda w: run([flac, f"-{level}", *extra, "-s", "-f", "-o", str(w.with_suffix(".flac")), str(w)]), wavs
            )
        )


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def sizes(directory: Path, suffix: str) -> int:
    return sum(p.stat().st_size for p in directory.rglob(f"*{suffix}"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="10 files per coding, 2 rounds")
    parser.add_argument("--files", type=int, help="files per coding (default 100)")
    parser.add_argument(
        "--seconds",
        type=float,
        default=1.5,
        help="length of each file (default 1.5: about the 30 kB of the corpus benchmark)",
    )
    parser.add_argument("--jobs", type=int, default=2, help="parallelism of both paths (default 2)")
    parser.add_argument("--level", type=int, default=5, help="FLAC level of both paths (default 5)")
    parser.add_argument("--reps", type=int, help="timing rounds (default 5)")
    parser.add_argument(
        "--clock",
        choices=("wall", "cpu"),
        default="cpu",
        help="time by wall clock, or by the CPU time of the processes run (default: "
        "cpu, steadier on a shared machine; both paths run in child processes)",
    )
    parser.add_argument("--dir", type=Path, help="where to make the temporary corpora")
    parser.add_argument("--json", type=Path, default=HERE / "out" / "bench_flac.json")
    args = parser.parse_args()
    files = args.files or (10 if args.quick else 100)
    seconds = args.seconds
    reps = args.reps or (2 if args.quick else 5)

    sph2wav = str(Path(sysconfig.get_path("scripts")) / "sph2wav")
    if not Path(sph2wav).is_file():
        sph2wav = shutil.which("sph2wav") or sys.exit("bench_flac: sph2wav is not installed")
    flac = shutil.which("flac") or sys.exit("bench_flac: Debian's flac is needed (apt-get install flac)")
    flac_version = subprocess.run([flac, "--version"], capture_output=True, text=True).stdout.strip()

    results = {
        "files": files,
        "seconds": seconds,
        "clock": args.clock,
        "jobs": args.jobs,
        "level": args.level,
        "machine": f"{platform.processor() or platform.machine()}, {platform.system()} {platform.release()}",
        "flac": flac_version,
        "codings": {},
    }
    with tempfile.TemporaryDirectory(prefix="bench_flac-", dir=args.dir) as tmp:
        work = Path(tmp)
        corpora = {coding: work / coding / "src" for coding in CODINGS}
        frames = int(seconds * RATE)
        for n, coding in enumerate(CODINGS):
            for i in range(files):
                path = corpora[coding] / f"f{i:04}.sph"
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(make_file(coding, frames, 1 + i % 2, seed=100 * n + i))
        if SHARED.is_dir() and any(SHARED.glob("*.sph")):
            corpora["real files"] = SHARED

        print(
            f"bench_flac: {files} files of {seconds:g} s per coding, level {args.level}, -j {args.jobs}, "
            f"{args.clock} clock; {flac_version}"
        )
        header = (
            f"{'coding':14} {'FLAC/SPHERE':>11} {'FLAC/WAV':>9} {'frames = flac':>13} "
            f"{'files/s':>8} {'no-verify':>9} {'2-step':>8} {'2-step -V':>9} {'speed-up':>8}"
        )
        print(header)
        for coding, src in corpora.items():
            base = work / coding.replace(" ", "_")
            ours, wav = base / "ours", base / "wav"
            run([sph2wav, "-q", f"-{args.level}", "--flac", "-j", str(args.jobs), str(src), "-o", str(ours)])
            two_step(sph2wav, flac, src, wav, args.jobs, args.level, verify=False)
            # Correctness first: the samples, and the frames against flac's own.
            same_frames = True
            for sph in sorted(src.rglob("*.sph")):
                mine = (ours / sph.relative_to(src)).with_suffix(".flac").read_bytes()
                theirs = (wav / sph.relative_to(src)).with_suffix(".flac").read_bytes()
                decoded = subprocess.run(
                    [flac, "-d", "-s", "-c", "--force-raw-format", "--endian=little", "--sign=signed", "-"],
                    input=mine,
                    capture_output=True,
                    check=True,
                )
                if decoded.stdout != korrin_native.decode_pcm(sph.read_bytes()):
                    sys.exit(f"bench_flac: {sph} does not decode to the samples of decode_pcm")
                same_frames &= flac_frames(mine) == flac_frames(theirs)
            row = {
                "sphere_bytes": sizes(src, ".sph"),
                "wav_bytes": sizes(wav, ".wav"),
                "flac_bytes": sizes(ours, ".flac"),
                "flac_cli_bytes": sizes(wav, ".flac"),
                "frames_equal_to_flac": same_frames,
                "files": len(list(src.rglob("*.sph"))),
            }

            timed = coding != "real files"
            if timed:
                cases = {
                    "ours": lambda o: run(
                        [sph2wav, "-q", f"-{args.level}", "--flac", "-j", str(args.jobs), str(src), "-o", str(o)]
                    ),
                    "ours_no_verify": lambda o: run(
                        [
                            sph2wav,
                            "-q",
                            f"-{args.level}",
                            "--flac",
                            "--no-verify",
                            "-j",
                            str(args.jobs),
                            str(src),
                            "-o",
                            str(o),
                        ]
                    ),
                    "two_step": lambda o: two_step(sph2wav, flac, src, o, args.jobs, args.level, False),
                    "two_step_verify": lambda o: two_step(sph2wav, flac, src, o, args.jobs, args.level, True),
                }
                times: dict[str, list[float]] = {name: [] for name in cases}
                names = list(cases)
                for r in range(reps):
                    for name in names[r % len(names) :] + names[: r % len(names)]:
                        out = base / f"t{r}_{name}"
                        clock = time.perf_counter if args.clock == "wall" else children_cpu
                        start = clock()
                        cases[name](out)
                        times[name].append(clock() - start)
                        shutil.rmtree(out)
                rate = {name: row["files"] / statistics.median(t) for name, t in times.items()}
                row["files_per_s"] = rate
                row["speed_up"] = rate["ours"] / rate["two_step"]
            results["codings"][coding] = row
            speed = (
                f"{rate['ours']:8.0f} {rate['ours_no_verify']:9.0f} {rate['two_step']:8.0f} "
                f"{rate['two_step_verify']:9.0f} {row['speed_up']:7.2f}x"
                if timed
                else ""
            )
            print(
                f"{coding:14} {row['flac_bytes'] / row['sphere_bytes']:11.3f} "
                f"{row['flac_bytes'] / row['wav_bytes']:9.3f} {'yes' if same_frames else 'NO':>13} {speed}"
            )

    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=2))
    print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

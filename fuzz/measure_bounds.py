#!/usr/bin/env python3
"""Measures time and peak memory of the module on the worst-case streams.

    python fuzz/measure_bounds.py OUTDIR [NAME ...]

Builds each case of worst_cases.py into OUTDIR (unless already there), then
runs shorten_to_pcm on it (or, for a name written "transcode:NAME",
transcode on a SPHERE file holding it) in a fresh interpreter under /usr/bin/time -v and
prints one Markdown table row per case: input size, outcome, output size,
wall and CPU time, peak RSS, and the RSS of the same interpreter after it
has only read the input (so the difference is what the decode itself took).
"""

import pathlib
import re
import subprocess
import sys

import worst_cases

CODE = r"""
import sys, korrin_native as kn
data = open(sys.argv[1], "rb").read()
if sys.argv[2] == "decode":
    try:
        channels, ulaw, pcm = kn.shorten_to_pcm(data)
        print("ok", len(pcm))
    except ValueError as error:
        print("error", error)
elif sys.argv[2] == "transcode":
    # The same stream as the payload of a SPHERE file that declares every
    # sample it holds, through the whole pipeline to a WAV file.
    frames = int(sys.argv[3])
    lines = ["NIST_1A", "   1024", f"sample_count -i {frames}", "sample_rate -i 16000",
             "channel_count -i 1", "sample_n_bytes -i 2", "sample_coding -s26 pcm,embedded-shorten-v2.00",
             "end_head"]
    head = ("\n".join(lines) + "\n").encode()
    sph = head + b" " * (1024 - len(head)) + data
    del data
    try:
        print("ok", len(kn.transcode(sph)))
    except ValueError as error:
        print("error", error)
"""


def run(path, mode, *extra):
    result = subprocess.run(
        ["/usr/bin/time", "-v", sys.executable, "-c", CODE, str(path), mode, *extra],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    stats = dict(re.findall(r"^\s*(.+?): (.+)$", result.stderr, re.M))
    wall = stats["Elapsed (wall clock) time (h:mm:ss or m:ss)"]
    parts = [float(p) for p in wall.split(":")]
    seconds = sum(p * 60**i for i, p in enumerate(reversed(parts)))
    cpu = float(stats["User time (seconds)"]) + float(stats["System time (seconds)"])
    rss = int(stats["Maximum resident set size (kbytes)"]) / 1024
    return result.stdout.strip(), seconds, cpu, rss


def main(argv):
    out = pathlib.Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    print("| case | input | outcome | output | wall s | CPU s | peak RSS MiB | RSS after reading only MiB |")
    print("|---|---|---|---|---|---|---|---|")
    names = argv[2:] or [*worst_cases.CASES, "transcode:max_decoded_length"]
    for name in names:
        mode, _, case = name.rpartition(":")
        mode = mode or "decode"
        path = out / f"{case}.shn"
        if not path.exists():
            path.write_bytes(worst_cases.stream(worst_cases.CASES[case]))
        extra = [str(worst_cases.MAX_SAMPLES)] if mode == "transcode" else []
        outcome, wall, cpu, rss = run(path, mode, *extra)
        _, _, _, base = run(path, "read")
        size = path.stat().st_size
        if outcome.startswith("ok "):
            shown, output = "ok", f"{int(outcome.split()[1]):,} B"
        else:
            shown, output = outcome.removeprefix("error "), "-"
        print(
            f"| {name} | {size:,} B | {shown} | {output} | {wall:.2f} | {cpu:.2f} | {rss:.0f} | {base:.0f} |",
            flush=True,
        )


if __name__ == "__main__":
    main(sys.argv)

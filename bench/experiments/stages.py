"""The shares of a Shorten decoding profile by stage, from `perf record`
files of bench/experiments/drive.py (see PROFILE.md):

    python bench/experiments/stages.py perf.data [perf.data ...]

Symbols are grouped by the stage they belong to: the grouped reader (the
codes' words and counts, and the careful reader between blocks), forming
the Rice values from them, restoring the signal, the pass to 16 bits
(with the block mean's sum), the interleave (with the mu-law expansion),
the block means, and the kernel (page faults of the output, scheduling).
"""

import collections
import re
import subprocess
import sys


def stage(sym, kernel):
    if kernel:
        return "kernel (page faults, scheduling)"
    s = sym
    if "form_values" in s:
        return "Rice values"
    if any(k in s for k in ("take_grouped", "BitReader::uvar", "var_block", "refill", "BitReader::var")):
        return "reader"
    if any(k in s for k in ("restore_", "lpc_unchecked", "lpc_bound", "transposed", "lpc_vector")):
        return "restore"
    if any(k in s for k in ("gather", "SampleConverter")):
        return "to 16 bits (+ sum)"
    if any(
        k in s
        for k in ("interleave", "expand_pair", "expand_avx2", "expand_ulaw", "FrameOutput::flush", "Pending", "memmove")
    ):
        return "interleave (+ mu-law)"
    if any(k in s for k in ("complete_block", "MeanWindow", "running_mean")):
        return "block means"
    return "other (call, header, Python)"


for f in sys.argv[1:]:
    out = subprocess.run(
        ["perf", "report", "-i", f, "--stdio", "--sort", "symbol"], capture_output=True, text=True
    ).stdout
    acc = collections.Counter()
    for line in out.splitlines():
        m = re.match(r"\s+([\d.]+)%\s+\[(.)\]\s+(.*)", line)
        if m:
            acc[stage(m.group(3), m.group(2) == "k")] += float(m.group(1))
    print(f, " | ".join(f"{k} {v:.1f}" for k, v in sorted(acc.items(), key=lambda kv: -kv[1])))

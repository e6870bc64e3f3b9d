"""Peak memory that one call adds, measured in a fresh process.

    python bench/memprobe.py CASE INPUT

Loads INPUT into a bytes object, imports the module, then resets the
kernel's peak-RSS mark (/proc/self/clear_refs, "5") and makes one call. The
figure is the peak resident size during the call minus the resident size
before it, with the input already loaded: what the call itself adds, its
result included (the result is still alive when the peak is read). Prints
one JSON object. Falls back to getrusage's ru_maxrss when the mark cannot be
reset (it then also includes any earlier, larger peak, so it can only
over-state the figure).
"""

from __future__ import annotations

import gc
import json
import re
import resource
import sys
from pathlib import Path


def status_kib(field: str) -> int:
    text = Path("/proc/self/status").read_text()
    return int(re.search(field + r":\s+(\d+)\s+kB", text).group(1))


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    # The mark is now the resident size (give or take the pages that reading
    # the status file itself touched).
    return status_kib("VmHWM") - status_kib("VmRSS") < 256


def main() -> int:
    case, path = sys.argv[1], sys.argv[2]
    data = Path(path).read_bytes()

    if case == "bytes_copy":

        def call():
            return bytes(memoryview(data))
    else:
        import korrin_native as kn

        fn = {"shorten_to_pcm": kn.shorten_to_pcm, "transcode": kn.transcode, "decode_pcm": kn.decode_pcm}[case]

        def call():
            return fn(data)

    gc.collect()
    gc.disable()
    rss_before = status_kib("VmRSS")
    exact = reset_peak()
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = call()
    peak = status_kib("VmHWM") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rss_after = status_kib("VmRSS")
    body = result[2] if isinstance(result, tuple) else result
    added = (peak - rss_before) * 1024
    print(
        json.dumps(
            {
                "case": case,
                "input_bytes": len(data),
                "result_bytes": len(body),
                "rss_before_kib": rss_before,
                "peak_kib": peak,
                "rss_after_kib": rss_after,
                "maxrss_before_kib": maxrss_before,
                "added_bytes": added,
                "ratio_to_result": added / len(body) if body else None,
                "method": "VmHWM reset via clear_refs" if exact else "ru_maxrss (peak not resettable)",
            }
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

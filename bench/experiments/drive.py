"""Calls one module function N times on one input, for a profiler to watch.

    python bench/experiments/drive.py FUNCTION INPUT [N]

FUNCTION is transcode, decode_pcm, shorten_to_pcm, g711_expand (mu-law) or
g711_expand_alaw.
"""

import sys
from pathlib import Path

import korrin_native as kn


def main() -> int:
    name, path = sys.argv[1], sys.argv[2]
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    data = Path(path).read_bytes()
    if name == "g711_expand":
        call = lambda: kn.g711_expand(data, False)  # noqa: E731
    elif name == "g711_expand_alaw":
        call = lambda: kn.g711_expand(data, True)  # noqa: E731
    else:
        fn = getattr(kn, name)
        call = lambda: fn(data)  # noqa: E731
    for _ in range(n):
        result = call()
        del result
    return 0


if __name__ == "__main__":
    sys.exit(main())

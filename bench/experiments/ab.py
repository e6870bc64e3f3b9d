"""A/B timing of two builds of the module on one input, in alternating fresh
processes, so that both meet the same load on a shared machine.

    python bench/experiments/ab.py BUILD_A BUILD_B FUNCTION INPUT [ROUNDS]

BUILD_A and BUILD_B are directories holding a korrin_native shared object
(cmake build directories). Each round runs one process per build, in
alternating order; each process times 5 calls after one warm-up, in CPU
time (user + system: steadier than wall time while other jobs compete for
the cores), and reports its median. Prints the medians over rounds and the median of the
per-round ratios B/A.
"""

import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, sys, time
import korrin_native as kn
data = open(sys.argv[2], "rb").read()
fn = sys.argv[1]
call = (lambda: kn.g711_expand(data, False)) if fn == "g711_expand" else (lambda f=getattr(kn, fn): f(data))
call()
ts = []
for _ in range(int(sys.argv[3])):
    t0 = time.process_time(); r = call(); ts.append(time.process_time() - t0); del r
ts.sort()
print(json.dumps({"median": ts[len(ts) // 2], "best": ts[0], "file": kn.__file__}))
"""


# AB_STAT=best takes each process's fastest call instead of its median: for
# CPU-bound code on a machine whose speed drifts, the fastest call is the
# steadier figure.
STAT = os.environ.get("AB_STAT", "median")


def run(build, fn, path, calls):
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run([sys.executable, "-c", CHILD, fn, path, str(calls)], env=env,
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)[STAT]


def main():
    a, b, fn, path = sys.argv[1:5]
    rounds = int(sys.argv[5]) if len(sys.argv) > 5 else 7
    ta, tb = [], []
    for r in range(rounds):
        if r % 2 == 0:
            ta.append(run(a, fn, path, 5))
            tb.append(run(b, fn, path, 5))
        else:
            tb.append(run(b, fn, path, 5))
            ta.append(run(a, fn, path, 5))
    ratio = statistics.median(y / x for x, y in zip(ta, tb))
    print(f"{fn} {os.path.basename(path)}: A {statistics.median(ta) * 1e3:.1f} ms, "
          f"B {statistics.median(tb) * 1e3:.1f} ms, B/A {ratio:.3f} (median of {rounds} rounds, {STAT} of 5 calls each); "
          f"fastest A {min(ta) * 1e3:.1f} ms, B {min(tb) * 1e3:.1f} ms, B/A {min(tb) / min(ta):.3f}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Calls korrin_native over and over with a mix of good and bad input and
checks that memory stays flat: resident set size, the interpreter's own
allocations (tracemalloc), the number of live objects, and the reference
counts of the arguments.

    python fuzz/memory_loop.py [CALLS]      (default 120000)

Exits 1 with the figures when anything grows; prints them either way.
"""

import gc
import os
import pathlib
import sys
import tracemalloc

import korrin_native as kn

HERE = pathlib.Path(__file__).resolve().parent
# The real recordings, when present: $KORRIN_TESTDATA, else shared/ beside the checkout.
SHARED = pathlib.Path(os.environ.get("KORRIN_TESTDATA") or HERE.parent.parent / "shared" / "testdata") / "sphere"

# Allowed growth after warm-up. The allocator may keep a few arenas or
# pages around; a leak of even one small object per call over 100,000
# calls exceeds these by far.
MAX_RSS_GROWTH = 4 << 20
MAX_TRACED_GROWTH = 256 << 10
MAX_OBJECT_GROWTH = 200

STREAMS = [
    bytes.fromhex("616a6b6702fb7f9333611720"),
    bytes.fromhex("616a6b6702df6db6da6498679ca13dbb590bd124"),
    bytes.fromhex("616a6b67024c5f7999b70d2ad65eb69200"),
]


def sphere(fields, payload=b""):
    lines = ["NIST_1A", "1024"]
    lines += [f"{k} {'-i' if v.lstrip('-').isdigit() else '-s' + str(len(v))} {v}" for k, v in fields.items()]
    head = ("\n".join(lines) + "\nend_head\n").encode()
    return head + b" " * (1024 - len(head)) + payload


def fields(count, channels=1, width=2, coding="pcm", fmt="01"):
    return {
        "sample_count": str(count),
        "sample_rate": "16000",
        "channel_count": str(channels),
        "sample_n_bytes": str(width),
        "sample_coding": coding,
        "sample_byte_format": fmt,
    }


def workload():
    """(function, args, kwargs, outcome) with outcome "ok", ValueError or TypeError."""
    ramp = bytes(range(256)) * 8
    calls = [
        (kn.transcode, (sphere(fields(1024), ramp),), {}, "ok"),
        (kn.decode_pcm, (sphere(fields(512, channels=2, fmt="10"), ramp),), {}, "ok"),
        (kn.transcode, (sphere(fields(2048, width=1, coding="ulaw"), ramp),), {}, "ok"),
        (kn.decode_pcm, (sphere(fields(1024, channels=2, width=1, coding="alaw"), ramp),), {}, "ok"),
        (kn.transcode, (sphere(fields(512, width=4), ramp),), {}, "ok"),
        (kn.transcode, (sphere(fields(4, coding="pcm,embedded-shorten-v2.00"), STREAMS[0]),), {}, "ok"),
        (kn.decode_pcm, (sphere(fields(4, channels=2, coding="pcm,embedded-shorten-v2.00"), STREAMS[1]),), {}, "ok"),
        (kn.shorten_to_pcm, (STREAMS[2],), {}, "ok"),
        (kn.shorten_to_pcm, (), {"stream": STREAMS[1]}, "ok"),
        (kn.g711_expand, (ramp, True), {}, "ok"),
        (kn.g711_expand, (), {"data": ramp, "alaw": False}, "ok"),
        # failures of every layer
        (kn.transcode, (sphere(fields(4096), ramp),), {}, ValueError),  # truncated payload
        (kn.transcode, (b"NIST_1A\n1024\n",), {}, ValueError),  # header claims too much
        (kn.decode_pcm, (b"not a sphere file",), {}, ValueError),
        (kn.decode_pcm, (sphere(fields(4, coding="pcm,embedded-shorten-v2.00"), STREAMS[0][:-1]),), {}, ValueError),
        (kn.transcode, (sphere(fields(8, coding="pcm,embedded-shorten-v2.00"), STREAMS[0]),), {}, ValueError),
        (kn.transcode, (sphere({**fields(1), "channel_count": "65536"}, bytes(2 * 65536)),), {}, ValueError),
        (kn.shorten_to_pcm, (b"ajkg\x03",), {}, ValueError),
        (kn.shorten_to_pcm, (STREAMS[1][:12],), {}, ValueError),
        (kn.shorten_to_pcm, (b"ajkg\x02" + b"\x00" * 64,), {}, ValueError),
        # argument errors
        (kn.transcode, (bytearray(b"NIST_1A"),), {}, TypeError),
        (kn.decode_pcm, (), {"data": b""}, TypeError),
        (kn.shorten_to_pcm, (STREAMS[0], STREAMS[0]), {}, TypeError),
        (kn.g711_expand, (ramp, 1), {}, TypeError),
        (kn.g711_expand, (ramp,), {}, TypeError),
        (kn.g711_expand, (memoryview(ramp), True), {}, TypeError),
    ]
    if SHARED.is_dir():
        for path in sorted(SHARED.glob("*.sph")):
            data = path.read_bytes()
            calls.append((kn.transcode, (data,), {}, "ok"))
            calls.append((kn.decode_pcm, (data[: len(data) // 2],), {}, ValueError))
    return calls


def run(calls, count):
    done = 0
    while done < count:
        for function, args, kwargs, outcome in calls:
            try:
                function(*args, **kwargs)
                got = "ok"
            except (ValueError, TypeError) as error:
                got = type(error)
            if got != outcome:
                sys.exit(f"{function.__name__}: expected {outcome}, got {got}")
            done += 1
    return done


def rss():
    with open(f"/proc/{os.getpid()}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def main():
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 120_000
    calls = workload()
    arguments = [a for _, args, kwargs, _ in calls for a in (*args, *kwargs.values())]

    def refcounts():
        return [sys.getrefcount(a) for a in arguments]

    counts0 = refcounts()

    warm = run(calls, 5_000)
    gc.collect()
    tracemalloc.start()
    rss0, traced0, objects0 = rss(), tracemalloc.get_traced_memory()[0], len(gc.get_objects())
    done = warm + run(calls, total - warm)
    gc.collect()
    rss1, traced1, objects1 = rss(), tracemalloc.get_traced_memory()[0], len(gc.get_objects())
    tracemalloc.stop()

    print(
        f"{done} calls ({len(calls)} kinds, good and bad); after warm-up: "
        f"RSS {rss0 >> 10} -> {rss1 >> 10} KiB, traced {traced0} -> {traced1} B, "
        f"objects {objects0} -> {objects1}"
    )
    problems = []
    if rss1 - rss0 > MAX_RSS_GROWTH:
        problems.append(f"RSS grew by {(rss1 - rss0) >> 10} KiB")
    if traced1 - traced0 > MAX_TRACED_GROWTH:
        problems.append(f"traced Python memory grew by {traced1 - traced0} B")
    if objects1 - objects0 > MAX_OBJECT_GROWTH:
        problems.append(f"{objects1 - objects0} more live objects")
    counts1 = refcounts()
    changed = sum(a != b for a, b in zip(counts0, counts1))
    if changed:
        problems.append(f"reference counts of {changed} arguments changed")
    if problems:
        sys.exit("memory is not flat: " + "; ".join(problems))


if __name__ == "__main__":
    main()

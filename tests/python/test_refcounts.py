"""Calls, good or bad, leave no reference or memory behind."""

from __future__ import annotations

import gc
import sys
import tracemalloc

import numpy as np
import pytest

import korrin_native as kn
from conftest import EXAMPLES, pcm16_fields, sphere_bytes

PCM = sphere_bytes(pcm16_fields(512), bytes(1024))
BAD = sphere_bytes({**pcm16_fields(512), "sample_coding": "flac"}, bytes(1024))
G711 = bytes(range(256)) * 4
STREAM = (EXAMPLES / "shorten_stereo.sph").read_bytes()[1024:]
FLAG = np.True_
NUMBER = int("1000001")  # refused for alaw; a private object, unlike the small ints

# (function, args, kwargs, exception expected or None)
CALLS = [
    (kn.transcode, (PCM,), {}, None),
    (kn.decode_pcm, (), {"sph": PCM}, None),
    (kn.g711_expand, (G711, True), {}, None),
    (kn.g711_expand, (G711,), {"alaw": FLAG}, None),
    (kn.shorten_to_pcm, (STREAM,), {}, None),
    (kn.transcode, (BAD,), {}, ValueError),
    (kn.decode_pcm, (bytearray(PCM),), {}, TypeError),
    (kn.shorten_to_pcm, (b"ajkg\x02",), {}, ValueError),
    (kn.g711_expand, (G711, NUMBER), {}, TypeError),
    (kn.g711_expand, (G711,), {"alaw": True, "x": PCM}, TypeError),
    (kn.transcode, (PCM, PCM), {}, TypeError),
    (kn.transcode, (PCM,), {"sph": PCM}, TypeError),
]


def call(function, args, kwargs, expected):
    try:
        function(*args, **kwargs)
    except Exception as error:
        if expected is None or type(error) is not expected:
            raise


@pytest.mark.parametrize("function, args, kwargs, expected", CALLS)
def test_no_references_or_memory_left_behind(function, args, kwargs, expected):
    # True and False are shared (and immortal from 3.12 on): not worth counting.
    inputs = [x for x in (*args, *kwargs.values()) if not isinstance(x, bool)]
    for _ in range(200):
        call(function, args, kwargs, expected)
    gc.collect()
    references = [sys.getrefcount(x) for x in inputs]

    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        for _ in range(5000):
            call(function, args, kwargs, expected)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()

    assert [sys.getrefcount(x) for x in inputs] == references
    # A leak of one small object per call would be 5000 of them.
    growth = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert growth < 64 * 1024


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_process_memory_stays_flat():
    # Native buffers (the core's) are invisible to tracemalloc: watch the
    # resident size over many calls whose results are 64 KiB each.
    big = sphere_bytes(pcm16_fields(32768), bytes(65536))
    for _ in range(200):
        kn.transcode(big)
    start = resident_bytes()
    for _ in range(10000):
        kn.transcode(big)
        kn.decode_pcm(big)
        kn.g711_expand(G711 * 32, False)
    assert resident_bytes() - start < 8 * 1024 * 1024

"""Shorten checkpoints: a read that goes on from a state kept by an earlier
decode gives what decoding the stream from its start gives, on every stream
of the test set, for spans at every state's frame."""

from __future__ import annotations

import os
import random
import sys
from pathlib import Path

import numpy as np
import pytest

import korrin
from conftest import EXAMPLES, SHARED_SPHERE
from korrin import _native
from test_shorten import SETTINGS, real_format_stream
from test_shorten_v1 import CASES, encode_case, shorten_sphere

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"


def streams():
    """(name, SPHERE file) for every stream: the encoder's of every setting
    (block sizes that change mid-stream, bit shifts, means, mu-law) and of
    both versions, the examples', the real ones, and the fuzz seeds that
    decode."""
    for i, (sample_type, channels, blocksize, maxnlpc, nmean, shifts, amplitude) in enumerate(SETTINGS):
        values = enc.speech_like_values(2000 + 300 * i, channels, i, amplitude=amplitude)
        stream = enc.encode(
            values,
            sample_type=sample_type,
            blocksize=blocksize,
            maxnlpc=maxnlpc,
            nmean=nmean,
            nskip=i % 3,
            seed=i,
            bitshifts=shifts,
            blocksizes=(1, 7, blocksize, 500),
        )
        base = "ulaw" if sample_type == 8 else "pcm"
        yield f"setting-{i}", shorten_sphere(stream.data, len(values), channels, "embedded-shorten-v2.00", base)
    values = enc.speech_like_values(4000, 2, 11)
    values[1000:2000] = 0
    stream = enc.encode(values, blocksize=64, maxnlpc=4, nmean=2, seed=11, bitshifts=(0, 1), blocksizes=(16, 64))
    yield "every-command", shorten_sphere(stream.data, 4000, 2, "embedded-shorten-v2.00")
    # Bit shifts that change while block means are kept: a state holds the
    # means as the stream scales them.
    for sample_type in (3, 5, 8):
        stream = real_format_stream(20 + sample_type, sample_type)
        frames = len(stream.pcm) // 2 // stream.channels
        yield (
            f"shifted-means-{sample_type}",
            shorten_sphere(
                stream.data, frames, stream.channels, "embedded-shorten-v2.00", "ulaw" if sample_type == 8 else "pcm"
            ),
        )
    for case in CASES:
        stream = encode_case(case)
        frames = len(stream.pcm) // 2 // stream.channels
        yield case[0], shorten_sphere(stream.data, frames, stream.channels, "embedded-shorten-v1.09")
    for path in sorted(EXAMPLES.glob("*shorten*.sph")) + sorted(SHARED_SPHERE.glob("*shn*.sph")):
        yield path.name, path.read_bytes()
    # The fuzzing corpus, where the tree has it (a Debian 11 root gets the
    # tests alone).
    corpus = FUZZ / "corpus" / "shorten"
    for path in sorted(corpus.iterdir()) if corpus.is_dir() else []:
        data = path.read_bytes()
        try:
            channels, _, pcm = __import__("korrin_native").shorten_to_pcm(data)
        except ValueError:
            continue
        if pcm:
            yield (
                f"fuzz-{path.name}",
                shorten_sphere(data, len(pcm) // 2 // channels, channels, "embedded-shorten-v2.00"),
            )


TEST_SET = dict(streams())


@pytest.fixture
def every_round():
    """States kept at every round of blocks, in a store emptied before and after."""
    _native._checkpoint_cache(True, 1, "")
    yield
    _native._checkpoint_cache(True, 0, "")


def frames_of(path: Path) -> list[int]:
    return _native._checkpoint_cache(False, None, str(path))[4]


@pytest.mark.parametrize("name", TEST_SET)
def test_reads_from_every_state_equal_a_decode_from_the_start(name, tmp_path, every_round):
    data = TEST_SET[name]
    path = tmp_path / "x.sph"
    path.write_bytes(data)
    whole, _ = korrin.read(data, dtype="int16", always_2d=True)  # from bytes: no states
    frames, channels = whole.shape
    assert not frames_of(path)
    first, _ = korrin.read(path, dtype="int16", always_2d=True)
    np.testing.assert_array_equal(first, whole)
    states = frames_of(path)
    assert states and states == sorted(set(states)) and states[-1] <= frames
    rng = random.Random(name)
    for state in states:
        for start, stop in [
            (state - 1, state + 1),
            (state, state + rng.randrange(1, 300)),
            (state + 1, None),
            (state, state),
            (max(0, state - rng.randrange(1, 50)), state),
        ]:
            start = max(0, start)
            channel = rng.randrange(channels)
            got, _ = korrin.read(path, start=start, stop=stop, dtype="int16", always_2d=True)
            np.testing.assert_array_equal(got, whole[start:stop], err_msg=f"{start}:{stop}")
            got, _ = korrin.read(path, start=start, stop=stop, dtype="float32", channel=channel)
            np.testing.assert_array_equal(got, whole[start:stop, channel] / np.float32(32768))
    spans = [(s, s + 17, rng.randrange(channels)) for s in states[::-1]]
    for (start, stop, channel), got in zip(spans, korrin.read_segments(path, spans, dtype="int16")):
        np.testing.assert_array_equal(got, whole[start:stop, channel])
    assert frames_of(path) == states  # nothing new: every state was known


def test_a_changed_file_is_a_new_file(tmp_path):
    """The store is keyed by the file as it is: the same path rewritten with
    another stream never resumes from the old one's states."""
    one = TEST_SET["every-command"]
    other = TEST_SET["setting-0"]
    path = tmp_path / "x.sph"
    path.write_bytes(one)
    korrin.read(path)
    path.write_bytes(other)
    expected, _ = korrin.read(other, start=1500, dtype="int16")
    got, _ = korrin.read(path, start=1500, dtype="int16")
    np.testing.assert_array_equal(got, expected)


def test_the_store_counts_what_it_holds(tmp_path, every_round):
    files, _, used, limit, _ = _native._checkpoint_cache(False, None, "")
    assert (files, used) == (0, 0) and limit == 64 << 20
    long_call = shorten_sphere(enc.repeated_stream(400, 2, blocksize=251), 400 * 251, 2, "embedded-shorten-v2.00")
    for i in range(3):
        (tmp_path / f"{i}.sph").write_bytes(long_call)
        korrin.read(tmp_path / f"{i}.sph", stop=10)  # reads a round, keeps its state
    files, states, used, limit, _ = _native._checkpoint_cache(False, None, "")
    assert files == 3 and states == 3 and 0 < used < limit


@pytest.mark.parametrize("replace", ["in place", "unlink and create"])
def test_a_file_replaced_with_its_size_and_times_is_read_anew(tmp_path, every_round, replace):
    """Other bytes of the same size under the same path, with the old
    modification time put back (cp -p, os.utime): never the old states,
    neither for spans nor after a whole read."""
    one, other = (
        shorten_sphere(enc.repeated_stream(30, 2, seed=seed), 30 * 4091, 2, "embedded-shorten-v2.00") for seed in (1, 2)
    )
    assert len(one) == len(other) and one != other
    expected, _ = korrin.read(other, dtype="int16")
    path = tmp_path / "x.sph"
    path.write_bytes(one)
    korrin.read(path, dtype="int16")
    assert len(frames_of(path)) > 10
    before = os.stat(path)
    if replace == "unlink and create":
        path.unlink()
    path.write_bytes(other)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    spans = [(20000, 20100), (60000, None), (4091 * 17 + 3, 4091 * 18)]
    for _ in range(2):  # from states kept before the change, then from those of a whole read
        for start, stop in spans:
            got, _ = korrin.read(path, start=start, stop=stop, dtype="int16")
            np.testing.assert_array_equal(got, expected[start:stop], err_msg=f"{replace} {start}:{stop}")
        whole, _ = korrin.read(path, dtype="int16")
        np.testing.assert_array_equal(whole, expected)

"""The module object and its four functions, end to end on real files."""

from __future__ import annotations

import hashlib
import importlib
import inspect
import os
import shutil
import struct
import subprocess
import sys

import make_examples
import numpy as np
import pytest

import korrin_native as kn
from conftest import EXAMPLES, SHARED_SPHERE, VERSION, needs_real_files, pcm16_fields, sphere_bytes

FUNCTIONS = ["transcode", "decode_pcm", "shorten_to_pcm", "g711_expand"]


def test_module_attributes():
    assert kn.__version__ == VERSION
    assert kn.__doc__ == ""
    assert kn.__all__ == ["__version__", *FUNCTIONS]
    assert type(kn.__all__) is list
    for name in FUNCTIONS:
        function = getattr(kn, name)
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__name__ == name
        assert function.__self__ is kn
        assert function.__module__ == "korrin_native"
    assert not hasattr(kn, "PanicException")


SIGNATURES = {
    "transcode": ("(sph)", "Transcode a NIST SPHERE file (bytes) to RIFF/WAV bytes."),
    "decode_pcm": ("(sph)", "Decode the payload to interleaved little-endian PCM (the WAV data chunk)."),
    "shorten_to_pcm": (
        "(stream)",
        "Codec-level kernels, so the Python streaming API accelerates too. These do\n"
        "the heavy number-crunching only and return PCM bytes; the Python codecs keep\n"
        "their (typed) header cross-checks around these.\n"
        "Decode an embedded-shorten stream to LE 16-bit PCM (no header cross-checks).\n"
        "Returns `(channel_count, is_ulaw, pcm_bytes)`.",
    ),
    "g711_expand": ("(data, alaw)", "Expand G.711 companded bytes to LE 16-bit PCM (`alaw` = a-law, else mu-law)."),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstrings_and_signatures(name):
    function = getattr(kn, name)
    text_signature, doc = SIGNATURES[name]
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc
    parameters = inspect.signature(function).parameters.values()
    assert "(" + ", ".join(p.name for p in parameters) + ")" == text_signature
    assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_reimport_yields_the_same_module_as_it_is():
    kn.added_by_test = 1
    try:
        del sys.modules["korrin_native"]
        again = importlib.import_module("korrin_native")
        assert again is kn
        assert again.added_by_test == 1
        assert importlib.reload(kn) is kn
    finally:
        sys.modules["korrin_native"] = kn
        del kn.added_by_test


SUBINTERPRETER = """
import os, sys, _testcapi
import korrin_native
r, w = os.pipe()
code = '''
import os
try:
    import korrin_native
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
os.write({w}, outcome.encode())
'''.format(w=w)
print(_testcapi.run_in_subinterp(code))
os.close(w)
print(os.read(r, 1000).decode())
"""


def test_import_in_a_subinterpreter_fails():
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    status, outcome = result.stdout.splitlines()
    assert status == "0"
    assert outcome == (
        "ImportError: korrin_native does not support subinterpreters: "
        "it can be imported only in the interpreter that imported it first"
    )


class Bytes(bytes):
    pass


# G.711 expansion computed here from the ITU-T rules, as an oracle.
def ulaw_value(code):
    u = ~code & 0xFF
    t = ((u & 0x0F) * 8 + 132) << ((u >> 4) & 7)
    return t - 132 if code & 0x80 else 132 - t


def alaw_value(code):
    a = code ^ 0x55
    segment, mantissa = (a >> 4) & 7, a & 0x0F
    t = mantissa * 16 + 8 if segment == 0 else (mantissa * 16 + 264) << (segment - 1)
    return t if code & 0x80 else -t


@pytest.mark.parametrize("alaw, rule", [(False, ulaw_value), (True, alaw_value)])
def test_g711_expand_every_code(alaw, rule):
    table = np.array([rule(c) for c in range(256)], dtype="<i2")
    codes = np.random.default_rng(7).integers(0, 256, 100_003, dtype=np.uint8)
    for data in (bytes(range(256)), codes.tobytes(), b""):
        expected = table[np.frombuffer(data, np.uint8)].tobytes()
        assert kn.g711_expand(data, alaw) == expected
        assert kn.g711_expand(data=data, alaw=alaw) == expected
        assert kn.g711_expand(Bytes(data), np.bool_(alaw)) == expected


@pytest.mark.parametrize(
    "alaw, expected",
    [
        (True, b"\x80\x15"),
        (False, b"\x7c\x7d"),
        (np.True_, b"\x80\x15"),
        (np.False_, b"\x7c\x7d"),
    ],
)
def test_g711_flag_values(alaw, expected):
    assert kn.g711_expand(b"\x80", alaw) == expected


def samples(pcm: bytes, width: int = 2) -> list[int]:
    return list(struct.unpack(f"<{len(pcm) // width}{'h' if width == 2 else 'i'}", pcm))


def wav_fields(wav: bytes):
    riff, size, wave, fmt, fmt_size, tag, channels, rate, byte_rate, align, bits, data, data_size = struct.unpack(
        "<4sI4s4sIHHIIHH4sI", wav[:44]
    )
    assert (riff, wave, fmt, fmt_size, tag, data) == (b"RIFF", b"WAVE", b"fmt ", 16, 1, b"data")
    assert size == len(wav) - 8 and data_size == len(wav) - 44
    assert byte_rate == rate * align and align == channels * bits // 8
    return channels, rate, bits


# file: (channels, the largest difference from the source signal)
EXAMPLE_FILES = {
    "pcm16_le_mono.sph": (1, 0),
    "pcm16_be_stereo.sph": (2, 0),
    "shorten_stereo.sph": (2, 0),
    "ulaw_mono.sph": (1, 512),  # half a step of the coarsest mu-law segment
    "alaw_stereo.sph": (2, 512),
}


@pytest.mark.parametrize("name", EXAMPLE_FILES)
def test_examples_convert_to_their_signal(name):
    channels, tolerance = EXAMPLE_FILES[name]
    sph = (EXAMPLES / name).read_bytes()
    pcm = kn.decode_pcm(sph)
    wav = kn.transcode(sph=sph)
    assert wav_fields(wav) == (channels, make_examples.SAMPLE_RATE, 16)
    assert wav[44:] == pcm
    assert kn.transcode(Bytes(sph)) == wav and kn.decode_pcm(sph=Bytes(sph)) == pcm
    source = make_examples.signal(channels)
    assert len(pcm) == 2 * len(source)
    assert max(abs(a - b) for a, b in zip(samples(pcm), source)) <= tolerance


@pytest.mark.parametrize("name, alaw", [("ulaw_mono.sph", False), ("alaw_stereo.sph", True)])
def test_g711_examples_agree_with_the_kernel(name, alaw):
    sph = (EXAMPLES / name).read_bytes()
    assert kn.decode_pcm(sph) == kn.g711_expand(sph[1024:], alaw)


def test_shorten_kernel_on_the_example_stream():
    stream = (EXAMPLES / "shorten_stereo.sph").read_bytes()[1024:]
    result = kn.shorten_to_pcm(stream)
    assert type(result) is tuple and len(result) == 3
    channels, is_ulaw, pcm = result
    assert (type(channels), type(is_ulaw), type(pcm)) == (int, bool, bytes)
    assert (channels, is_ulaw) == (2, False)
    assert samples(pcm) == make_examples.signal(2)
    assert kn.shorten_to_pcm(stream=Bytes(stream)) == result


def test_examples_are_what_the_generator_makes(tmp_path):
    subprocess.run([sys.executable, str(EXAMPLES / "make_examples.py"), str(tmp_path)], check=True, capture_output=True)
    made = sorted(p.name for p in tmp_path.iterdir())
    assert made == sorted(p.name for p in EXAMPLES.glob("*.sph")) == sorted(EXAMPLE_FILES)
    for name in made:
        assert (tmp_path / name).read_bytes() == (EXAMPLES / name).read_bytes(), name


@pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg is not installed")
@pytest.mark.parametrize("name", ["pcm16_le_mono.sph", "pcm16_be_stereo.sph", "ulaw_mono.sph", "alaw_stereo.sph"])
def test_examples_agree_with_ffmpeg(name):
    ffmpeg = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(EXAMPLES / name), "-f", "s16le", "-"],
        capture_output=True,
        check=True,
        timeout=60,
    )
    assert kn.decode_pcm((EXAMPLES / name).read_bytes()) == ffmpeg.stdout


# The reference tool's output for the shared real-world files: (bytes, sha256).
REAL_FILES = {
    "123_1pcle_shn.sph": (
        (74240, "11d7d57dcf7501a8db11b5c22b1c447334ce9bf1bebdc29666a10c4da7e066c4"),
        (74284, "81574d2c42c6289fcb8b42a5ab524a0c5a297716594f1977e805b84fd08f34f9"),
    ),
    "123_2ulaw_shn.sph": (
        (148480, "ba3ae1192f6c0362600b4ca129bc56ad8aca4f7e7ca490346bcdfae900401358"),
        (148524, "17c521a6a4b0b32c3387a321173ef032992e9ca7384b624aee1a922a15dbf897"),
    ),
    "123_2alaw.sph": (
        (148480, "d02f64f9922045e2e56aca5df55e8c191fc000932755cedb324433e16e869140"),
        (148524, "bb76e77ab619b6b355b69eee4977964ae9e7b664008b86ffa5382b65e962c91e"),
    ),
}


@needs_real_files
@pytest.mark.parametrize("name", REAL_FILES)
def test_real_files(name):
    sph = (SHARED_SPHERE / name).read_bytes()
    for function, (size, digest) in zip((kn.decode_pcm, kn.transcode), REAL_FILES[name]):
        out = function(sph)
        assert (len(out), hashlib.sha256(out).hexdigest()) == (size, digest), function.__name__


def test_pcm_result_is_declared_size_and_wav_wraps_it():
    sph = sphere_bytes(pcm16_fields(16000), bytes(range(256)) * 125 + b"\x01")
    assert len(kn.decode_pcm(sph)) == 32000
    assert len(kn.transcode(sph)) == 32044


def test_empty_inputs_give_empty_results():
    assert kn.decode_pcm(sphere_bytes(pcm16_fields(0))) == b""
    assert len(kn.transcode(sphere_bytes(pcm16_fields(0)))) == 44
    assert kn.g711_expand(b"", False) == kn.g711_expand(b"", True) == b""


@pytest.mark.parametrize("size", [1, 2, 7, 64, 1000, 4097])
def test_g711_result_is_twice_the_input(size):
    data = os.urandom(size)
    assert len(kn.g711_expand(data, False)) == len(kn.g711_expand(data, True)) == 2 * size

"""sph2wav as one command in a pipeline: standard output and input, one named
output file, channel and span selection, --info.

Expected audio comes from the korrin_native module's whole-file conversion,
sliced here with numpy; expected WAV headers are built here with struct."""

from __future__ import annotations

import hashlib
import json
import os
import pty
import re
import shlex
import struct
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from conftest import SHARED_SPHERE, field_type, pcm16_fields, sphere_bytes, wav
from test_cli import SPH2WAV, USAGE, shortened, sph2wav, sphere, tree

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder  # noqa: E402

TRY = "Try 'sph2wav --help' for more information.\n"


def ulaw_shortened(frames: int, channels: int) -> bytes:
    """A SPHERE file of mu-law codes compressed with Shorten (sample type 8)."""
    values = shorten_encoder.speech_like_values(frames, channels, seed=7, amplitude=127)
    values = np.clip(values, -128, 127)
    stream = shorten_encoder.encode(values, sample_type=8, blocksize=100, maxnlpc=2, nmean=0, seed=5).data
    fields = pcm16_fields(frames, channels, rate=8000)
    fields.update(sample_coding="ulaw,embedded-shorten-v2.00", sample_n_bytes="1")
    return sphere_bytes(fields, stream)


# name -> (file bytes, channels, rate, bits of the output)
FILES = {
    "pcm16le": (sphere(1000, channels=2), 2, 16000, 16),
    "pcm16be": (sphere(999, channels=3, byte_format="10"), 3, 16000, 16),
    "pcm32le": (sphere(500, channels=2, width=4), 2, 16000, 32),
    "pcm32be": (sphere(501, channels=4, width=4, byte_format="10"), 4, 16000, 32),
    "ulaw": (sphere(1200, channels=2, coding="ulaw", width=1), 2, 16000, 16),
    "alaw": (sphere(777, channels=1, coding="alaw", width=1), 1, 16000, 16),
    "shorten": (shortened(1300, 2), 2, 16000, 16),
    "shorten_ulaw": (ulaw_shortened(1450, 2), 2, 8000, 16),
}

# (options, channel picked (1-based; -1: the last) or None, first frame, end
# frame): what each option set must keep. "{last}" is the file's last channel.
SELECTIONS = [
    ([], None, 0, None),
    (["-c", "1"], 1, 0, None),
    (["-c", "{last}"], -1, 0, None),
    (["-c", "2"], 2, 0, None),
    (["-s", "10:20"], None, 10, 20),
    (["-s", "0:1"], None, 0, 1),
    (["-s", "5:5"], None, 5, 5),  # empty, but not an error
    (["-s", ":300"], None, 0, 300),
    (["-s", "300:"], None, 300, None),
    (["-s", ":"], None, 0, None),
    (["-s", "123:99999999"], None, 123, None),  # cut to the file
    (["-c", "2", "-s", "37:401"], 2, 37, 401),
    (["--channel=1", "--samples=400:"], 1, 400, None),
]


@pytest.mark.parametrize("name", FILES)
@pytest.mark.parametrize("options, channel, begin, end", SELECTIONS)
@pytest.mark.parametrize("pcm_out", [False, True])
def test_selection_matches_the_whole_file_sliced(korrin, tmp_path, name, options, channel, begin, end, pcm_out):
    data, channels, rate, bits = FILES[name]
    if channel is not None and channel > channels:
        pytest.skip("a mono file: its last channel is channel 1")
    if channel == -1:
        channel = channels
    options = [o.format(last=channels) for o in options]
    (tmp_path / "in.sph").write_bytes(data)

    result = sph2wav(*options, *(["--pcm"] if pcm_out else []), "-o", "-", "in.sph", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    whole = np.frombuffer(korrin.decode_pcm(data), dtype=f"<i{bits // 8}").reshape(-1, channels)
    picked = whole[begin:end]
    if channel is not None:
        picked = picked[:, [channel - 1]]
    pcm = picked.tobytes()
    assert result.stdout == (pcm if pcm_out else wav(picked.shape[1], rate, bits, pcm))


@pytest.mark.parametrize("name", ["pcm16le", "ulaw", "shorten", "shorten_ulaw"])
@pytest.mark.parametrize(
    "span",
    [
        "0:0.001",
        "0.0003:0.01",
        "0.00003125:0.0000937",
        ".01:",
        ":0.025",
        "0.02:0.0200001",
        "00.0100:0.05000",
        "0.0000625:0.0001875",
    ],
)
def test_time_spans_round_each_end_to_the_nearest_frame(korrin, tmp_path, name, span):
    data, channels, rate, bits = FILES[name]
    (tmp_path / "in.sph").write_bytes(data)

    result = sph2wav("-t", span, "-o", "-", "in.sph", cwd=tmp_path)

    def frame(text: str, default: int | None) -> int | None:
        if not text:
            return default
        exact = Fraction(text) * rate
        return int(exact + Fraction(1, 2))  # halves round up

    b, e = span.split(":")
    whole = np.frombuffer(korrin.decode_pcm(data), dtype="<i2").reshape(-1, channels)
    picked = whole[frame(b, 0) : frame(e, None)]
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == wav(channels, rate, bits, picked.tobytes())


REAL = ("123_1pcle_shn.sph", "123_2alaw.sph", "123_2ulaw_shn.sph")


@pytest.mark.parametrize("name", REAL)
@pytest.mark.parametrize(
    "options, channel, begin, end",
    [(["-c", "2"], 2, 0, None), (["-c", "1", "-s", "1000:2500"], 1, 1000, 2500), (["-s", "30000:"], None, 30000, None)],
)
def test_real_files_select_as_the_whole_file_sliced(korrin, tmp_path, name, options, channel, begin, end):
    path = SHARED_SPHERE / name
    if not path.is_file():
        pytest.skip(f"{path} is not beside the checkout")
    data = path.read_bytes()
    whole_wav = korrin.transcode(data)
    channels, rate = struct.unpack("<HI", whole_wav[22:28])
    if channel is not None and channel > channels:
        pytest.skip("a mono file")
    whole = np.frombuffer(korrin.decode_pcm(data), dtype="<i2").reshape(-1, channels)

    result = sph2wav(*options, "-o", "-", path, cwd=tmp_path)

    picked = whole[begin:end] if channel is None else whole[begin:end, [channel - 1]]
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == wav(picked.shape[1], rate, 16, picked.tobytes())


def cut_stream(frames: int, keep: float) -> bytes:
    """A two-channel Shorten file whose stream stops after `keep` of itself."""
    return shortened(frames, 2, keep=keep)


def test_a_span_of_a_shorten_file_stops_decoding_after_its_end(korrin, tmp_path):
    """The stream is cut short: the whole file fails, but a span early in
    it converts, because decoding stops once the span is out."""
    data = cut_stream(4000, keep=0.5)
    (tmp_path / "cut.sph").write_bytes(data)
    with pytest.raises(ValueError) as whole_error:
        korrin.transcode(data)
    good = shortened(4000, 2)

    early = sph2wav("-s", "100:600", "-o", "-", "cut.sph", cwd=tmp_path)
    late = sph2wav("-s", "3000:3100", "-o", "-", "cut.sph", cwd=tmp_path)
    whole = sph2wav("-o", "-", "cut.sph", cwd=tmp_path)

    expected = np.frombuffer(korrin.decode_pcm(good), dtype="<i2").reshape(-1, 2)[100:600]
    assert (early.returncode, early.stderr) == (0, b"")
    assert early.stdout == wav(2, 16000, 16, expected.tobytes())
    for failed in (late, whole):
        assert (failed.returncode, failed.stdout) == (1, b"")
        assert failed.stderr.decode() == f"cut.sph: {whole_error.value}\n"


def test_without_a_span_all_of_a_shorten_stream_is_checked(korrin, tmp_path):
    """The header declares 2000 frames, the stream holds more and is cut in
    them: frames a span does not need are not decoded, but a channel of the
    whole file is checked to the stream's end, as the whole file is."""
    values = shorten_encoder.speech_like_values(4000, 2, seed=4000)
    stream = shorten_encoder.encode(values, blocksize=128, maxnlpc=4, nmean=4, seed=2).data
    fields = {**pcm16_fields(2000, 2), "sample_coding": "pcm,embedded-shorten-v2.00"}
    data = sphere_bytes(fields, stream[: len(stream) * 3 // 4])
    (tmp_path / "f.sph").write_bytes(data)
    with pytest.raises(ValueError) as whole_error:
        korrin.transcode(data)
    whole = np.frombuffer(korrin.decode_pcm(sphere_bytes(fields, stream)), dtype="<i2").reshape(-1, 2)

    results = {
        args: sph2wav(*args, "-o", "-", "f.sph", cwd=tmp_path)
        for args in [("-c", "1"), ("-s", ":"), ("-c", "2", "-s", "1500:"), ("-t", "0.1:1")]
    }

    assert (results["-c", "1"].returncode, results["-c", "1"].stderr.decode()) == (1, f"f.sph: {whole_error.value}\n")
    for args, picked in [
        (("-s", ":"), whole),
        (("-c", "2", "-s", "1500:"), whole[1500:, [1]]),
        (("-t", "0.1:1"), whole[1600:]),
    ]:
        assert (results[args].returncode, results[args].stderr) == (0, b""), args
        assert results[args].stdout == wav(picked.shape[1], 16000, 16, picked.tobytes()), args


def summary_bytes(count: int) -> str:
    """A byte count as sph2wav's summary writes it."""
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1000
    raise AssertionError


# (file, its channels and bits per output sample, options, the channel and
# frames they keep, and whether all of the file is read)
PARTS = [
    (sphere(100_000, channels=2), 2, 16, ["-s", "1000:2000"], None, 1000, 2000, False),
    (sphere(100_000, channels=1, byte_format="10"), 1, 16, ["-t", "1:1.5"], None, 16_000, 24_000, False),
    (sphere(30_000, channels=4, width=4), 4, 32, ["-c", "2", "-s", "10:20"], 2, 10, 20, False),
    (sphere(100_000, channels=2, coding="ulaw", width=1), 2, 16, ["-s", "50000:"], None, 50_000, 100_000, False),
    (sphere(100_000, channels=1, coding="alaw", width=1), 1, 16, ["-s", "0:0"], None, 0, 0, False),
    (sphere(100_000, channels=2), 2, 16, ["-s", "99990:200000"], None, 99_990, 100_000, False),  # cut to the file
    (sphere(100_000, channels=2), 2, 16, ["-c", "1"], 1, 0, 100_000, True),  # no span: the checksum's bytes too
    (shortened(4000, 2), 2, 16, ["-s", "10:20"], None, 10, 20, True),  # a stream is decoded from its start
]


@pytest.mark.parametrize("data, channels, bits, options, channel, begin, end, whole_file", PARTS, ids=range(len(PARTS)))
def test_a_span_of_a_stored_payload_reads_only_its_bytes(
    korrin, tmp_path, data, channels, bits, options, channel, begin, end, whole_file
):
    (tmp_path / "f.sph").write_bytes(data)

    result = sph2wav(*options, "f.sph", "-o", "out.wav", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    stored_width = 1 if b"law" in data[:1024] else bits // 8  # G.711 stores one byte a sample
    read = len(data) if whole_file else 1024 + (end - begin) * channels * stored_width
    assert result.stderr.decode().startswith(f"sph2wav: 1 output written ({summary_bytes(read)} read in "), (
        result.stderr
    )
    picked = np.frombuffer(korrin.decode_pcm(data), dtype=f"<i{bits // 8}").reshape(-1, channels)[begin:end]
    if channel is not None:
        picked = picked[:, [channel - 1]]
    assert (tmp_path / "out.wav").read_bytes() == wav(picked.shape[1], 16000, bits, picked.tobytes())


@pytest.mark.parametrize("options", [["-s", "10:20"], ["-c", "1", "-t", "0:0.01"], ["-s", "60000:"]])
def test_a_span_of_a_truncated_payload_fails_as_the_whole_file_does(korrin, tmp_path, options):
    data = sphere(100_000, channels=2)[: 1024 + 199_996]  # not quite half of the declared payload
    (tmp_path / "f.sph").write_bytes(data)
    with pytest.raises(ValueError) as whole_error:
        korrin.transcode(data)

    result = sph2wav("-q", *options, "f.sph", "-o", "out.wav", cwd=tmp_path)

    assert (result.returncode, result.stderr.decode()) == (1, f"f.sph: {whole_error.value}\n")


@pytest.mark.parametrize(
    "options, channels, frames, message",
    [
        (["-c", "3"], 2, 10, "no channel 3 in a file of 2 channels"),
        (["-c", "2"], 1, 10, "no channel 2 in a file of 1 channel"),
        (["-c", "2"], 2, 10, None),
        (["-c", "18446744073709551615"], 2, 10, "no channel 18446744073709551615 in a file of 2 channels"),
        (["-c", "5", "-s", "1:2"], 2, 10, "no channel 5 in a file of 2 channels"),
        (["-s", "10:"], 2, 10, "span 10: starts at or beyond the end of the file (10 frames)"),
        (["-s", "11:20"], 2, 10, "span 11:20 starts at or beyond the end of the file (10 frames)"),
        (["-s", "0:"], 1, 0, "span 0: starts at or beyond the end of the file (0 frames)"),
        (["-s", "5:4"], 2, 10, "span 5:4 starts after its end (the file has 10 frames)"),
        (["-s", "50:40"], 2, 10, "span 50:40 starts after its end (the file has 10 frames)"),
        (["-s", "1:1"], 1, 1, "span 1:1 starts at or beyond the end of the file (1 frame)"),
        (["-s", "0:0"], 1, 1, None),
        (["-t", "0.001:"], 1, 16, "span 0.001: s (frames 16:) starts at or beyond the end of the file (16 frames)"),
        (
            ["-t", "0.0005:0.0001"],
            1,
            16,
            "span 0.0005:0.0001 s (frames 8:2) starts after its end (the file has 16 frames)",
        ),
        (["-t", "0.00003:1"], 1, 1, None),  # frame 0.48 rounds down to 0
        (
            ["-t", "0.00004:1"],
            1,
            1,
            "span 0.00004:1 s (frames 1:16000) starts at or beyond the end of the file (1 frame)",
        ),
        (["-t", "99999999999999999999:"], 1, 1, "invalid span '99999999999999999999:' "),
    ],
)
def test_bad_spans_and_channels_fail_the_file(tmp_path, options, channels, frames, message):
    (tmp_path / "f.sph").write_bytes(sphere(frames, channels=channels))
    result = sph2wav("-q", *options, "f.sph", "-o", "out.wav", cwd=tmp_path)
    if message is None:
        assert (result.returncode, result.stderr) == (0, b"")
        assert (tmp_path / "out.wav").exists()
    elif message.startswith("invalid span"):  # too many digits for any frame: bad usage
        assert result.returncode == 2 and result.stderr.decode().startswith(f"sph2wav: {message}")
    else:
        assert (result.returncode, result.stderr.decode()) == (1, f"f.sph: {message}\n")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["f.sph"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["-o", "-", "a.sph", "b.sph"], "standard output (-o -) takes exactly one input"),
        (["-o", "-", "d"], "standard output (-o -) takes one file, not a directory"),
        (["-", "a.sph"], "standard input ('-') must be the only input"),
        (["-", "-o", "d"], "an output directory needs input names: give -o FILE or -o - with standard input"),
        (["-", "-o", "new/"], "an output directory needs input names: give -o FILE or -o - with standard input"),
        (["-c", "0", "a.sph"], "invalid channel '0' (expected 1 or more)"),
        (["-c", "x", "a.sph"], "invalid channel 'x' (expected 1 or more)"),
        (["-c", "+1", "a.sph"], "invalid channel '+1' (expected 1 or more)"),
        (["-s", "10", "a.sph"], "invalid span '10' (expected B:E, B: or :E in frames)"),
        (["-s", "1.5:2", "a.sph"], "invalid span '1.5:2' (expected B:E, B: or :E in frames)"),
        (["-s", "-1:2", "a.sph"], "invalid span '-1:2' (expected B:E, B: or :E in frames)"),
        (["-s", "1:2:3", "a.sph"], "invalid span '1:2:3' (expected B:E, B: or :E in frames)"),
        (["-t", "1e3:", "a.sph"], "invalid span '1e3:' (expected B:E, B: or :E in seconds)"),
        (["-t", "1..2:", "a.sph"], "invalid span '1..2:' (expected B:E, B: or :E in seconds)"),
        (["-t", ".:", "a.sph"], "invalid span '.:' (expected B:E, B: or :E in seconds)"),
        (["-s", "1:2", "-t", "1:2", "a.sph"], "-s and -t cannot be used together"),
        (["--json", "a.sph"], "--json needs --info"),
        (["--info", "-o", "x", "a.sph"], "--info converts nothing: it takes no -o, -c, -s, -t, --pcm or --flac"),
        (["--info", "-c", "1", "a.sph"], "--info converts nothing: it takes no -o, -c, -s, -t, --pcm or --flac"),
        (["--info", "--flac", "a.sph"], "--info converts nothing: it takes no -o, -c, -s, -t, --pcm or --flac"),
        (["--flac", "--pcm", "a.sph"], "--flac and --pcm exclude each other"),
        (["--pcm", "--flac", "a.sph"], "--flac and --pcm exclude each other"),
        (["-o", "", "a.sph"], "empty output path"),
    ],
)
def test_bad_usage(tmp_path, args, message):
    (tmp_path / "a.sph").write_bytes(sphere(10))
    (tmp_path / "b.sph").write_bytes(sphere(10))
    (tmp_path / "d").mkdir()
    before = tree(tmp_path)

    result = sph2wav(*args, cwd=tmp_path, stdin=subprocess.DEVNULL)

    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == f"sph2wav: {message}\n{USAGE}{TRY}"
    assert tree(tmp_path) == before


def shell(command: str, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=cwd, capture_output=True, timeout=60)


DIGEST = (
    f"{shlex.quote(sys.executable)} -c 'import hashlib,sys; print(hashlib.sha256(sys.stdin.buffer.read()).hexdigest())'"
)


@pytest.mark.parametrize(
    "pipeline, file_args",
    [
        ("{tool} -o - in.sph | {digest}", ["in.sph", "-o", "out.wav"]),
        ("cat in.sph | {tool} - | {digest}", ["in.sph", "-o", "out.wav"]),
        ("cat in.sph | {tool} - -o - | {digest}", ["in.sph", "-o", "out.wav"]),
        ("{tool} - < in.sph | {digest}", ["in.sph", "-o", "out.wav"]),
        ("{tool} -c 2 -o - in.sph | {digest}", ["-c", "2", "in.sph", "-o", "out.wav"]),
        (
            "cat in.sph | {tool} -c 1 -t 0.01:0.02 - | {digest}",
            ["-c", "1", "-t", "0.01:0.02", "in.sph", "-o", "out.wav"],
        ),
        ("{tool} --pcm -s 5: -o - in.sph | {digest}", ["--pcm", "-s", "5:", "in.sph", "-o", "out.wav"]),
    ],
)
def test_pipelines_give_the_bytes_of_the_file_path(tmp_path, pipeline, file_args):
    (tmp_path / "in.sph").write_bytes(FILES["shorten"][0])
    assert sph2wav("-q", *file_args, cwd=tmp_path).returncode == 0

    expected = hashlib.sha256((tmp_path / "out.wav").read_bytes()).hexdigest()
    result = shell(pipeline.format(tool=shlex.quote(str(SPH2WAV)), digest=DIGEST), tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().strip() == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sph", "out.wav"]


def test_a_wav_scp_of_channels_and_segments(korrin, tmp_path):
    """Lines as a recipe's wav.scp holds them, run as its reader runs them."""
    data = FILES["shorten"][0]
    (tmp_path / "call.sph").write_bytes(data)
    whole = np.frombuffer(korrin.decode_pcm(data), dtype="<i2").reshape(-1, 2)
    tool = shlex.quote(str(SPH2WAV))
    scp = {
        "call-A": (f"{tool} -c 1 -o - call.sph |", whole[:, [0]]),
        "call-B": (f"{tool} -c 2 -o - call.sph |", whole[:, [1]]),
        "utt-1": (f"{tool} -c 2 -t 0.0125:0.05 -o - call.sph |", whole[200:800, [1]]),
    }
    for key, (line, expected) in scp.items():
        result = shell(line.rstrip("|"), tmp_path)
        assert (result.returncode, result.stderr) == (0, b""), key
        assert result.stdout == wav(1, 16000, 16, expected.tobytes()), key


@pytest.mark.parametrize("reader", ["head -c 100 >/dev/null", "true", "exec 0<&-; sleep 0.2"])
def test_a_reader_that_closes_early_ends_the_run_quietly(tmp_path, reader):
    """A pipe closed before the output is written: status 1, nothing on
    standard error, no hang, no file left."""
    (tmp_path / "big.sph").write_bytes(sphere(2_000_000, channels=2))  # 8 MB, more than a pipe holds
    result = shell(
        f'{shlex.quote(str(SPH2WAV))} -o - big.sph | {{ {reader}; }}; echo "status ${{PIPESTATUS[0]}}" >&2', tmp_path
    )
    assert result.stderr.decode() == "status 1\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.sph"]


def test_standard_input_failures_are_named_standard_input(korrin, tmp_path):
    cases = {
        b"": "standard input: not a NIST SPHERE file (missing 'NIST_1A' magic)",
        b"RIFF....WAVEfmt ": "standard input: not a NIST SPHERE file (missing 'NIST_1A' magic)",
        sphere(
            10, payload=bytes(3)
        ): "standard input: audio payload truncated: header declares 20 bytes but only 3 present",
    }
    for data, message in cases.items():
        result = subprocess.run(
            [str(SPH2WAV), "-", "-o", "-"], input=data, capture_output=True, cwd=tmp_path, timeout=60
        )
        assert (result.returncode, result.stdout, result.stderr.decode()) == (1, b"", message + "\n")


def test_standard_input_never_replaces_itself(tmp_path):
    data = FILES["ulaw"][0]
    (tmp_path / "a.sph").write_bytes(data)
    with open(tmp_path / "a.sph", "rb") as stdin:
        result = subprocess.run(
            [str(SPH2WAV), "-q", "--force", "-", "-o", "a.sph"],
            stdin=stdin,
            capture_output=True,
            cwd=tmp_path,
            timeout=60,
        )
    assert (result.returncode, result.stderr.decode()) == (1, "standard input: output a.sph would replace the input\n")
    assert tree(tmp_path) == {"a.sph": data}


def test_standard_input_to_a_named_file(korrin, tmp_path):
    data = FILES["pcm16be"][0]
    result = subprocess.run(
        [str(SPH2WAV), "-", "-o", "x.wav"], input=data, capture_output=True, cwd=tmp_path, timeout=60
    )
    assert result.returncode == 0
    assert result.stderr.decode().startswith("sph2wav: 1 output written")
    assert tree(tmp_path) == {"x.wav": korrin.transcode(data)}


@pytest.mark.parametrize(
    "existing, args, output, message",
    [
        # As cp does: a name is the output itself ...
        ({}, ["a.sph", "-o", "x.wav"], "x.wav", None),
        # ... whose directory must exist, as cp's must.
        (
            {},
            ["a.sph", "-o", "new/deeper/x.wav"],
            None,
            "a.sph: cannot create new/deeper/x.wav: no such file or directory",
        ),
        ({}, ["a.sph", "-o", "noext"], "noext", None),
        ({}, ["--pcm", "a.sph", "-o", "x.raw"], "x.raw", None),
        # ... a directory, or a name ending in "/", receives it inside.
        ({"d/keep": b"k"}, ["a.sph", "-o", "d"], "d/a.wav", None),
        ({}, ["a.sph", "-o", "made/"], "made/a.wav", None),
        # The same rules as trees for what exists.
        (
            {"x.wav": b"precious"},
            ["a.sph", "-o", "x.wav"],
            None,
            "a.sph: x.wav already exists (use --force to replace it, or --skip-existing to keep it)",
        ),
        ({"x.wav": b"precious"}, ["--force", "a.sph", "-o", "x.wav"], "x.wav", None),
        ({}, ["--force", "a.sph", "-o", "a.sph"], None, "a.sph: output a.sph would replace the input"),
        ({}, ["--force", "a.sph", "-o", "./a.sph"], None, "a.sph: output ./a.sph would replace the input"),
    ],
)
def test_one_input_and_a_named_output(korrin, tmp_path, existing, args, output, message):
    data = FILES["ulaw"][0]
    (tmp_path / "a.sph").write_bytes(data)
    for name, content in existing.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(content)
    before = tree(tmp_path)

    result = sph2wav("-q", *args, cwd=tmp_path)

    after = tree(tmp_path)
    if message is None:
        assert (result.returncode, result.stderr) == (0, b"")
        expected = korrin.decode_pcm(data) if "--pcm" in args else korrin.transcode(data)
        assert {k: v for k, v in after.items() if before.get(k) != v} == {output: expected}
    else:
        assert (result.returncode, result.stderr.decode()) == (1, message + "\n")
        assert after == before


def test_standard_output_refuses_a_terminal_unless_forced(korrin, tmp_path):
    data = FILES["pcm16le"][0]
    (tmp_path / "a.sph").write_bytes(data)
    outcomes = {}
    for force in ([], ["--force"]):
        master, slave = pty.openpty()
        process = subprocess.Popen(
            [str(SPH2WAV), *force, "-o", "-", "a.sph"], cwd=tmp_path, stdout=slave, stderr=subprocess.PIPE
        )
        os.close(slave)
        chunks = []
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        os.close(master)
        stderr = process.communicate(timeout=60)[1]
        outcomes[bool(force)] = (process.returncode, stderr.decode(), len(b"".join(chunks)) > 1000)
    assert outcomes[False] == (
        2,
        f"sph2wav: refusing to write audio to a terminal (redirect it, or use --force)\n{USAGE}{TRY}",
        False,
    )
    assert outcomes[True] == (0, "", True)


INFO_FILE = sphere_bytes(
    {
        "database_id": "swb1",
        "channel_count": "2",
        "sample_count": "24000",
        "sample_rate": "8000",
        "sample_n_bytes": "1",
        "sample_coding": "ulaw",
        "note": "tab\there",
        "sample_count_again": "+5",
    },
    bytes(48000),
)


def test_info_lists_fields_in_file_order_and_the_format(tmp_path):
    (tmp_path / "a.sph").write_bytes(INFO_FILE)
    (tmp_path / "b.sph").write_bytes(sphere(7, channels=3, width=4, byte_format="10"))

    result = sph2wav("--info", "a.sph", "b.sph", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == (
        "a.sph\n"
        "  database_id         -s4  swb1\n"
        "  channel_count       -i   2\n"
        "  sample_count        -i   24000\n"
        "  sample_rate         -i   8000\n"
        "  sample_n_bytes      -i   1\n"
        "  sample_coding       -s4  ulaw\n"
        '  note                -s8  "tab\\there"\n'
        "  sample_count_again  -i   +5\n"
        "  codec:         ulaw\n"
        "  sample_width:  2\n"
        "  channels:      2\n"
        "  rate:          8000\n"
        "  frames:        24000\n"
        "  duration:      3.000000\n"
        "\n"
        "b.sph\n"
        "  sample_count        -i   7\n"
        "  sample_rate         -i   16000\n"
        "  channel_count       -i   3\n"
        "  sample_n_bytes      -i   4\n"
        "  sample_coding       -s3  pcm\n"
        "  sample_byte_format  -i   10\n"
        "  codec:         pcm\n"
        "  sample_width:  4\n"
        "  byte_order:    big\n"
        "  channels:      3\n"
        "  rate:          16000\n"
        "  frames:        7\n"
        "  duration:      0.000438\n"
    )


# The header's coding, and what --info names it: the codec, as korrin.info
# names it, then the stored width and a linear coding's byte order.
INFO_CODECS = [
    ({"sample_coding": "pcm", "sample_n_bytes": "2", "sample_byte_format": "01"}, ("pcm", 2, "little")),
    ({"sample_coding": "pcm", "sample_n_bytes": "2"}, ("pcm", 2, "little")),  # no byte order: "1"
    ({"sample_coding": "pcm", "sample_n_bytes": "2", "sample_byte_format": "10"}, ("pcm", 2, "big")),
    ({"sample_coding": "pcm", "sample_n_bytes": "4", "sample_byte_format": "1"}, ("pcm", 4, "little")),
    ({"sample_coding": "pcm", "sample_n_bytes": "1"}, ("pcm", 1, None)),
    ({"sample_coding": "pcm", "sample_n_bytes": "3", "sample_byte_format": "01"}, ("unsupported", None, None)),
    ({"sample_coding": "pcm", "sample_n_bytes": "2", "sample_byte_format": "0123"}, ("unsupported", None, None)),
    ({"sample_coding": " MU-LAW ", "sample_n_bytes": "1"}, ("ulaw", 2, None)),
    ({"sample_coding": "alaw", "sample_n_bytes": "1"}, ("alaw", 2, None)),
    ({"sample_coding": "pculaw", "sample_n_bytes": "1"}, ("pculaw", 2, None)),
    ({"sample_coding": "alaw", "sample_n_bytes": "2"}, ("unsupported", None, None)),
    ({"sample_coding": "pcm,embedded-shorten-v2.00", "sample_n_bytes": "2"}, ("shorten", 2, None)),
    ({"sample_coding": "ulaw,embedded-shorten-v2.00,x", "sample_n_bytes": "1"}, ("shorten", 2, None)),
    ({"sample_coding": "pcm,Embedded-Shorten-v1.1", "sample_n_bytes": "2"}, ("shorten", 2, None)),
    ({"sample_coding": "pcm,embedded-shorten-v1.09", "sample_n_bytes": "2"}, ("shorten", 2, None)),
    ({"sample_coding": "pcm,embedded-shorten-v1.2", "sample_n_bytes": "2"}, ("unsupported", None, None)),
    ({"sample_coding": "pcm,embedded-wavpack", "sample_n_bytes": "2"}, ("unsupported", None, None)),
    ({"sample_coding": "gsm", "sample_n_bytes": "1"}, ("unsupported", None, None)),
]


def info_file(tmp_path, fields):
    all_fields = {"sample_count": "16001", "sample_rate": "16000", "channel_count": "1", **fields}
    (tmp_path / "f.sph").write_bytes(sphere_bytes(all_fields))
    return all_fields


@pytest.mark.parametrize("fields, named", INFO_CODECS)
def test_info_json_names_the_codec(tmp_path, fields, named):
    all_fields = info_file(tmp_path, fields)
    codec, width, order = named

    result = sph2wav("--info", "--json", "f.sph", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    record = json.loads(result.stdout)
    assert record == {
        "file": "f.sph",
        "fields": [{"name": k, "type": field_type(v), "value": v.strip()} for k, v in all_fields.items()],
        "codec": codec,
        "channels": 1,
        "rate": 16000,
        "frames": 16001,
        "duration": 1.000063,
        **({"sample_width": width} if width else {}),
        **({"byte_order": order} if order else {}),
        # A Shorten payload's label, as conversion reads it; no stream here
        # to tell its version.
        **({"shorten_label": fields["sample_coding"].split(",")[1].strip().lower()} if codec == "shorten" else {}),
    }


@pytest.mark.parametrize("fields, named", [case for case in INFO_CODECS if case[1][0] != "unsupported"])
def test_info_names_codecs_as_korrin_does(tmp_path, fields, named):
    korrin = pytest.importorskip("korrin")
    info_file(tmp_path, fields)
    record = json.loads(sph2wav("--info", "--json", "f.sph", cwd=tmp_path).stdout)
    text = sph2wav("--info", "f.sph", cwd=tmp_path).stdout.decode()

    read = korrin.info(tmp_path / "f.sph")

    assert (record["codec"], record["sample_width"]) == (read.codec, read.sample_width)
    assert re.search(f"\n  codec: +{read.codec}\n  sample_width: +{read.sample_width}\n", text)


@pytest.mark.parametrize("version", [1, 2, 3])
def test_info_shows_the_shorten_stream_version(tmp_path, version):
    fields = {
        "sample_count": "0",
        "sample_rate": "8000",
        "channel_count": "1",
        "sample_coding": "pcm,embedded-shorten-v1.1",
        "sample_n_bytes": "2",
    }
    (tmp_path / "f.sph").write_bytes(sphere_bytes(fields, b"ajkg" + bytes([version])))

    result = sph2wav("--info", "--json", "f.sph", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    record = json.loads(result.stdout)
    assert (record["shorten_label"], record["shorten_version"]) == ("embedded-shorten-v1.1", version)
    text = sph2wav("--info", "f.sph", cwd=tmp_path).stdout.decode()
    assert f"  shorten_version:  {version}\n" in text


BAD_HEADERS = [
    b"not sphere at all",
    b"NIST_1A\n   999999\nsample_count -i 1\nend_head\n",  # header larger than the file
    sphere_bytes({"sample_count": "1", "sample_rate": "8000", "channel_count": "1"}),  # a field missing
    sphere_bytes({**pcm16_fields(5), "sample_rate": "0"}),
    b"NIST_1A\n   64\nsample_count -x 1\nend_head\n".ljust(64, b" "),
    b"NIST_1A\n" + b"x" * 70000 + b"\n",  # no size line within the first bytes read
]


@pytest.mark.parametrize("data", BAD_HEADERS, ids=range(len(BAD_HEADERS)))
def test_info_reports_malformed_headers_as_conversion_does(korrin, tmp_path, data):
    (tmp_path / "f.sph").write_bytes(data + bytes(100_000))  # a long file: only its head is read first
    with pytest.raises(ValueError) as error:
        korrin.transcode(data + bytes(100_000))

    for via_stdin in (False, True):
        args = ["--info", "-"] if via_stdin else ["--info", "f.sph"]
        result = subprocess.run(
            [str(SPH2WAV), *args], input=data + bytes(100_000), capture_output=True, cwd=tmp_path, timeout=60
        )
        name = "standard input" if via_stdin else "f.sph"
        assert (result.returncode, result.stdout, result.stderr.decode()) == (1, b"", f"{name}: {error.value}\n")


def test_info_walks_directories_like_conversion(tmp_path):
    """Files that share a name stem (x.wv1 and x.wv2, as WSJ has) all show."""
    for name in ("d/x.wv1", "d/x.wv2", "d/sub/y.sph", "d/z.wav"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(sphere(len(name)))
    (tmp_path / "d/riff.wav").write_bytes(b"RIFF....WAVE")
    (tmp_path / "d/notes.txt").write_bytes(b"NIST_1A")

    result = sph2wav("--info", "--json", "d", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    records = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert [(r["file"], r["frames"]) for r in records] == [
        ("d/sub/y.sph", 11),
        ("d/x.wv1", 7),
        ("d/x.wv2", 7),
        ("d/z.wav", 7),
    ]


def test_info_reads_on_past_a_long_header(tmp_path):
    """A header region longer than the first bytes read is read in full."""
    fields = {**pcm16_fields(3), "comment": "c" * 80_000}
    data = sphere_bytes(fields, bytes(6), header_size=90_000)
    (tmp_path / "long.sph").write_bytes(data)

    result = sph2wav("--info", "--json", "long.sph", cwd=tmp_path)

    assert (result.returncode, result.stderr) == (0, b"")
    record = json.loads(result.stdout)
    assert record["fields"][-1] == {"name": "comment", "type": "-s80000", "value": "c" * 80_000}
    assert record["frames"] == 3


def test_help_shows_the_pipeline_options_and_examples(tmp_path):
    result = sph2wav("--help", cwd=tmp_path)
    text = result.stdout.decode()
    assert result.returncode == 0
    for piece in (
        "--channel=N",
        "--samples=B:E",
        "--time=B:E",
        "--info",
        "--json",
        "-o -",
        "sph2wav -c 1 -o -",
        "cat x.sph | sph2wav -",
    ):
        assert piece in text, piece


def test_info_json_stays_json_for_any_file_name(tmp_path):
    names = {
        b"caf\xc3\xa9.sph": "caf\u00e9.sph",
        b"raw\xff.sph": "raw\u00ff.sph",
        b'q"\\.sph': 'q"\\.sph',
        b"tab\t.sph": "tab\t.sph",
    }
    for raw in names:
        with open(os.path.join(os.fsencode(tmp_path), raw), "wb") as f:
            f.write(sphere(3))
    result = subprocess.run(
        [str(SPH2WAV), "--info", "--json", *sorted(names)], cwd=tmp_path, capture_output=True, timeout=60
    )
    assert (result.returncode, result.stderr) == (0, b"")
    assert [json.loads(line)["file"] for line in result.stdout.splitlines()] == [names[n] for n in sorted(names)]

"""sph2wav --wav-scp [--segments]: a Kaldi data directory converted in one
pass, against each side of each call converted whole (by the sph2pipe
binary where it is beside the checkout, else by the module) and cut in
Python by extract-segments' rules."""

from __future__ import annotations

import random
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

from test_cli import sph2wav
from test_cli_sph2pipe import DIFFS, ORACLE, header, required, run

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as se  # noqa: E402

RATE = 8000
SECONDS = 12


def call(seed: int) -> bytes:
    """A two-channel mu-law Shorten call, as Switchboard's."""
    codes = np.random.default_rng(seed).integers(0, 256, (SECONDS * RATE, 2))
    values = np.where(codes >= 0x80, 0xFF - codes, codes - 0x80)
    stream = se.encode(
        values, sample_type=8, blocksize=256, seed=seed, pad_to_words=True, verbatim=False, commands=DIFFS
    ).data
    return header(required(2, 1, SECONDS * RATE) + [("sample_coding", "ulaw,embedded-shorten-v2.00")]) + stream


def side(korrin, path: Path, channel: int) -> np.ndarray:
    """One side, whole, as 16-bit samples: the oracle's when it is there."""
    if ORACLE.is_file():
        wav = run(ORACLE, ["-f", "wav", "-p", "-c", str(channel), str(path)]).stdout
        return np.frombuffer(wav[44:], "<i2")
    return np.frombuffer(korrin.decode_pcm(path.read_bytes()), "<i2").reshape(-1, 2)[:, channel - 1]


def cut(samples: np.ndarray, start: float, end: float) -> np.ndarray | None:
    """extract-segments: frames floor(start x rate) to floor(end x rate), an
    end of -1 the recording's end, less than half a second past it cut."""
    first, last = int(start * RATE), len(samples) if end == -1 else int(end * RATE)
    if first >= len(samples) or last - len(samples) >= int(0.5 * RATE):
        return None
    return samples[first : min(last, len(samples))]


def wav_of(samples: np.ndarray) -> bytes:
    data = samples.astype("<i2").tobytes()
    return (
        b"RIFF"
        + struct.pack("<I", 36 + len(data))
        + b"WAVEfmt "
        + struct.pack("<IHHIIHH", 16, 1, 1, RATE, 2 * RATE, 2, 16)
        + b"data"
        + struct.pack("<I", len(data))
        + data
    )


@pytest.fixture()
def calls(tmp_path) -> list[Path]:
    paths = []
    for i in range(2):
        paths.append(tmp_path / "corpus" / f"sw0{i}.sph")
        paths[-1].parent.mkdir(exist_ok=True)
        paths[-1].write_bytes(call(i))
    return paths


def test_a_switchboard_like_directory_in_one_pass(korrin, tmp_path, calls):
    lines = []
    for i, path in enumerate(calls):
        # Kaldi's form, with a directory before the name, and a plain one.
        lines.append(f"sw0{i}-A /opt/kaldi/tools/sph2pipe_v2.5/sph2pipe -f wav -p -c 1 {path} |")
        lines.append(f"sw0{i}-B sph2pipe -f wav -p -c 2 corpus/{path.name} |")
    (tmp_path / "wav.scp").write_text("\n".join(lines) + "\n")
    rng = random.Random(3)
    segments = []
    for n in range(100):
        recording = f"sw0{n % 2}-{'AB'[n // 2 % 2]}"
        length = rng.uniform(0.5, 3)
        start = rng.uniform(0, SECONDS - length)
        end = f"{start + length:.2f}"
        if n == 7:
            end = "-1"
        if n == 8:
            start, end = SECONDS - 1, f"{SECONDS + 0.3:.2f}"  # past the end by less than 0.5 s: cut
        segments.append((f"{recording}_{n:04}", recording, f"{start:.2f}", end))
    (tmp_path / "segments").write_text("".join(" ".join(s) + "\n" for s in segments))

    result = sph2wav("--wav-scp", "wav.scp", "--segments", "segments", "-o", "out", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # Each file was read once, whatever the segments and lines that use it.
    total = sum(p.stat().st_size for p in calls)
    assert f"({total / 1000:.1f} kB read in " in result.stderr.decode()

    sides = {f"sw0{i}-{s}": side(korrin, p, c) for i, p in enumerate(calls) for c, s in ((1, "A"), (2, "B"))}
    listed = (tmp_path / "out/wav.scp").read_text().splitlines()
    assert listed == [f"{s[0]} out/data/{s[0]}.wav" for s in segments]
    for seg_id, recording, start, end in segments:
        expected = cut(sides[recording], float(start), float(end))
        assert (tmp_path / "out/data" / f"{seg_id}.wav").read_bytes() == wav_of(expected), seg_id


def test_lines_that_fail_and_the_others_carry_on(tmp_path, calls):
    a = calls[0]
    (tmp_path / "wav.scp").write_text(
        f"ok sph2pipe -f wav -p -c 1 {a} |\n"
        f"sox sox {a} -t wav - |\n"
        f"piped sph2pipe -f wav -p {a} | sox - -t wav - |\n"
        f"shell sph2pipe -f wav -p $HOME/x.sph |\n"
        f"noisy sph2wav -c 1 -o - {a} |\n"
        f"ok sph2pipe -f wav -p -c 2 {a} |\n"
        "lonely\n"
        f"missing sph2pipe -f wav -p /nowhere/x.sph |\n"
        f"nul {a}\0.not-this-file\n"
    )
    (tmp_path / "segments").write_text(
        "s1 ok 0 1\n"
        "s1 ok 1 2\n"
        "../evil ok 0 1\n"
        "s2 ok 11.9 12.6\n"
        "s3 ok 11.9 12.4\n"
        "s4 ok 2 1\n"
        "s5 sox 0 1\n"
        "s6 nobody 0 1\n"
        "s7 ok 0 1 1\n"
        "s8 noisy 0 1\n"
        "s9 missing 0 1\n"
        "bad line\n"
        "s10 nul 0 1\n"
        "s11 ok 0 1\0\n"
    )
    result = sph2wav("-q", "--wav-scp", "wav.scp", "--segments", "segments", "-o", "out", cwd=tmp_path)
    assert result.returncode == 1
    assert sorted(result.stderr.decode().splitlines()) == sorted(
        [
            "sox: wav.scp line 2: the command 'sox' is not understood (only sph2pipe and sph2wav are)",
            "piped: wav.scp line 3: a second pipe stage is not understood",
            "shell: wav.scp line 4: the shell construct '$' is not understood",
            "ok: wav.scp line 6: the recording id repeats line 1",
            "lonely: wav.scp line 7: no file or command after the recording id",
            "s1: segments line 2: the id repeats segments line 1",
            "../evil: segments line 3: an id with '/' names no file of the output directory",
            f"s2: segments line 4: {a}: segment ends 4800 frames beyond the end of its recording (96000 frames at"
            " 8000 Hz; less than 0.5 s is cut off)",
            "s4: segments line 6: end '1' is not a time after the start (or -1, the end)",
            "s5: segments line 7: recording sox is not understood (wav.scp line 2)",
            "s6: segments line 8: recording nobody is not in wav.scp",
            f"s7: segments line 9: {a}: no channel 1 (counted from 0) in a recording of 1 channel",
            "s9: segments line 11: /nowhere/x.sph: cannot open: no such file or directory",
            "bad: segments line 12: expected <segment-id> <recording-id> <start> <end> [<channel>]",
            # A NUL would end the path early, at another file.
            "nul: wav.scp line 9: a NUL byte in the line is not understood",
            "s10: segments line 13: recording nul is not understood (wav.scp line 9)",
            "s11: segments line 14: a NUL byte in the line is not understood",
        ]
    )
    assert sorted(p.name for p in (tmp_path / "out/data").iterdir()) == ["s1.wav", "s3.wav", "s8.wav"]
    assert (tmp_path / "out/wav.scp").read_text() == "s1 out/data/s1.wav\ns3 out/data/s3.wav\ns8 out/data/s8.wav\n"
    assert not (tmp_path / "evil.wav").exists()


def test_whole_recordings_resume_and_formats(tmp_path, calls, korrin):
    (tmp_path / "wav.scp").write_text(
        "".join(f"r{i} {p}\n" for i, p in enumerate(calls)) + f"r2-A sph2pipe -f wav -c 1 {calls[0]} |\n"
    )
    first = sph2wav("-q", "--wav-scp", "wav.scp", "-o", "out", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    out = tmp_path / "out/data"
    assert (out / "r0.wav").read_bytes() == korrin.transcode(calls[0].read_bytes())
    # Without -p, a G.711 WAV, as the line's call writes it.
    assert (out / "r2-A.wav").read_bytes()[20:22] == b"\x07\x00"

    (out / "r1.wav").unlink()
    again = sph2wav("--skip-existing", "--wav-scp", "wav.scp", "-o", "out", cwd=tmp_path)
    assert again.returncode == 0
    assert "1 output written, 2 skipped" in again.stderr.decode()
    assert (tmp_path / "out/wav.scp").read_text().splitlines() == [
        "r0 out/data/r0.wav",
        "r1 out/data/r1.wav",
        "r2-A out/data/r2-A.wav",
    ]
    refused = sph2wav("-q", "--wav-scp", "wav.scp", "-o", "out", cwd=tmp_path)
    assert (
        refused.returncode == 1
        and b"already exists (use --force to replace it, or --skip-existing to keep it)" in refused.stderr
    )

    pcm = sph2wav("-q", "--pcm", "--wav-scp", "wav.scp", "-o", "pcm", cwd=tmp_path)
    assert pcm.returncode == 0
    # Raw PCM holds linear samples, whatever the line's coding.
    left = np.frombuffer(korrin.decode_pcm(calls[0].read_bytes()), "<i2")[0::2]
    assert (tmp_path / "pcm/data/r2-A.pcm").read_bytes() == left.tobytes()


@pytest.mark.parametrize(
    "args, message",
    [
        (["--wav-scp", "w", "-o", "-"], "--wav-scp needs -o OUTDIR"),
        (["--wav-scp", "w", "x.sph", "-o", "o"], "--wav-scp takes its inputs from WAV_SCP, not from the command line"),
        (["--segments", "s", "x.sph"], "--segments needs --wav-scp"),
        (["--wav-scp", "w", "-c", "1", "-o", "o"], "--wav-scp takes no --info, -c, -s, -t or --keep-extension"),
    ],
)
def test_bad_usage(tmp_path, args, message):
    result = sph2wav(*args, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr.decode()

#!/usr/bin/env python3
"""Writes the sample SPHERE files of this directory.

Every file carries the same quarter second of sound (a gliding tone with a
little harmonic colour, 16 kHz), so each coding can be checked against the
others: 16-bit PCM little-endian (mono) and big-endian (stereo), G.711 mu-law
and A-law, and Shorten ("pcm,embedded-shorten-v2.00"). The output is the same
bytes on every run: the files are committed, and the tests regenerate them to
make sure they still match.

    python3 examples/make_examples.py [OUTPUT_DIR]
"""

from __future__ import annotations

import math
import struct
import sys
from pathlib import Path

SAMPLE_RATE = 16000
FRAMES = 4000
HEADER_SIZE = 1024


def signal(channels: int) -> list[int]:
    """Interleaved 16-bit samples: a tone gliding from 300 to 900 Hz, the
    second channel a fifth above the first, faded in and out."""
    samples = []
    for n in range(FRAMES):
        t = n / SAMPLE_RATE
        envelope = math.sin(math.pi * n / FRAMES) ** 2
        for channel in range(channels):
            base = 300.0 * (1.5**channel)
            phase = 2 * math.pi * (base * t + 600.0 * t * t / (2 * 0.25))
            value = 0.8 * math.sin(phase) + 0.15 * math.sin(3 * phase)
            samples.append(round(24000 * envelope * value))
    return samples


def sphere(fields: list[tuple[str, str, str]], payload: bytes) -> bytes:
    lines = ["NIST_1A", f"   {HEADER_SIZE}"]
    lines += [f"{name} {kind} {value}" for name, kind, value in fields]
    lines.append("end_head")
    header = ("\n".join(lines) + "\n").encode("ascii")
    assert len(header) <= HEADER_SIZE
    return header + b" " * (HEADER_SIZE - len(header) - 1) + b"\n" + payload


def fields(channels: int, sample_n_bytes: int, coding: str, byte_format: str | None = None):
    out = [
        ("database_id", "-s16", "korrin_examples"),
        ("sample_count", "-i", str(FRAMES)),
        ("sample_rate", "-i", str(SAMPLE_RATE)),
        ("channel_count", "-i", str(channels)),
        ("sample_n_bytes", "-i", str(sample_n_bytes)),
        ("sample_coding", f"-s{len(coding)}", coding),
    ]
    if byte_format is not None:
        out.append(("sample_byte_format", f"-s{len(byte_format)}", byte_format))
    return out


# G.711 compression (ITU-T G.711; the inverse of the expansion the module does).


def ulaw_encode(sample: int) -> int:
    sign = 0x00 if sample >= 0 else 0x80
    biased = min(abs(sample), 32635) + 132
    exponent = max(0, (biased >> 7).bit_length() - 1)
    mantissa = (biased >> (exponent + 3)) & 0x0F
    return (sign | (exponent << 4) | mantissa) ^ 0xFF


def alaw_encode(sample: int) -> int:
    sign = 0x80 if sample >= 0 else 0x00
    magnitude = min(abs(sample) >> 3, 4095)  # 13-bit magnitude
    if magnitude < 32:
        segment, mantissa = 0, magnitude >> 1
    else:
        segment = magnitude.bit_length() - 5
        mantissa = (magnitude >> segment) & 0x0F
    return (sign | (segment << 4) | mantissa) ^ 0x55


# Shorten: a minimal encoder (first-order differences only).


class BitWriter:
    def __init__(self) -> None:
        self.bits: list[int] = []

    def uvar(self, width: int, value: int) -> None:
        self.bits += [0] * (value >> width) + [1]
        self.bits += [(value >> i) & 1 for i in range(width - 1, -1, -1)]

    def var(self, width: int, value: int) -> None:
        self.uvar(width, value << 1 if value >= 0 else ((-value - 1) << 1) | 1)

    def ulong(self, value: int) -> None:
        width = value.bit_length()
        self.uvar(2, width)
        self.uvar(width, value)

    def to_bytes(self) -> bytes:
        # Zero bits up to a multiple of 32, as classic Shorten readers expect.
        bits = self.bits + [0] * (-len(self.bits) % 32)
        return bytes(int("".join(map(str, bits[i : i + 8])), 2) for i in range(0, len(bits), 8))


def shorten(samples: list[int], channels: int, blocksize: int = 256) -> bytes:
    writer = BitWriter()
    for parameter in (5, channels, blocksize, 0, 0, 0):  # type, channels, blocksize, maxnlpc, nmean, nskip
        writer.ulong(parameter)
    per_channel = [samples[c::channels] for c in range(channels)]
    previous = [0] * channels
    current_blocksize = blocksize
    for start in range(0, len(per_channel[0]), blocksize):
        size = min(blocksize, len(per_channel[0]) - start)
        if size != current_blocksize:
            writer.uvar(2, 5)  # BLOCKSIZE
            writer.ulong(size)
            current_blocksize = size
        for c in range(channels):
            block = per_channel[c][start : start + size]
            residuals = [s - p for s, p in zip(block, [previous[c]] + block[:-1])]
            previous[c] = block[-1]
            width = max(abs(r) for r in residuals).bit_length()
            writer.uvar(2, 1)  # DIFF1
            writer.uvar(3, width)
            for r in residuals:
                writer.var(width + 1, r)
    writer.uvar(2, 4)  # QUIT
    return b"ajkg\x02" + writer.to_bytes()


def examples() -> dict[str, bytes]:
    mono, stereo = signal(1), signal(2)
    return {
        "pcm16_le_mono.sph": sphere(fields(1, 2, "pcm", "01"), struct.pack(f"<{len(mono)}h", *mono)),
        "pcm16_be_stereo.sph": sphere(fields(2, 2, "pcm", "10"), struct.pack(f">{len(stereo)}h", *stereo)),
        "ulaw_mono.sph": sphere(fields(1, 1, "ulaw"), bytes(map(ulaw_encode, mono))),
        "alaw_stereo.sph": sphere(fields(2, 1, "alaw"), bytes(map(alaw_encode, stereo))),
        "shorten_stereo.sph": sphere(fields(2, 2, "pcm,embedded-shorten-v2.00", "01"), shorten(stereo, 2)),
    }


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent
    out.mkdir(parents=True, exist_ok=True)
    for name, data in examples().items():
        (out / name).write_bytes(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()

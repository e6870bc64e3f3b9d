#!/usr/bin/env python3
"""Builds hostile Shorten streams and SPHERE files at the format's limits.

    python3 fuzz/worst_cases.py OUTDIR [NAME ...]

writes OUTDIR/NAME.shn (a bare stream) for each case, or every case when no
name is given. scripts/workbounds runs each through the module and records
time and peak memory; fuzz/README.md has the figures. The streams are made
command by command with a bit writer, so that one case can hold, say, a
single unary run of 2^26 zeros, which no audio encoder would produce.
"""

import pathlib
import sys

MAX_UNARY = 1 << 26
MAX_BLOCK = 1 << 24
MAX_SAMPLES = 1 << 30

DIFF0, DIFF1, DIFF2, DIFF3, QUIT, BLOCKSIZE, BITSHIFT, QLPC, ZERO, VERBATIM = range(10)


class BitWriter:
    """Shorten codes, most significant bit first."""

    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.nbits = 0

    def bits(self, value, n):
        for i in range(n - 1, -1, -1):
            self.bit((value >> i) & 1)

    def bit(self, b):
        self.acc = (self.acc << 1) | b
        self.nbits += 1
        if self.nbits == 8:
            self.out.append(self.acc)
            self.acc = 0
            self.nbits = 0

    def zeros(self, count):
        """count zero bits, whole bytes at a time where possible."""
        while count and self.nbits:
            self.bit(0)
            count -= 1
        self.out += bytes(count // 8)
        for _ in range(count % 8):
            self.bit(0)

    def uvar(self, value, n):
        self.zeros(value >> n)
        self.bit(1)
        self.bits(value & ((1 << n) - 1), n)

    def var(self, value, n):
        self.uvar((value << 1) if value >= 0 else ((-value - 1) << 1) | 1, n)

    def ulong(self, value):
        w = max(value.bit_length(), 0)
        self.uvar(w, 2)
        self.uvar(value, w)

    def repeat(self, pattern_bits, count):
        """Appends a bit pattern (a '0'/'1' string) count times, fast."""
        # Align first, then emit whole-byte copies of the pattern.
        pattern = pattern_bits * 8  # a multiple of 8 bits long
        while self.nbits and count:
            for c in pattern_bits:
                self.bit(int(c))
            count -= 1
        chunk = int(pattern, 2).to_bytes(len(pattern) // 8, "big")
        whole, rest = divmod(count, 8)
        self.out += chunk * whole
        for _ in range(rest):
            for c in pattern_bits:
                self.bit(int(c))

    def finish(self):
        while self.nbits:
            self.bit(0)
        self.out += bytes(4)  # classic readers fetch 32-bit words
        return bytes(self.out)


def header(w, *, ftype=5, channels=1, blocksize=256, maxnlpc=0, nmean=0, nskip=0):
    for v in (ftype, channels, blocksize, maxnlpc, nmean, nskip):
        w.ulong(v)


def stream(build):
    w = BitWriter()
    w.out += b"ajkg\x02"
    build(w)
    return w.finish()


# --- the cases -------------------------------------------------------------


def longest_unary_run(w):
    """One DIFF0 residual whose unary part is exactly 2^26 zeros."""
    header(w, blocksize=1)
    w.uvar(DIFF0, 2)
    w.uvar(0, 3)  # residual width 0: var width 1
    w.zeros(MAX_UNARY)
    w.bit(1)
    w.bit(0)
    w.uvar(QUIT, 2)


def runaway_unary(w):
    """2^26 + 1 zeros: the reader must give up at the limit."""
    header(w, blocksize=1)
    w.uvar(DIFF0, 2)
    w.uvar(0, 3)
    w.zeros(MAX_UNARY + 1)
    w.bit(1)


def max_blocksize_qlpc(w):
    """One block of 2^24 samples predicted with order 1024 (every residual 0)."""
    header(w, blocksize=MAX_BLOCK, maxnlpc=1024)
    w.uvar(QLPC, 2)
    w.uvar(0, 3)
    w.uvar(1024, 2)
    for k in range(1024):
        w.var(1 if k == 0 else 0, 6)
    w.repeat("10", MAX_BLOCK)  # var(0) with width 1
    w.uvar(QUIT, 2)


def max_decoded_length(w):
    """64 ZERO blocks of 2^24: exactly 2^30 samples, then QUIT."""
    header(w, blocksize=MAX_BLOCK)
    for _ in range(MAX_SAMPLES // MAX_BLOCK):
        w.uvar(ZERO, 2)
    w.uvar(QUIT, 2)


def past_decoded_length(w):
    """One ZERO block more than 2^30 samples allow."""
    header(w, blocksize=MAX_BLOCK)
    for _ in range(MAX_SAMPLES // MAX_BLOCK + 1):
        w.uvar(ZERO, 2)
    w.uvar(QUIT, 2)


def many_blocks_max_nmean(w, blocks=1 << 22):
    """2^22 one-sample DIFF0 blocks with nmean 65536: a running mean each."""
    header(w, blocksize=1, nmean=65536)
    bits = ""
    for v, n in ((DIFF0, 2), (0, 3)):
        t = BitWriter()
        t.uvar(v, n)
        bits += "".join(str((t.acc >> i) & 1) for i in range(t.nbits - 1, -1, -1))
    w.repeat(bits + "10", blocks)
    w.uvar(QUIT, 2)


def many_tiny_zero_blocks(w, blocks=1 << 24):
    """2^24 one-sample ZERO blocks with nmean 1: a block mean each."""
    header(w, blocksize=1, nmean=1)
    w.repeat("00100", blocks)  # uvar(8, 2)
    w.uvar(QUIT, 2)


def max_channels_history(w):
    """256 channels with maxnlpc 1024, one QLPC block of order 1024 each."""
    header(w, channels=256, blocksize=1, maxnlpc=1024)
    for _ in range(256):
        w.uvar(QLPC, 2)
        w.uvar(0, 3)
        w.uvar(1024, 2)
        for _ in range(1024):
            w.var(0, 6)
        w.var(0, 1)
    w.uvar(QUIT, 2)


def max_nskip(w):
    """2^20 skipped header codes, then QUIT."""
    header(w, nskip=1 << 20)
    w.repeat("10", 1 << 20)
    w.uvar(QUIT, 2)


def long_verbatim(w, length=1 << 22):
    """A VERBATIM of 2^22 bytes (no limit of its own), then QUIT."""
    header(w)
    w.uvar(VERBATIM, 2)
    w.uvar(length, 5)
    w.repeat("100000000", length)  # uvar(0, 8)
    w.uvar(QUIT, 2)


def truncated_max_block(w):
    """A 2^24 block announced by a stream that ends at once."""
    header(w, blocksize=MAX_BLOCK)
    w.uvar(DIFF1, 2)
    w.uvar(0, 3)


CASES = {
    f.__name__: f
    for f in (
        longest_unary_run,
        runaway_unary,
        max_blocksize_qlpc,
        max_decoded_length,
        past_decoded_length,
        many_blocks_max_nmean,
        many_tiny_zero_blocks,
        max_channels_history,
        max_nskip,
        long_verbatim,
        truncated_max_block,
    )
}


def main(argv):
    out = pathlib.Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name in argv[2:] or CASES:
        data = stream(CASES[name])
        (out / f"{name}.shn").write_bytes(data)
        print(f"{name}.shn {len(data)} bytes")


if __name__ == "__main__":
    main(sys.argv)

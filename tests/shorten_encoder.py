"""A small Shorten encoder for tests.

It writes "ajkg" streams of version 2 (or 1) from known values and says what a correct
decoder must return for them, so that decoding can be checked by round trips.
The encoder keeps the decoder's state (histories, block means, bit shift) as
the decoder does and chooses each residual as value minus prediction, so any
command can encode any block: the mix of commands, block sizes, bit shifts and
padding is picked by a seeded random generator, not by compression ratio.

    stream = encode(values, sample_type=5, blocksize=256, maxnlpc=4, nmean=4, seed=1)
    stream.data   # the Shorten stream
    stream.pcm    # the LE 16-bit PCM a decoder must return for it

Version 2 keeps each block mean multiplied by 2^shift, the bit shift its
block was coded under, and brings the running mean back down by the shift in
force (an arithmetic shift), as the encoders that wrote real files do.
Version 1 differs in four places: block means and the running mean are
truncating divisions without the half-divisor rounding term, they are not
scaled by the bit shift, and QLPC sums get no rounding offset. Writers
default to nmean 0 for version 1 and 4 for version 2 (DEFAULT_NMEAN); a
decoder reads it from the stream header either way.
"""

from __future__ import annotations

import dataclasses
import random
import struct
from collections.abc import Sequence

import numpy as np

DIFF0, DIFF1, DIFF2, DIFF3, QUIT, BLOCKSIZE, BITSHIFT, QLPC, ZERO, VERBATIM = range(10)
LPC_SHIFT = 5  # coefficients are fixed point with five fraction bits
DEFAULT_NMEAN = {1: 0, 2: 4}
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class BitWriter:
    """Writes codes most significant bit first."""

    def __init__(self) -> None:
        self._bytes = bytearray()
        self._acc = 0
        self._used = 0

    def bits(self, value: int, n: int) -> None:
        for i in range(n - 1, -1, -1):
            self._acc = (self._acc << 1) | ((value >> i) & 1)
            self._used += 1
            if self._used == 8:
                self._bytes.append(self._acc)
                self._acc = 0
                self._used = 0

    def uvar(self, value: int, n: int) -> None:
        assert value >= 0
        high = value >> n
        assert high < 1 << 20, "a unary part this long is a bug in the encoder"
        for _ in range(high):
            self.bits(0, 1)
        self.bits(1, 1)
        self.bits(value, n)

    def var(self, value: int, n: int) -> None:
        self.uvar(2 * value if value >= 0 else -2 * value - 1, n)

    def ulong(self, value: int) -> None:
        width = value.bit_length()
        self.uvar(width, 2)
        self.uvar(value, width)

    @property
    def bit_length(self) -> int:
        return 8 * len(self._bytes) + self._used

    def getvalue(self) -> bytes:
        tail = bytes([self._acc << (8 - self._used)]) if self._used else b""
        return bytes(self._bytes) + tail


def ulaw_value_to_byte(value: int, shift: int) -> int:
    """The mu-law byte for a reconstructed type-8 value (raises ValueError
    outside the 8-bit domain at shift 0)."""
    if shift == 0:
        if not -128 <= value <= 127:
            raise ValueError(value)
        return 0xFF - value if value >= 0 else 0x80 + value
    m = value if value >= 0 else -value - 1
    candidates, b = [], 0
    for i in range(shift + 1):
        if i > 0:
            b = b // 2 + 8 * i
        candidates.append(m * 2 ** (shift - i) + b)
    q = min(min(candidates), 127)
    return 0xFF - q if value >= 0 else 0x7F - q


def ulaw_expand(code: int) -> int:
    u = ~code & 0xFF
    t = ((u & 0x0F) * 8 + 132) << ((u >> 4) & 0x07)
    return t - 132 if code & 0x80 else 132 - t


def wav_header(channels: int, frames: int, rate: int = 16000) -> bytes:
    """The canonical 44-byte header of a 16-bit PCM WAV file."""
    data = frames * channels * 2
    return (
        b"RIFF"
        + struct.pack("<I", 36 + data)
        + b"WAVE"
        + b"fmt "
        + struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16)
        + b"data"
        + struct.pack("<I", data)
    )


def _checked(value: int) -> int:
    assert INT64_MIN <= value <= INT64_MAX, "the encoder left the decoder's 64-bit range"
    return value


def _trunc_div(a: int, b: int) -> int:
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def _coffset(means: list[int], nmean: int, version: int = 2, shift: int = 0) -> int:
    """The running mean; in version 2 the means are stored scaled by their
    blocks' bit shifts, and the result comes back down by the current one."""
    if nmean == 0:
        return 0
    rounding = nmean // 2 if version >= 2 else 0
    mean = _trunc_div(_checked(sum(means[-nmean:]) + rounding), nmean)
    return mean >> shift if version >= 2 else mean


def _block_mean(block: Sequence[int], version: int, shift: int) -> int:
    """A block mean as the stream keeps it: in version 2 times 2^shift (a
    shift of 32 keeps 0)."""
    rounding = len(block) // 2 if version >= 2 else 0
    mean = _trunc_div(_checked(sum(block) + rounding), len(block))
    if version < 2:
        return mean
    return 0 if shift == 32 else _checked(mean << shift)


def _lpc_coefficients(signal: np.ndarray, order: int) -> list[int]:
    """Quantised linear-prediction coefficients (Levinson-Durbin over the
    autocorrelation), a[0] for the most recent value."""
    x = signal.astype(np.float64)
    r = [float(np.dot(x[: len(x) - k], x[k:])) for k in range(order + 1)]
    if r[0] == 0.0:
        return [0] * order
    a = [0.0] * order
    err = r[0]
    for i in range(order):
        acc = r[i + 1] - sum(a[j] * r[i - j] for j in range(i))
        k = acc / err
        a[: i + 1] = [a[j] - k * a[i - 1 - j] for j in range(i)] + [k]
        err *= 1.0 - k * k
        if err <= 0:
            break
    return [int(round(c * (1 << LPC_SHIFT))) for c in a]


@dataclasses.dataclass
class Stream:
    data: bytes
    pcm: bytes  # the LE 16-bit samples a decoder returns
    channels: int
    ulaw: bool
    commands: set[int]  # the command codes the stream uses
    codes: bytes = b""  # sample type 8: the mu-law code bytes, interleaved


class _Channel:
    def __init__(self, history_length: int) -> None:
        self.history = [0] * history_length
        self.means: list[int] = []
        self.output: list[int] = []
        self.codes: list[int] = []


def _predict(
    command: int, block: Sequence[int], history: list[int], mu: int, coefficients: list[int], version: int = 2
) -> list[int]:
    """The residuals that make the decoder rebuild `block` with `command`."""
    w = list(history)
    residuals = []
    for s in block:
        if command == DIFF0 or (command == QLPC and not coefficients):
            p = mu
        elif command == DIFF1:
            p = w[-1]
        elif command == DIFF2:
            p = 2 * w[-1] - w[-2]
        elif command == DIFF3:
            p = 3 * w[-1] - 3 * w[-2] + w[-3]
        else:
            acc = sum(a * (w[-1 - k] - mu) for k, a in enumerate(coefficients))
            p = ((acc + (32 if version >= 2 else 0)) >> LPC_SHIFT) + mu
        _checked(p)
        residuals.append(s - p)
        w.append(s)
    return residuals


def _residual_width(residuals: list[int]) -> int:
    """A width e that keeps the residuals' unary parts short."""
    folded = [2 * r if r >= 0 else -2 * r - 1 for r in residuals]
    mean = sum(folded) / max(1, len(folded))
    e = max(0, min(31, int(mean).bit_length() - 1))
    while e < 31 and max(folded, default=0) >> (e + 1) > 64:
        e += 1
    return e


def encode(
    values: np.ndarray,
    *,
    sample_type: int = 5,
    blocksize: int = 256,
    maxnlpc: int = 0,
    nmean: int = 0,
    nskip: int = 0,
    seed: int = 0,
    blocksizes: Sequence[int] = (),
    bitshifts: Sequence[int] = (0,),
    commands: Sequence[int] = (DIFF0, DIFF1, DIFF2, DIFF3, QLPC, ZERO),
    verbatim: bool = True,
    min_qlpc_order: int = 0,
    leading_wav_header: bool = False,
    pad_to_words: bool = False,
    version: int = 2,
) -> Stream:
    """Encodes `values` (frames x channels, reconstructed values before any
    bit shift; for sample type 8 the values whose mu-law bytes are wanted).

    Each round of blocks (one per channel) may first change the block size
    (to one of `blocksizes`), the bit shift (to one of `bitshifts`) or carry
    VERBATIM bytes; a last, shorter round gets a BLOCKSIZE of its own.
    QLPC blocks take orders from `min_qlpc_order` to `maxnlpc`.
    `leading_wav_header` starts the stream with a VERBATIM WAV header and
    `pad_to_words` pads it to whole 32-bit words after its first five bytes,
    as stream readers that fetch 32-bit words expect. `version` is the
    stream version, 1 or 2.
    """
    assert version in (1, 2)
    values = np.asarray(values, dtype=np.int64)
    if values.ndim == 1:
        values = values[:, None]
    frames, channel_count = values.shape
    rng = random.Random(seed)
    history_length = max(3, maxnlpc)
    w = BitWriter()
    used: set[int] = set()

    def command(code: int) -> None:
        used.add(code)
        w.uvar(code, 2)

    def put_verbatim(data: bytes) -> None:
        command(VERBATIM)
        w.uvar(len(data), 5)
        for b in data:
            w.uvar(b, 8)

    for v in (sample_type, channel_count, blocksize, maxnlpc, nmean, nskip):
        w.ulong(v)
    for _ in range(nskip):
        w.uvar(rng.randrange(2), 1)
    if leading_wav_header:
        put_verbatim(wav_header(channel_count, frames))

    channels = [_Channel(history_length) for _ in range(channel_count)]
    current_blocksize, shift, frame = blocksize, 0, 0
    if 0 not in bitshifts:
        shift = bitshifts[0]
        command(BITSHIFT)
        w.uvar(shift, 2)
    while frame < frames:
        wanted = rng.choice(blocksizes) if blocksizes and rng.random() < 0.3 else current_blocksize
        if frames - frame < wanted:
            wanted = frames - frame
        if wanted != current_blocksize:
            command(BLOCKSIZE)
            w.ulong(wanted)
            current_blocksize = wanted
        if len(bitshifts) > 1 and rng.random() < 0.3:
            shift = rng.choice(bitshifts)
            command(BITSHIFT)
            w.uvar(shift, 2)
        if verbatim and rng.random() < 0.1:
            put_verbatim(bytes(rng.randrange(256) for _ in range(rng.randrange(4))))
        for c, ch in enumerate(channels):
            block = [int(x) for x in values[frame : frame + current_blocksize, c]]
            choices = [k for k in commands if k != ZERO or not any(block)]
            code = rng.choice(choices)
            if code == ZERO:
                command(ZERO)
            else:
                mu = _coffset(ch.means, nmean, version, shift)
                coefficients: list[int] = []
                if code == QLPC:
                    order = rng.randrange(min(min_qlpc_order, maxnlpc), maxnlpc + 1)
                    coefficients = _lpc_coefficients(np.array(ch.history + block) - mu, order)
                residuals = _predict(code, block, ch.history, mu, coefficients, version)
                e = _residual_width(residuals)
                command(code)
                w.uvar(e, 3)
                if code == QLPC:
                    w.uvar(len(coefficients), 2)
                    for a in coefficients:
                        w.var(a, 6)
                for r in residuals:
                    w.var(r, e + 1)
            ch.history = (ch.history + block)[-history_length:]
            if nmean:
                ch.means.append(_block_mean(block, version, shift))
            for v in block:
                if sample_type == 8:
                    ch.codes.append(ulaw_value_to_byte(v, shift))
                    ch.output.append(ulaw_expand(ch.codes[-1]))
                else:
                    ch.output.append(min(32767, max(-32768, v << shift)))
        frame += current_blocksize
    command(QUIT)

    body = w.getvalue()
    if pad_to_words:
        body += bytes(-len(body) % 4)
    interleaved = np.array([ch.output for ch in channels], dtype="<i2").T.reshape(-1)
    codes = np.array([ch.codes for ch in channels], dtype=np.uint8).T.reshape(-1)
    return Stream(
        b"ajkg" + bytes([version]) + body, interleaved.tobytes(), channel_count, sample_type == 8, used, codes.tobytes()
    )


def speech_like_values(
    frames: int, channels: int, seed: int, *, amplitude: int = 20000, silence: bool = True
) -> np.ndarray:
    """Speech-like test values: sums of tones and noise, random walks, steps
    and stretches of silence, per channel."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames)
    out = np.empty((frames, channels), dtype=np.int64)
    for c in range(channels):
        kind = rng.integers(4)
        if kind == 0:
            x = amplitude * np.sin(2 * np.pi * t * rng.uniform(0.001, 0.2)) + rng.normal(0, amplitude / 50, frames)
        elif kind == 1:
            x = np.cumsum(rng.normal(0, amplitude / 100, frames))
        elif kind == 2:
            x = rng.normal(0, amplitude / 3, frames)
        else:
            x = np.repeat(rng.integers(-amplitude, amplitude, frames // 50 + 1), 50)[:frames]
        x = np.clip(np.round(x), -amplitude, amplitude).astype(np.int64)
        if silence and frames > 100:
            start = int(rng.integers(0, frames - 50))
            x[start : start + int(rng.integers(10, 300))] = 0
        out[:, c] = x
    return out


def drifting_offset_values(frames: int, channels: int, seed: int, *, noise: int = 6, drift: int = 3000) -> np.ndarray:
    """Low-level noise about an offset that drifts slowly, per channel: the
    signal on which DIFF0 and QLPC blocks lean on the running mean (a tone
    rarely makes DIFF0 the best choice)."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames)
    out = np.empty((frames, channels), dtype=np.int64)
    for c in range(channels):
        offset = drift * np.sin(2 * np.pi * t / max(frames, 1) * rng.uniform(0.5, 2.0)) + rng.integers(-drift, drift)
        out[:, c] = np.round(offset + rng.normal(0, noise, frames)).astype(np.int64)
    return out


def repeated_stream(
    rounds: int, channels: int = 1, blocksize: int = 4091, seed: int = 0, leading_wav_header: bool = False
) -> bytes:
    """A long type-5 stream made fast: one round of DIFF1 blocks (residuals of
    width 1, random) written once and repeated `rounds` times. The block
    size makes a block a whole number of bytes (7 + 3 * blocksize bits).
    With `leading_wav_header` it starts as encode() would and is padded to
    32-bit words, for ffmpeg."""
    assert (7 + 3 * blocksize) % 8 == 0
    rng = random.Random(seed)
    head = BitWriter()
    for v in (5, channels, blocksize, 0, 0, 0):
        head.ulong(v)
    if leading_wav_header:
        header = wav_header(channels, rounds * blocksize)
        head.uvar(VERBATIM, 2)
        head.uvar(len(header), 5)
        for b in header:
            head.uvar(b, 8)
    while head.bit_length % 8:
        head.uvar(BITSHIFT, 2)  # BITSHIFT 0 changes nothing and takes 7 bits
        head.uvar(0, 2)
    block = BitWriter()
    for _ in range(channels):
        block.uvar(DIFF1, 2)
        block.uvar(1, 3)
        for _ in range(blocksize):
            block.var(rng.randrange(-2, 2), 2)
    quit_ = BitWriter()
    quit_.uvar(QUIT, 2)
    body = head.getvalue() + block.getvalue() * rounds + quit_.getvalue()
    if leading_wav_header:
        body += bytes(-len(body) % 4)
    return b"ajkg\x02" + body

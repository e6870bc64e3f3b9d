"""A vectorised Shorten encoder for benchmark inputs.

tests/shorten_encoder.py is the reference encoder of the test suite and
writes its bits one by one in Python; the benchmark needs tens of millions
of samples, so it has this numpy encoder of its own, which makes the same
kind of stream a few hundred times faster. Its streams are checked against
ffmpeg's decoder by bench/run.py before anything is timed (and decode to
the audio they were made from).

What it writes: magic "ajkg", version 2, the six header parameters, a
leading VERBATIM command (the WAV header that .shn files carry), then one
block per channel in turn: the best of DIFF0-DIFF3 by the sum of absolute
residuals, or QLPC of order 4, 8 or 16 (Levinson-Durbin on the block,
coefficients quantised to 5 fractional bits) when linear prediction is on;
a BLOCKSIZE command before a short last block; QUIT. Residual widths are
chosen per block for the fewest bits. No BITSHIFT: the block means are
then kept as they are.
"""

from __future__ import annotations

import numpy as np

FN_DIFF0, FN_QUIT, FN_BLOCKSIZE, FN_QLPC, FN_VERBATIM = 0, 4, 5, 7, 9


def _tdiv(a: int, b: int) -> int:
    """Integer division truncating toward zero (b > 0)."""
    q = abs(a) // b
    return q if a >= 0 else -q


class _Bits:
    """Collects (value, width) fields in stream order and packs them MSB first."""

    def __init__(self):
        self.values: list[np.ndarray] = []
        self.widths: list[np.ndarray] = []

    def fields(self, values, widths):
        self.values.append(np.asarray(values, dtype=np.uint64).reshape(-1))
        self.widths.append(np.asarray(widths, dtype=np.int64).reshape(-1))

    def uvar(self, value: int, n: int):
        q, low = value >> n, value & ((1 << n) - 1)
        if q + 1 + n <= 63:
            self.fields([(1 << n) | low], [q + 1 + n])
        else:
            self.fields([0] * (q // 32), [32] * (q // 32))
            self.fields([(1 << n) | low], [q % 32 + 1 + n])

    def var(self, value: int, n: int):
        self.uvar(2 * value if value >= 0 else -2 * value - 1, n)

    def ulong(self, value: int):
        w = max(int(value).bit_length(), 0)
        self.uvar(w, 2)
        self.uvar(value, w)

    def var_block(self, residuals: np.ndarray, n: int):
        """var(n) codes of many residuals at once (each must have a short unary part)."""
        r = residuals.astype(np.int64)
        u = np.where(r >= 0, 2 * r, -2 * r - 1).astype(np.uint64)
        q = (u >> np.uint64(n)).astype(np.int64)
        if q.max(initial=0) + 1 + n > 63:
            for v in r.tolist():
                self.var(v, n)
            return
        low = u & np.uint64((1 << n) - 1)
        self.fields(low | np.uint64(1 << n), q + 1 + n)

    def pack(self) -> bytes:
        values = np.concatenate(self.values)
        widths = np.concatenate(self.widths)
        ends = np.cumsum(widths)
        starts = ends - widths
        total = int(ends[-1]) if len(ends) else 0
        nwords = total // 64 + 2
        word = starts >> 6
        shift = starts & 63
        room = 64 - shift  # bits left in the first word
        fits = widths <= room
        out = np.zeros(nwords, dtype=np.uint64)
        # Fields that fit their first word.
        a_word = word[fits]
        a_val = values[fits] << (room[fits] - widths[fits]).astype(np.uint64)
        # Fields that spill into the next word: top part, then the rest.
        s = ~fits
        spill = widths[s] - room[s]
        b_word = word[s]
        b_val = values[s] >> spill.astype(np.uint64)
        c_word = word[s] + 1
        c_val = (values[s] & ((np.uint64(1) << spill.astype(np.uint64)) - np.uint64(1))) << (64 - spill).astype(
            np.uint64
        )
        all_word = np.concatenate([a_word, b_word, c_word])
        all_val = np.concatenate([a_val, b_val, c_val])
        order = np.argsort(all_word, kind="stable")
        all_word, all_val = all_word[order], all_val[order]
        # Fields never overlap, so OR within each word is a sum.
        starts_idx = np.flatnonzero(np.r_[True, all_word[1:] != all_word[:-1]])
        out[all_word[starts_idx]] = np.bitwise_or.reduceat(all_val, starts_idx)
        return out.astype(">u8").tobytes()[: (total + 7) // 8]


def _best_width(u: np.ndarray) -> int:
    """The residual width e (codes var(e + 1)) that makes the fewest bits."""
    best, best_bits = 0, None
    n = len(u)
    for e in range(0, 24):
        bits = int((u >> np.uint64(e + 1)).sum()) + n * (e + 2)
        if best_bits is None or bits < best_bits:
            best, best_bits = e, bits
        elif bits > best_bits:
            break
    return best


def _fold(r: np.ndarray) -> np.ndarray:
    return np.where(r >= 0, 2 * r, -2 * r - 1).astype(np.uint64)


def _levinson(acf: list[float], orders: list[int]) -> dict[int, list[float]]:
    """Predictor coefficients c[1..p] of x[t] ~ sum c_k x[t-k], for each p in
    `orders`, from one Levinson-Durbin recursion (plain floats: the orders
    are small)."""
    top = max(orders)
    a = [1.0] + [0.0] * top
    err = acf[0]
    found = {}
    for i in range(1, top + 1):
        if err > 0:
            k = -(acf[i] + sum(a[j] * acf[i - j] for j in range(1, i))) / err
            a = [a[j] + k * a[i - j] if 0 < j < i else a[j] for j in range(top + 1)]
            a[i] = k
            err *= 1 - k * k
        if i in orders:
            found[i] = [-c for c in a[1 : i + 1]]
    return found


def encode(
    samples: np.ndarray,
    sample_type: int = 5,
    blocksize: int = 256,
    maxnlpc: int = 0,
    nmean: int = 4,
    verbatim: bytes = b"",
) -> bytes:
    """A Shorten stream of `samples` (int16, frames x channels)."""
    samples = np.asarray(samples)
    if samples.ndim == 1:
        samples = samples[:, None]
    frames, channels = samples.shape
    hist = max(3, maxnlpc)
    bits = _Bits()
    for v in (sample_type, channels, blocksize, maxnlpc, nmean, 0):
        bits.ulong(v)
    if verbatim:
        bits.uvar(FN_VERBATIM, 2)
        bits.uvar(len(verbatim), 5)
        bits.fields(np.frombuffer(verbatim, dtype=np.uint8).astype(np.uint64) | np.uint64(1 << 8), [9] * len(verbatim))
    # Each channel's signal with `hist` zeros of history in front.
    x = [np.concatenate([np.zeros(hist, dtype=np.int64), samples[:, c].astype(np.int64)]) for c in range(channels)]
    means: list[list[int]] = [[] for _ in range(channels)]
    orders = [p for p in (4, 8, 16) if p <= maxnlpc]
    current = blocksize
    for start in range(0, frames, blocksize):
        n = min(blocksize, frames - start)
        if n != current:
            bits.uvar(FN_BLOCKSIZE, 2)
            bits.ulong(n)
            current = n
        for c in range(channels):
            xs = x[c]
            t0 = hist + start
            block = xs[t0 : t0 + n]
            mu = _tdiv(sum(means[c][-nmean:]) + nmean // 2, nmean) if nmean else 0
            candidates = []
            # DIFF0..DIFF3
            d0 = block - mu
            d1 = block - xs[t0 - 1 : t0 + n - 1]
            d2 = block - 2 * xs[t0 - 1 : t0 + n - 1] + xs[t0 - 2 : t0 + n - 2]
            d3 = block - 3 * xs[t0 - 1 : t0 + n - 1] + 3 * xs[t0 - 2 : t0 + n - 2] - xs[t0 - 3 : t0 + n - 3]
            for cmd, r in enumerate((d0, d1, d2, d3)):
                candidates.append((int(np.abs(r).sum()), cmd, None, r))
            if orders:
                y = xs[t0 - hist : t0 + n] - mu  # history and block, mean removed
                yb = y[hist:].astype(np.float64)
                top = max(orders)
                acf = np.zeros(top + 1)
                full = np.correlate(yb, yb, "full")[n - 1 : n + top]
                acf[: len(full)] = full
                acf[0] *= 1.0 + 1e-9
                predictors = _levinson(acf.tolist(), orders)
                # window[i, j] = y[i + j]: row i holds the values before sample i.
                window = np.lib.stride_tricks.sliding_window_view(y[: hist - 1 + n], hist)[:, ::-1]
                for p in orders:
                    coef = np.clip(np.round(np.array(predictors[p]) * 32), -(1 << 15), (1 << 15) - 1).astype(np.int64)
                    pred = (window[:, :p] @ coef + 32) >> 5
                    r = block - mu - pred
                    candidates.append((int(np.abs(r).sum()), FN_QLPC, coef, r))
            _, cmd, coef, r = min(candidates, key=lambda t: t[0])
            u = _fold(r)
            e = _best_width(u)
            bits.uvar(cmd, 2)
            bits.uvar(e, 3)
            if cmd == FN_QLPC:
                bits.uvar(len(coef), 2)
                for a in coef.tolist():
                    bits.var(a, 6)
            bits.var_block(r, e + 1)
            if nmean:
                means[c].append(_tdiv(int(block.sum()) + n // 2, n))
    bits.uvar(FN_QUIT, 2)
    return b"ajkg\x02" + bits.pack()

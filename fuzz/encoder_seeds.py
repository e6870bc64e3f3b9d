#!/usr/bin/env python3
"""Writes Shorten streams made by the test encoder (tests/shorten_encoder.py)
into a folder, as extra seeds for fuzz_shorten: every command, sample types
3, 5 and 8, bit shifts, block-size changes, running means and QLPC orders.
They are small and made afresh on each run, so none is committed.

    python fuzz/encoder_seeds.py OUTDIR
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

import shorten_encoder as enc  # noqa: E402

VARIANTS = {
    "type5_diff": dict(sample_type=5, blocksize=64),
    "type3_qlpc_means": dict(sample_type=3, blocksize=48, maxnlpc=8, nmean=4, min_qlpc_order=1),
    "type5_shifts_sizes": dict(sample_type=5, blocksize=32, nmean=2, bitshifts=(0, 1, 3), blocksizes=(7, 32, 100)),
    "type8_ulaw": dict(sample_type=8, blocksize=40, maxnlpc=4),
    "type8_shifts_means": dict(sample_type=8, blocksize=24, maxnlpc=2, nmean=3, bitshifts=(1, 2), min_qlpc_order=1),
    "type5_wav_header": dict(sample_type=5, blocksize=128, leading_wav_header=True, pad_to_words=True),
    "type3_skip": dict(sample_type=3, blocksize=16, nskip=5, maxnlpc=2),
}


def main(argv):
    out = pathlib.Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for i, (name, options) in enumerate(VARIANTS.items()):
        for channels in (1, 2):
            values = enc.speech_like_values(
                300, channels, seed=i, amplitude=100 if options["sample_type"] == 8 else 20000
            )
            stream = enc.encode(values, seed=i, **options)
            (out / f"{name}_{channels}ch.shn").write_bytes(stream.data)


if __name__ == "__main__":
    main(sys.argv)

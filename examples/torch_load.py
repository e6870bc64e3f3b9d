"""A SPHERE file into a tensor as torchaudio.load gives it (channels first,
float32 in [-1, 1)), without torchaudio.

    python examples/torch_load.py [FILE.sph]
"""

import sys
from pathlib import Path

import korrin

path = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).with_name("shorten_stereo.sph"))
waveform, rate = korrin.load(path, frame_offset=800, num_frames=1600)
codes, _ = korrin.load(path, normalize=False)  # the stored integers: int16 here
print(f"{path}: korrin.load -> {tuple(waveform.shape)} {waveform.dtype} at {rate} Hz; whole file {codes.dtype}")

"""librosa.load reading Shorten SPHERE: librosa reads through soundfile.

python examples/librosa_load.py [FILE.sph]
"""

import sys
from pathlib import Path

import librosa

import korrin.soundfile

korrin.soundfile.patch()

path = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).with_name("shorten_stereo.sph"))
y, sr = librosa.load(path, sr=None, mono=False, offset=0.05, duration=0.1)
print(f"{path}: librosa.load -> {y.shape} {y.dtype} at {sr} Hz")

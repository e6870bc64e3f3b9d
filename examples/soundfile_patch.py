"""Code written for soundfile (as SpeechBrain's audio layer reads Switchboard
and Fisher: by frame offsets) reading Shorten SPHERE after one call.

    python examples/soundfile_patch.py [FILE.sph]
"""

import sys
from pathlib import Path

import soundfile

import korrin.soundfile

korrin.soundfile.patch()  # soundfile.read, info, SoundFile and blocks now read SPHERE through korrin

path = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).with_name("shorten_stereo.sph"))
info = soundfile.info(path)
start, stop = info.frames // 4, info.frames // 2
signal, rate = soundfile.read(path, start=start, stop=stop, dtype="float32", always_2d=True)
print(f"{path}: {info.subtype}, {info.channels} channels at {rate} Hz; frames {start}:{stop} -> {signal.shape}")

"""A Kaldi data directory whose wav.scp calls sph2pipe (as Switchboard's
does), imported by lhotse and read cut by cut with no sph2pipe process:
korrin.lhotse.use() takes each call apart and reads the span and channel
it asks for (sph2pipe need not even be installed).

    python examples/lhotse_kaldi.py [FILE.sph]
"""

import sys
import tempfile
from pathlib import Path

import lhotse
from lhotse.kaldi import load_kaldi_data_dir

import korrin
import korrin.lhotse

korrin.lhotse.use()

path = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_name("shorten_stereo.sph")).resolve()
info = korrin.info(path)
with tempfile.TemporaryDirectory() as data:
    data = Path(data)
    sides = [(f"call-{'AB'[c]}", c) for c in range(info.channels)]
    (data / "wav.scp").write_text("".join(f"{rid} sph2pipe -f wav -p -c {c + 1} {path} |\n" for rid, c in sides))
    (data / "segments").write_text(
        "".join(
            f"{rid}_{k} {rid} {k * info.duration / 4:.3f} {(k + 1) * info.duration / 4:.3f}\n"
            for rid, _ in sides
            for k in range(4)
        )
    )
    (data / "utt2spk").write_text("".join(f"{rid}_{k} {rid}\n" for rid, _ in sides for k in range(4)))
    (data / "text").write_text("".join(f"{rid}_{k} hello\n" for rid, _ in sides for k in range(4)))
    recordings, supervisions, _ = load_kaldi_data_dir(data, sampling_rate=info.samplerate)
cuts = lhotse.CutSet.from_manifests(recordings=recordings, supervisions=supervisions).trim_to_supervisions()
shapes = [cut.load_audio().shape for cut in cuts]
print(f"{path}: {len(recordings)} recordings of {recordings[0].duration} s, {len(shapes)} cuts loaded {shapes[0]}")

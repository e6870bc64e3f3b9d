"""korrin.load: torchaudio.load's call and result, read by korrin."""

from __future__ import annotations

import os

import korrin


def load(file, frame_offset=0, num_frames=-1, normalize=True, channels_first=True):
    """(waveform, sample_rate) of a SPHERE file, as torchaudio.load gives them.

    `waveform` is a torch.Tensor of shape (channels, frames), or (frames,
    channels) without `channels_first`: float32 in [-1, 1) when
    `normalize`, else the stored integers (int16 for 16-bit PCM, G.711 and
    Shorten, int32 for 4-byte PCM, int8 for 8-bit PCM). `frame_offset`
    (negative: from the end) and `num_frames` (-1: to the end) choose the
    frames, as torchaudio's soundfile backend takes them. The tensor shares
    the memory of the array korrin read (channels first, as its transposed
    view). torch is imported here, when called.
    """
    try:
        import torch
    except ImportError:
        raise ImportError(
            "korrin.load returns a torch.Tensor and needs PyTorch, which is not installed: "
            "pip install torch (korrin.read gives the same samples as a numpy array)"
        ) from None
    if not isinstance(file, (str, os.PathLike, bytes)):
        file = korrin._source(file)[0]  # a file object is read once, for the header and the samples
    stored = None
    if normalize:
        dtype = "float32"
    else:
        info = korrin.info(file)
        stored = info.header.get("sample_n_bytes") if info.codec == "pcm" else 2
        dtype = "int32" if stored == 4 else "int16"
    data, rate = korrin.read(file, frames=num_frames, start=frame_offset, dtype=dtype, always_2d=True)
    if stored == 1:  # 8-bit samples come as int16 of s * 256
        data = (data >> 8).astype("int8")
    waveform = torch.from_numpy(data)
    return (waveform.t() if channels_first else waveform), rate

"""Shorten stream versions 1 and 2 and the payload labels of older corpora.

The module keeps refusing them as before; sph2wav decodes them. Streams come
from the test encoder, whose version-1 and version-2 models are checked
against ffmpeg's decoder, and from the real recording beside the checkout."""

from __future__ import annotations

import hashlib
import re
import sys
from pathlib import Path

import pytest

from conftest import SHARED_SPHERE, pcm16_fields, sph2wav, sphere_bytes
from test_shorten import FFMPEG, ffmpeg_decode

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import shorten_encoder as enc  # noqa: E402

LABELS = ("embedded-shorten-v1.09", "embedded-shorten-v1.1", "embedded-shorten-v2.00")
DIFFS = (enc.DIFF0, enc.DIFF1, enc.DIFF2, enc.DIFF3, enc.ZERO)
ALL = DIFFS + (enc.QLPC,)

# What ffmpeg reads as this decoder does: a leading VERBATIM WAV header,
# whole 32-bit words, one block size (it cannot grow it), QLPC of order 1 or
# more (it adds mean / 32 to order 0 where a running mean is kept, and order
# 0 is the same in both versions), and in
# version 2 no bit shift together with a running mean (it scales the means
# by the shift there). Version 1 leaves the means unscaled, so shifts and
# means mix freely.
#
# (id, version, sample type, channels, blocksize, maxnlpc, nmean, bit shifts, commands, versions differ)
CASES = [
    ("v1-diff", 1, 5, 1, 256, 0, 0, (0,), DIFFS, False),
    ("v1-diff0-means", 1, 5, 2, 128, 0, 4, (0,), DIFFS, True),
    ("v1-means-shifts", 1, 3, 1, 64, 0, 2, (0, 1, 3), DIFFS, True),
    ("v1-qlpc-4", 1, 5, 1, 256, 4, 0, (0,), (enc.DIFF1, enc.QLPC), True),
    ("v1-qlpc-8-means", 1, 5, 2, 200, 8, 4, (0, 2), ALL, True),
    ("v1-qlpc-16", 1, 3, 3, 100, 16, 1, (0,), ALL, True),
    ("v1-qlpc-32-shifts", 1, 5, 1, 512, 32, 0, (0, 1, 2), (enc.QLPC,), True),
    ("v2-diff", 2, 5, 1, 256, 0, 0, (0, 1, 2), DIFFS, False),
    ("v2-diff0-means", 2, 5, 2, 128, 0, 4, (0,), DIFFS, True),
    ("v2-qlpc-8", 2, 3, 1, 256, 8, 0, (0, 3), ALL, True),
    ("v2-qlpc-16-means", 2, 5, 2, 160, 16, 2, (0,), ALL, True),
    ("v2-qlpc-32", 2, 5, 1, 512, 32, 0, (0,), (enc.QLPC,), True),
]


def encode_case(case) -> enc.Stream:
    _, version, sample_type, channels, blocksize, maxnlpc, nmean, shifts, commands, _ = case
    seed = CASES.index(case)
    values = enc.speech_like_values(3000 + 97 * seed, channels, seed, amplitude=20000 >> max(shifts))
    stream = enc.encode(
        values,
        sample_type=sample_type,
        blocksize=blocksize,
        maxnlpc=maxnlpc,
        nmean=nmean,
        seed=seed,
        bitshifts=shifts,
        commands=commands,
        min_qlpc_order=1,
        leading_wav_header=True,
        pad_to_words=True,
        verbatim=False,
        version=version,
    )
    # The commands where the versions part, and the shifts.
    wanted = set(commands) & {enc.QLPC} | ({enc.DIFF0} if nmean else set()) | ({enc.BITSHIFT} if max(shifts) else set())
    assert wanted <= stream.commands, (wanted, stream.commands)
    return stream


def other_version(stream: bytes) -> bytes:
    return stream[:4] + bytes([3 - stream[4]]) + stream[5:]


@pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed")
@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_encoder_model_matches_ffmpeg(case, tmp_path):
    """The encoder's idea of each version is ffmpeg's; where the case says the
    versions differ, the same body under the other version byte decodes to
    something else, so the comparison is not blind to the version."""
    stream = encode_case(case)
    assert ffmpeg_decode(stream.data, tmp_path) == stream.pcm
    if case[-1]:
        assert ffmpeg_decode(other_version(stream.data), tmp_path) != stream.pcm


def shorten_sphere(stream: bytes, frames: int, channels: int, label: str, base: str = "pcm") -> bytes:
    fields = pcm16_fields(frames, channels)
    fields["sample_coding"] = f"{base},{label}"
    return sphere_bytes(fields, stream)


def test_sph2wav_decodes_every_case_under_every_label(tmp_path):
    """One run over a tree of every case under each label, checked against the
    encoder's output (which ffmpeg's matches, above)."""
    wanted = {}
    for case in CASES:
        stream = encode_case(case)
        frames = len(stream.pcm) // 2 // stream.channels
        for k, label in enumerate(LABELS):
            name = f"{case[0]}-{k}.sph"
            (tmp_path / "in").mkdir(exist_ok=True)
            (tmp_path / "in" / name).write_bytes(shorten_sphere(stream.data, frames, stream.channels, label))
            wanted[name.replace(".sph", ".pcm")] = stream.pcm
    result = sph2wav("-q", "--pcm", "in", "-o", "out", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    got = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()}
    assert got.keys() == wanted.keys()
    for name in wanted:
        assert got[name] == wanted[name], name


VERSION_REFUSED = "shorten version 1 not supported (only v2 is validated)"


@pytest.mark.parametrize("label", LABELS + ("embedded-shorten-v1.10", "embedded-shorten-v2.0", "shorten"))
@pytest.mark.parametrize("version", [1, 2])
def test_labels_and_versions_module_and_sph2wav(korrin, tmp_path, label, version):
    """The module takes v2.00 with version 2 alone and refuses the rest with
    the messages it always gave; sph2wav takes the three labels with either
    version and refuses other labels with the module's message."""
    stream = encode_case(CASES[1] if version == 1 else CASES[8])
    frames = len(stream.pcm) // 2 // stream.channels
    sph = shorten_sphere(stream.data, frames, stream.channels, label)
    coding = f"pcm,{label}"
    label_refused = f'compressed coding "{coding}" not supported yet (compression: "{label}")'

    module_error = (
        None if label == LABELS[2] and version == 2 else (VERSION_REFUSED if label == LABELS[2] else label_refused)
    )
    if module_error is None:
        assert korrin.decode_pcm(sph) == stream.pcm
    else:
        with pytest.raises(ValueError) as raised:
            korrin.decode_pcm(sph)
        assert str(raised.value) == module_error

    (tmp_path / "x.sph").write_bytes(sph)
    result = sph2wav("-q", "--pcm", "x.sph", cwd=tmp_path)
    if label in LABELS:
        assert (result.returncode, result.stderr) == (0, b"")
        assert (tmp_path / "x.pcm").read_bytes() == stream.pcm
    else:
        assert (result.returncode, result.stderr.decode()) == (1, f"x.sph: {label_refused}\n")


def test_module_kernel_refuses_version_1(korrin):
    stream = encode_case(CASES[0])
    with pytest.raises(ValueError, match="^" + re.escape(VERSION_REFUSED) + "$"):
        korrin.shorten_to_pcm(stream.data)
    assert korrin.shorten_to_pcm(other_version(stream.data))[2] == stream.pcm


# The real recording's stream, given the leading VERBATIM WAV header that
# ffmpeg needs: its bits after the six header parameters move along by the
# length of the inserted command.


def _header_end(bits: str) -> int:
    pos = 0

    def uvar(n: int) -> int:
        nonlocal pos
        q = bits.index("1", pos) - pos
        pos += q + 1
        low = int(bits[pos : pos + n] or "0", 2)
        pos += n
        return (q << n) | low

    params = [uvar(uvar(2)) for _ in range(6)]
    assert params[5] == 0, "nskip codes are not expected here"
    return pos


def with_leading_wav_header(stream: bytes, channels: int, frames: int) -> bytes:
    bits = "".join(f"{b:08b}" for b in stream[5:])
    end = _header_end(bits)
    header = enc.wav_header(channels, frames)
    w = enc.BitWriter()
    w.uvar(enc.VERBATIM, 2)
    w.uvar(len(header), 5)
    for b in header:
        w.uvar(b, 8)
    verbatim = "".join(f"{b:08b}" for b in w.getvalue())[: w.bit_length]
    spliced = bits[:end] + verbatim + bits[end:]
    spliced += "0" * (-len(spliced) % 32)
    return stream[:5] + int(spliced, 2).to_bytes(len(spliced) // 8, "big")


REAL_PCM = SHARED_SPHERE / "123_1pcle_shn.sph"
REAL_PCM_SHA256 = "11d7d57dcf7501a8db11b5c22b1c447334ce9bf1bebdc29666a10c4da7e066c4"


@pytest.mark.skipif(not REAL_PCM.is_file(), reason=f"no real SPHERE file at {REAL_PCM}")
@pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed")
@pytest.mark.parametrize("version", [2, 1])
def test_real_stream_in_either_version_matches_ffmpeg(korrin, tmp_path, version):
    """The real recording's stream (DIFF blocks with a running mean over four
    blocks) read as version 2 gives the published PCM, and read as version 1
    gives what ffmpeg makes of it, which differs: its DIFF0 blocks depend on
    the means' rounding."""
    sph = REAL_PCM.read_bytes()
    size = int(sph[8:16].split()[0])
    stream = sph[size:]
    frames = 37120
    stream = stream[:4] + bytes([version]) + stream[5:]
    oracle = ffmpeg_decode(with_leading_wav_header(stream, 1, frames), tmp_path)
    assert len(oracle) == 2 * frames

    (tmp_path / "x.sph").write_bytes(sph[:size].replace(b"embedded-shorten-v2.00", b"embedded-shorten-v1.09") + stream)
    result = sph2wav("-q", "--pcm", "--no-checksum", "x.sph", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    ours = (tmp_path / "x.pcm").read_bytes()
    assert ours == oracle
    assert (hashlib.sha256(ours).hexdigest() == REAL_PCM_SHA256) == (version == 2)
    if version == 2:
        assert korrin.decode_pcm(sph) == ours

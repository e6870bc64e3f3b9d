"""What the README and the docs promise a user: the README's numpy recipe
runs and gives the right array, every refusal the formats page quotes is
the module's message, word for word, and the README stays short."""

from __future__ import annotations

import re

import numpy as np
import pytest

import korrin_native as kn
from conftest import EXAMPLES, REPO, pcm16_fields, sphere_bytes

README = (REPO / "README.md").read_text()
FORMATS = (REPO / "docs" / "formats.md").read_text()


def recipe():
    """The README's numpy recipe as a function of the file's path."""
    found = re.search(r"<!-- numpy recipe -->\n```python\n(.*?)```\n<!-- end numpy recipe -->", README, re.S)
    assert found, "the numpy recipe is not marked in the README"
    code = found.group(1)
    assert '"speech.sph"' in code

    def read_sphere(path):
        namespace: dict = {}
        exec(compile(code.replace('"speech.sph"', repr(path)), "README.md", "exec"), namespace)
        return namespace["audio"], namespace["rate"]

    return read_sphere


def header_int(sph: bytes, name: str) -> int:
    return int(re.search(rb"\n" + name.encode() + rb" -i (\d+)", sph).group(1))


def pcm32_be_stereo() -> bytes:
    fields = pcm16_fields(5, channels=2, rate=8000)
    fields.update(sample_n_bytes="4", sample_byte_format="10")
    return sphere_bytes(fields, bytes(range(40)))


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.glob("*.sph")) + ["pcm32_be_stereo.sph"])
def test_numpy_recipe(tmp_path, name):
    path = EXAMPLES / name
    if not path.exists():
        path = tmp_path / name
        path.write_bytes(pcm32_be_stereo())
    sph = path.read_bytes()

    audio, rate = recipe()(str(path))

    channels, frames = header_int(sph, "channel_count"), header_int(sph, "sample_count")
    width = 4 if name.startswith("pcm32") else 2  # G.711 and Shorten come out 16-bit
    assert (audio.shape, audio.dtype, rate) == (
        (frames, channels),
        np.dtype(f"<i{width}"),
        header_int(sph, "sample_rate"),
    )
    assert audio.tobytes() == kn.decode_pcm(sph)  # frames in rows, channels in columns


def with_fields(**changes: str) -> dict[str, str]:
    fields = pcm16_fields(4)
    fields.update(changes)
    return fields


SHORTEN_V2 = bytes.fromhex("616a6b6702fb7f9333611720")  # a tiny stream from the memory loop's set

REFUSALS = [
    (sphere_bytes(with_fields(sample_n_bytes="1"), bytes(4)), "8-bit PCM not supported yet (supported: 16, 32 bit)"),
    (
        sphere_bytes(with_fields(sample_byte_format="0123"), bytes(8)),
        "unrecognized sample_byte_format \"0123\" (supported: '1', '01', '10')",
    ),
    (sphere_bytes(with_fields(sample_coding="ulaw"), bytes(8)), "ulaw expects 1-byte samples, got sample_n_bytes=2"),
    (
        sphere_bytes(
            with_fields(sample_coding="pcm,embedded-shorten-v2.00"), SHORTEN_V2[:4] + b"\x01" + SHORTEN_V2[5:]
        ),
        "shorten version 1 not supported (only v2 is validated)",
    ),
    # Codings that korrin and sph2wav read: the module keeps its message.
    (
        sphere_bytes(with_fields(sample_coding="pcm,embedded-shorten-v1.09"), SHORTEN_V2),
        'compressed coding "pcm,embedded-shorten-v1.09" not supported yet (compression: "embedded-shorten-v1.09")',
    ),
    (
        sphere_bytes(with_fields(sample_coding="pculaw", sample_n_bytes="1"), bytes(4)),
        'sample_coding "pculaw" not supported yet',
    ),
    (
        sphere_bytes(with_fields(sample_coding="pcm,embedded-wavpack-5.60"), bytes(8)),
        'compressed coding "pcm,embedded-wavpack-5.60" not supported yet (compression: "embedded-wavpack-5.60")',
    ),
    (sphere_bytes(with_fields(sample_coding="gsm"), bytes(8)), 'sample_coding "gsm" not supported yet'),
    (b"RIFF\x24\x00\x00\x00WAVEfmt ", "not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    (
        sphere_bytes({k: v for k, v in pcm16_fields(4).items() if k != "sample_rate"}, bytes(8)),
        "SPHERE header missing required field: sample_rate",
    ),
    (sphere_bytes(pcm16_fields(4), bytes(7)), "audio payload truncated: header declares 8 bytes but only 7 present"),
]


@pytest.mark.parametrize("sph, message", REFUSALS, ids=[m.split(" ")[0] + str(i) for i, (_, m) in enumerate(REFUSALS)])
def test_refusals_quoted_in_the_docs(sph, message):
    for function in (kn.transcode, kn.decode_pcm):
        with pytest.raises(ValueError) as raised:
            function(sph)
        assert str(raised.value) == message
    assert f"`{message}`" in FORMATS


def test_the_readme_is_short_and_links_what_exists():
    assert len(README.splitlines()) <= 200
    links = re.findall(r"\]\(([^)#]+)\)", README)
    assert "docs/install.md" in links
    for link in links:
        assert (REPO / link).exists(), link

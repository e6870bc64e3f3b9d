#!/usr/bin/env python3
"""Writes the small hand-made seed corpora under fuzz/corpus/.

Run from anywhere: python3 fuzz/gen_seeds.py. The output is deterministic,
so re-running it changes nothing unless this file changed. Larger seeds (the
real recordings beside the checkout and the test encoder's streams) are added
at run time by scripts/fuzz-smoke and are never committed.
"""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"

# Three complete Shorten streams with known decodes: one DIFF1 block (type 5),
# DIFF0/QLPC/BITSHIFT/DIFF2 over two channels with running means (type 3), and
# a mu-law stream with a bit shift (type 8).
SHORTEN_STREAMS = {
    "diff1_mono": "616a6b6702fb7f9333611720",
    "two_channels_qlpc": "616a6b6702df6db6da6498679ca13dbb590bd124",
    "ulaw_bitshift": "616a6b67024c5f7999b70d2ad65eb69200",
}


def sphere(fields, payload=b"", *, eol="\n", sep=" ", pad=True, size=None, filler=""):
    """A SPHERE file from (name, marker, value) triples."""
    body = "".join(f"{n}{sep}{m}{sep}{v}".rstrip(" ") + eol for n, m, v in fields)
    body += "end_head" + eol + filler
    head = "NIST_1A" + eol
    if size is None:
        size = 1024 if pad else None
        if size is None:
            digits = 1
            for _ in range(3):
                digits = len(str(len(head) + digits + 1 + len(body.encode())))
            size = len(head) + digits + 1 + len(body.encode())
    text = (head + f"{size}\n" + body).encode()
    if pad and len(text) < size:
        text += b" " * (size - len(text))
    return text + payload


def pcm_fields(count, channels=1, width=2, coding="pcm", fmt="01", rate=16000):
    fields = [
        ("sample_count", "-i", str(count)),
        ("sample_rate", "-i", str(rate)),
        ("channel_count", "-i", str(channels)),
        ("sample_n_bytes", "-i", str(width)),
    ]
    if coding is not None:
        fields.append(("sample_coding", f"-s{len(coding)}", coding))
    if fmt is not None:
        fields.append(("sample_byte_format", f"-s{len(fmt)}", fmt))
    return fields


def sphere_seeds():
    ramp = bytes(range(64))
    seeds = {
        "pcm16_le_mono": sphere(pcm_fields(32), ramp),
        "pcm16_be_stereo": sphere(pcm_fields(16, channels=2, fmt="10"), ramp),
        "pcm32_le": sphere(pcm_fields(16, width=4), ramp),
        "pcm32_be_odd_tail": sphere(pcm_fields(15, width=4, fmt="10"), ramp + b"\x01"),
        "pcm_no_coding_no_format": sphere(pcm_fields(32, coding=None, fmt=None), ramp),
        "ulaw": sphere(pcm_fields(64, width=1, coding="ulaw", fmt=None), ramp),
        "alaw_stereo": sphere(pcm_fields(32, channels=2, width=1, coding="alaw", fmt=None), ramp),
        "mu_law_caps": sphere(pcm_fields(64, width=1, coding="MU-LAW", fmt=None), ramp),
        "empty_payload": sphere(pcm_fields(0), b""),
        "crlf_tabs_unpadded": sphere(pcm_fields(8), ramp[:16], eol="\r\n", sep="\t", pad=False),
        "utf8_and_reals": sphere(
            pcm_fields(8)
            + [("database_id", "-s11", "caf\u00e9 \u00e9t\u00e9"), ("x", "-r", "-.5e3"), ("y", "-r", "NaN")],
            ramp[:16],
        ),
        "duplicate_fields": sphere(
            pcm_fields(4) + [("sample_rate", "-i", "8000"), ("sample_rate", "-s5", "22050")], ramp[:8]
        ),
        "filler_after_end_head": sphere(pcm_fields(4), ramp[:8], filler="anything\nat all\n"),
        "missing_end_head": b"NIST_1A\n   64\nsample_count -i 1\n" + b" " * 31 + b"\x00\x00",
        "bad_size_line": b"NIST_1A\n12x4\nend_head\n",
        "wav_limits": sphere(pcm_fields(1, channels=65536, rate=4294967296), b"\x00\x00"),
    }
    for name, hexstream in SHORTEN_STREAMS.items():
        stream = bytes.fromhex(hexstream)
        channels = 2 if name == "two_channels_qlpc" else 1
        frames = {"diff1_mono": 4, "two_channels_qlpc": 4, "ulaw_bitshift": 6}[name]
        coding = "ulaw,embedded-shorten-v2.00" if name == "ulaw_bitshift" else "pcm,embedded-shorten-v2.00"
        seeds[f"shorten_{name}"] = sphere(pcm_fields(frames, channels=channels, coding=coding, fmt="01"), stream)
    return seeds


def shorten_seeds():
    seeds = {name: bytes.fromhex(h) for name, h in SHORTEN_STREAMS.items()}
    seeds["magic_only"] = b"ajkg"
    seeds["version_3"] = b"ajkg\x03"
    seeds["version_only"] = b"ajkg\x02"
    # The same streams in version 1, which the target also decodes with the
    # option that takes it.
    for name in ("two_channels_qlpc", "ulaw_bitshift"):
        seeds[name + "_v1"] = seeds[name][:4] + b"\x01" + seeds[name][5:]
    return seeds


def g711_seeds():
    return {
        "ulaw_all_codes": b"\x00" + bytes(range(256)),
        "alaw_all_codes": b"\x01" + bytes(range(256)),
        "alaw_framed": b"\xff" + bytes(range(0, 256, 7)),
    }


def bitreader_seeds():
    # byte 0: number of calls (low 5 bits) and start byte (top 3); two bytes
    # per call (kind in the low 2 bits, width); then the stream.
    def script(calls, stream, start=0):
        return bytes([len(calls) | start << 5]) + b"".join(bytes(c) for c in calls) + stream

    uvar, var, ulong = 0, 1, 2

    def block(count):
        return 3 | count << 2

    examples = bytes.fromhex(SHORTEN_STREAMS["two_channels_qlpc"])
    return {
        "every_call": script(
            [(uvar, 0), (uvar, 3), (var, 2), (ulong, 0), (block(5), 4), (uvar, 33)],
            b"\x80\x2d\xe5\x0f\xff\x00\x01\x55\xaa",
        ),
        "header_of_a_stream": script([(ulong, 0)] * 6 + [(uvar, 2), (uvar, 3), (block(2), 2)], examples, start=5),
        "zero_run": script([(uvar, 32), (var, 32), (ulong, 0)], b"\x00" * 40 + b"\x01\xff\xff\xff\xff\xff"),
    }


def main():
    groups = {
        "sphere": sphere_seeds(),
        "shorten": shorten_seeds(),
        "g711": g711_seeds(),
        "bitreader": bitreader_seeds(),
    }
    for group, seeds in groups.items():
        folder = CORPUS / group
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()

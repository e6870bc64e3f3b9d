"""Benchmark inputs, generated at run time into an output directory.

Everything here is deterministic (fixed seeds), so two runs on two machines
measure the same bytes. Large inputs are cached under the output directory,
keyed by their parameters and by the hash of the Shorten stream writer
(shorten_writer.py), and are rebuilt when either changes.
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import shorten_writer

HERE = Path(__file__).resolve().parent

SHORTEN_CODING = "pcm,embedded-shorten-v2.00"


# --------------------------------------------------------------------------
# Audio


def synth_speechlike(frames: int, channels: int, rate: int, seed: int) -> np.ndarray:
    """Voiced, speech-like 16-bit audio: a gliding harmonic tone under a
    syllable-rate envelope, with room noise. Returns int16 of shape
    (frames, channels). The residuals it leaves after prediction are 6 to 10
    bits wide, as real recordings at 16 kHz tend to be."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames, dtype=np.float64) / rate
    out = np.empty((frames, channels), dtype=np.int16)
    for c in range(channels):
        f0 = 110.0 + 25.0 * c + 35.0 * np.sin(2 * np.pi * (0.27 + 0.05 * c) * t + c)
        phase = 2 * np.pi * np.cumsum(f0) / rate
        tone = np.zeros(frames)
        for h in range(1, 9):
            tone += np.sin(h * phase + 0.3 * h * c) / h
        envelope = 0.15 + 0.85 * np.abs(np.sin(2 * np.pi * (2.3 + 0.4 * c) * t)) ** 2
        noise = rng.normal(0.0, 40.0, frames)
        x = 5200.0 * envelope * tone + noise
        out[:, c] = np.clip(np.round(x), -32768, 32767).astype(np.int16)
    return out


# --------------------------------------------------------------------------
# SPHERE files


def sphere_header(fields: list[tuple[str, str, object]], size: int = 1024) -> bytes:
    """A NIST_1A header of `size` bytes with the given (name, type, value)
    lines; type is "i" or "s" (the string length is filled in)."""
    lines = ["NIST_1A", f"{size:7d}"]
    for name, kind, value in fields:
        text = str(value)
        marker = f"-s{len(text.encode())}" if kind == "s" else f"-{kind}"
        lines.append(f"{name} {marker} {text}")
    lines.append("end_head")
    head = ("\n".join(lines) + "\n").encode()
    if len(head) > size:
        raise ValueError("header fields do not fit the header size")
    return head + b" " * (size - len(head))


def sphere_pcm(samples: np.ndarray, rate: int, big_endian: bool = False) -> bytes:
    """A SPHERE file holding 16-bit linear PCM, `samples` int16 (frames, channels)."""
    frames, channels = samples.shape
    header = sphere_header(
        [
            ("sample_count", "i", frames),
            ("sample_rate", "i", rate),
            ("channel_count", "i", channels),
            ("sample_n_bytes", "i", 2),
            ("sample_byte_format", "s", "10" if big_endian else "01"),
            ("sample_coding", "s", "pcm"),
            ("sample_sig_bits", "i", 16),
        ]
    )
    dtype = ">i2" if big_endian else "<i2"
    return header + samples.astype(dtype, copy=False).tobytes()


def sphere_ulaw(codes: np.ndarray, rate: int) -> bytes:
    """A SPHERE file holding mu-law codes, `codes` uint8 (frames, channels)."""
    frames, channels = codes.shape
    header = sphere_header(
        [
            ("sample_count", "i", frames),
            ("sample_rate", "i", rate),
            ("channel_count", "i", channels),
            ("sample_n_bytes", "i", 1),
            ("sample_coding", "s", "ulaw"),
        ]
    )
    return header + codes.tobytes()


def sphere_shorten(stream: bytes, frames: int, channels: int, rate: int, ulaw: bool = False) -> bytes:
    """A SPHERE file whose payload is an embedded Shorten stream (of 16-bit
    PCM, or with `ulaw` of mu-law codes)."""
    fields = [
        ("sample_count", "i", frames),
        ("sample_rate", "i", rate),
        ("channel_count", "i", channels),
        ("sample_n_bytes", "i", 1 if ulaw else 2),
    ]
    if not ulaw:
        fields.append(("sample_byte_format", "s", "01"))
    fields.append(("sample_coding", "s", ("ulaw," if ulaw else "pcm,") + SHORTEN_CODING.split(",", 1)[1]))
    header = sphere_header(fields)
    return header + stream


# --------------------------------------------------------------------------
# G.711


def ulaw_encode(samples: np.ndarray) -> np.ndarray:
    """G.711 mu-law codes of int16 samples (the classic segment encoder)."""
    x = samples.astype(np.int32)
    sign = np.where(x < 0, 0x80, 0x00)
    mag = np.minimum(np.abs(x), 32635) + 132
    exponent = np.floor(np.log2(mag)).astype(np.int32) - 7
    exponent = np.clip(exponent, 0, 7)
    mantissa = (mag >> (exponent + 3)) & 0x0F
    code = ~(sign | (exponent << 4) | mantissa) & 0xFF
    return code.astype(np.uint8)


def ulaw_values(codes: np.ndarray) -> np.ndarray:
    """The values a type-8 Shorten stream codes for mu-law `codes`: 0xFF - c
    for codes from 0x80 up, c - 0x80 below."""
    c = codes.astype(np.int16)
    return np.where(c >= 0x80, 0xFF - c, c - 0x80).astype(np.int16)


def ulaw_table() -> np.ndarray:
    """The 256 mu-law expansions as int16 (the table numpy indexes)."""
    u = (~np.arange(256)) & 0xFF
    mantissa = u & 0x0F
    exponent = (u >> 4) & 0x07
    t = (mantissa * 8 + 132) << exponent
    return np.where(np.arange(256) & 0x80, t - 132, 132 - t).astype(np.int16)


def alaw_table() -> np.ndarray:
    a = np.arange(256) ^ 0x55
    mantissa = a & 0x0F
    segment = (a >> 4) & 0x07
    t = np.where(segment == 0, mantissa * 16 + 8, (mantissa * 16 + 264) << np.maximum(segment - 1, 0))
    return np.where(np.arange(256) & 0x80, t, -t).astype(np.int16)


# --------------------------------------------------------------------------
# Shorten streams


def writer_digest() -> str:
    """Changes whenever the stream writer does, so that cached streams are remade."""
    return hashlib.sha256((HERE / "shorten_writer.py").read_bytes()).hexdigest()[:16]


def wav_header(frames: int, channels: int, rate: int) -> bytes:
    """The 44-byte canonical WAV header that Shorten files carry verbatim
    at their start (ffmpeg's decoder takes the format from it)."""
    data = frames * channels * 2
    return (
        b"RIFF"
        + struct.pack("<I", 36 + data)
        + b"WAVE"
        + b"fmt "
        + struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16)
        + b"data"
        + struct.pack("<I", data)
    )


def pad_stream(stream: bytes) -> bytes:
    """Zero bits after QUIT up to a whole number of 32-bit words past the
    5-byte prefix: classic readers fetch whole words and would otherwise
    report the last one as truncated."""
    tail = (len(stream) - 5) % 4
    return stream if tail == 0 else stream + b"\0" * (4 - tail)


@dataclass(frozen=True)
class ShortenParams:
    sample_type: int  # 3 or 5
    lpc: bool  # QLPC blocks (maxnlpc > 0) or DIFF only
    blocksize: int = 256
    nmean: int = 4


def encode_shorten(samples: np.ndarray, rate: int, params: ShortenParams, verbatim: bool = True) -> bytes:
    """A Shorten stream of `samples` (int16, frames x channels) with a leading
    VERBATIM WAV header (which ffmpeg needs, and which sph2pipe refuses,
    hence `verbatim`), padded as `pad_stream` says."""
    frames, channels = samples.shape
    stream = shorten_writer.encode(
        samples,
        sample_type=params.sample_type,
        blocksize=params.blocksize,
        maxnlpc=16 if params.lpc else 0,
        nmean=params.nmean,
        verbatim=wav_header(frames, channels, rate) if verbatim else b"",
    )
    return pad_stream(stream)


# --------------------------------------------------------------------------
# The input set


@dataclass
class Inputs:
    out: Path
    files: dict[str, Path]
    meta: dict[str, dict]

    def path(self, name: str) -> Path:
        return self.files[name]

    def read(self, name: str) -> bytes:
        return self.files[name].read_bytes()


def _cached(out: Path, name: str, key: dict, build) -> Path:
    """`out/name`, built by `build()` unless a file made from the same key is there."""
    path = out / name
    stamp = out / (name + ".key")
    key_text = json.dumps(key, sort_keys=True)
    if path.exists() and stamp.exists() and stamp.read_text() == key_text:
        return path
    data = build()
    tmp = path.with_suffix(path.suffix + ".tmp")
    tmp.write_bytes(data)
    os.replace(tmp, path)
    stamp.write_text(key_text)
    return path


RATE = 16000


def build_inputs(out: Path, quick: bool, log=print) -> Inputs:
    out.mkdir(parents=True, exist_ok=True)
    files: dict[str, Path] = {}
    meta: dict[str, dict] = {}

    # Long Shorten streams: 5 minutes of 16 kHz stereo, type 5 with DIFF
    # blocks only and type 3 with QLPC blocks.
    minutes = 5.0
    frames = int(minutes * 60 * RATE)
    digest = writer_digest()
    audio = None
    for name, params in (("long_diff.shn", ShortenParams(5, lpc=False)), ("long_lpc.shn", ShortenParams(3, lpc=True))):
        key = {"frames": frames, "params": params.__dict__, "writer": digest, "v": 2}

        def build(name=name, params=params):
            nonlocal audio
            if audio is None:
                audio = synth_speechlike(frames, 2, RATE, seed=7)
            log(f"  encoding {name} ({minutes:g} min of 16 kHz stereo; a minute or two)...")
            return encode_shorten(audio, RATE, params)

        files[name] = _cached(out, name, key, build)
        meta[name] = {
            "frames": frames,
            "channels": 2,
            "rate": RATE,
            "minutes": minutes,
            "sample_type": params.sample_type,
            "lpc": params.lpc,
            "bytes": files[name].stat().st_size,
        }
    # A mu-law Shorten stream (sample type 8, the coding of the large
    # telephone corpora): the same audio as mu-law codes, coded as the
    # values whose re-encoding gives the codes back, DIFF blocks only.
    name = "long_ulaw.shn"
    key = {"frames": frames, "type": 8, "writer": digest, "v": 1}

    def build_ulaw():
        nonlocal audio
        if audio is None:
            audio = synth_speechlike(frames, 2, RATE, seed=7)
        log(f"  encoding {name} ({minutes:g} min of 16 kHz stereo mu-law; a minute or two)...")
        return encode_shorten(ulaw_values(ulaw_encode(audio)), RATE, ShortenParams(8, lpc=False))

    files[name] = _cached(out, name, key, build_ulaw)
    meta[name] = {
        "frames": frames,
        "channels": 2,
        "rate": RATE,
        "minutes": minutes,
        "sample_type": 8,
        "lpc": False,
        "bytes": files[name].stat().st_size,
    }

    # The same three as SPHERE files, as users meet them (transcode, and
    # sph2pipe, which refuses the VERBATIM command: encoded again without it).
    for name, params in (
        ("long_diff.sph", ShortenParams(5, lpc=False)),
        ("long_lpc.sph", ShortenParams(3, lpc=True)),
        ("long_ulaw.sph", ShortenParams(8, lpc=False)),
    ):
        ulaw = params.sample_type == 8
        key = {"frames": frames, "params": params.__dict__, "writer": digest, "v": 1}

        def build_sphere(name=name, params=params, ulaw=ulaw):
            nonlocal audio
            if audio is None:
                audio = synth_speechlike(frames, 2, RATE, seed=7)
            log(f"  encoding {name} ({minutes:g} min of 16 kHz stereo; a minute or two)...")
            samples = ulaw_values(ulaw_encode(audio)) if ulaw else audio
            return sphere_shorten(encode_shorten(samples, RATE, params, verbatim=False), frames, 2, RATE, ulaw=ulaw)

        files[name] = _cached(out, name, key, build_sphere)
        meta[name] = {
            "frames": frames,
            "channels": 2,
            "rate": RATE,
            "minutes": minutes,
            "sample_type": params.sample_type,
            "lpc": params.lpc,
            "bytes": files[name].stat().st_size,
        }

    # A telephone call of 5 minutes, 8 kHz stereo, twice: Shorten of its
    # mu-law codes and Shorten of its 16-bit samples, DIFF blocks both, so
    # that the two codings of one call compare call for call.
    call_frames = int(minutes * 60 * 8000)
    for name, ulaw in (("call_ulaw.sph", True), ("call_pcm16.sph", False)):
        key = {"frames": call_frames, "ulaw": ulaw, "writer": digest, "v": 2}

        def build_call(ulaw=ulaw, name=name):
            log(f"  encoding {name} ({minutes:g} min of 8 kHz stereo)...")
            call = synth_speechlike(call_frames, 2, 8000, seed=21)
            samples = ulaw_values(ulaw_encode(call)) if ulaw else call
            stream = encode_shorten(samples, 8000, ShortenParams(8 if ulaw else 5, lpc=False), verbatim=False)
            return sphere_shorten(stream, call_frames, 2, 8000, ulaw=ulaw)

        files[name] = _cached(out, name, key, build_call)
        meta[name] = {
            "frames": call_frames,
            "channels": 2,
            "rate": 8000,
            "minutes": minutes,
            "sample_type": 8 if ulaw else 5,
            "lpc": False,
            "bytes": files[name].stat().st_size,
        }

    # A tiny stream of each kind, to time ffmpeg's start-up.
    for name, params in (("tiny_diff.shn", ShortenParams(5, lpc=False)), ("tiny_lpc.shn", ShortenParams(3, lpc=True))):
        key = {"frames": 256, "params": params.__dict__, "writer": digest, "v": 2}
        files[name] = _cached(
            out, name, key, lambda params=params: encode_shorten(synth_speechlike(256, 2, RATE, seed=8), RATE, params)
        )
        meta[name] = {"frames": 256, "channels": 2}

    # 16-bit PCM SPHERE files of at least 40 MB, both byte orders.
    pcm_frames = 40 * 1000 * 1000 // 4 + RATE
    pcm_audio = None
    for name, big in (("pcm_le.sph", False), ("pcm_be.sph", True)):
        key = {"frames": pcm_frames, "big": big, "v": 2}

        def build(big=big):
            nonlocal pcm_audio
            if pcm_audio is None:
                pcm_audio = synth_speechlike(pcm_frames, 2, RATE, seed=11)
            return sphere_pcm(pcm_audio, RATE, big_endian=big)

        files[name] = _cached(out, name, key, build)
        meta[name] = {"frames": pcm_frames, "channels": 2, "bytes": files[name].stat().st_size}
    # The same audio as a tiny file, for the external tools' start-up.
    files["pcm_tiny.sph"] = _cached(
        out, "pcm_tiny.sph", {"v": 2}, lambda: sphere_pcm(synth_speechlike(256, 2, RATE, seed=12), RATE)
    )

    # 10 MB of G.711 codes: mu-law of speech-like audio (skewed like real codes).
    def build_codes():
        x = synth_speechlike(10 * 1000 * 1000 // 2, 2, RATE, seed=13).reshape(-1)
        return ulaw_encode(x).tobytes()

    files["codes.g711"] = _cached(out, "codes.g711", {"n": 10 * 1000 * 1000, "v": 2}, build_codes)
    meta["codes.g711"] = {"bytes": files["codes.g711"].stat().st_size}

    # The corpus of 1,000 small files.
    corpus = build_corpus(out / "corpus", digest, log)
    meta["corpus"] = corpus
    return Inputs(out=out, files=files, meta=meta)


# --------------------------------------------------------------------------
# Many small files


CORPUS_SIZE = 1000


def corpus_plan() -> list[dict]:
    """One entry per file: half Shorten (types 3/5, DIFF or QLPC, mono or
    stereo), half uncompressed (PCM of either byte order, some mu-law), each
    about 30 KB on disk."""
    rng = np.random.default_rng(2024)
    plan = []
    for i in range(CORPUS_SIZE):
        channels = 1 + int(rng.integers(0, 2))
        kind = "shorten" if i % 2 == 0 else ("ulaw" if i % 10 == 1 else ("pcm_be" if i % 10 in (3, 7) else "pcm_le"))
        target = int(rng.integers(27_000, 33_000))
        plan.append(
            {
                "index": i,
                "kind": kind,
                "channels": channels,
                "target_bytes": target,
                "lpc": bool(rng.integers(0, 2)),
                "seed": 1000 + i,
            }
        )
    return plan


def build_corpus(directory: Path, digest: str, log) -> dict:
    plan = corpus_plan()
    key = json.dumps({"plan": plan, "writer": digest, "v": 2}, sort_keys=True)
    stamp = directory / "corpus.key"
    if stamp.exists() and stamp.read_text() == key:
        return json.loads((directory / "corpus.json").read_text())
    log("  building the corpus of 1,000 small files...")
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("*.sph"):
        old.unlink()
    entries = []
    for item in plan:
        channels = item["channels"]
        payload_bytes = item["target_bytes"] - 1024
        if item["kind"] == "shorten":
            # Shorten takes this audio to about 0.57 of its size: aim at the size.
            frames = int(payload_bytes * 1.75 / (2 * channels))
            audio = synth_speechlike(frames, channels, RATE, item["seed"])
            params = ShortenParams(3 if item["lpc"] else 5, lpc=item["lpc"])
            data = sphere_shorten(encode_shorten(audio, RATE, params), frames, channels, RATE)
        elif item["kind"] == "ulaw":
            frames = payload_bytes // channels
            audio = synth_speechlike(frames, channels, RATE, item["seed"])
            data = sphere_ulaw(ulaw_encode(audio), RATE)
        else:
            frames = payload_bytes // (2 * channels)
            audio = synth_speechlike(frames, channels, RATE, item["seed"])
            data = sphere_pcm(audio, RATE, big_endian=item["kind"] == "pcm_be")
        name = f"{item['index']:04d}_{item['kind']}.sph"
        (directory / name).write_bytes(data)
        entries.append({"name": name, "kind": item["kind"], "bytes": len(data)})
    info = {"files": entries, "count": len(entries), "total_bytes": sum(e["bytes"] for e in entries)}
    (directory / "corpus.json").write_text(json.dumps(info))
    stamp.write_text(key)
    return info

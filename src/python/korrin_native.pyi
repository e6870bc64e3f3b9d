"""Convert NIST SPHERE files to RIFF/WAV or PCM bytes, in memory.

A malformed or unsupported file raises ValueError whose message says what
is wrong; a wrong argument raises TypeError. Some files that korrin.read,
sph2wav and sph2pipe read are refused here with this module's own
messages, kept as they always were: 8-bit linear PCM, pculaw, the WSJ-era
Shorten labels and stream version 1, and a sample_count that counts every
channel's samples (the documentation's "Formats and refusals" lists them).
"""

# Type stub of the compiled module korrin_native.

__version__: str
__all__: list[str]

def transcode(sph: bytes) -> bytes:
    """Transcode a NIST SPHERE file (bytes) to RIFF/WAV bytes."""

def decode_pcm(sph: bytes) -> bytes:
    """Decode the payload to interleaved little-endian PCM (the WAV data chunk)."""

def shorten_to_pcm(stream: bytes) -> tuple[int, bool, bytes]:
    """Decode an embedded-shorten stream to LE 16-bit PCM (no header cross-checks).

    Returns `(channel_count, is_ulaw, pcm_bytes)`.
    """

def g711_expand(data: bytes, alaw: bool) -> bytes:
    """Expand G.711 companded bytes to LE 16-bit PCM (`alaw` = a-law, else mu-law)."""

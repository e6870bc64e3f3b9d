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

import os
from typing import IO, Any, Iterable, Iterator, Literal, Optional, Sequence, Tuple, Union

import numpy.typing as npt

__all__: list[str]
__version__: str

_File = Union[str, os.PathLike[str], os.PathLike[bytes], bytes, bytearray, memoryview, IO[bytes]]
_Dtype = Union[Literal["int16", "int32", "float32", "float64"], npt.DTypeLike]
_Channel = Union[int, Sequence[int], None]
_Segment = Union[Tuple[Optional[int], Optional[int]], Tuple[Optional[int], Optional[int], _Channel]]

class Info:
    samplerate: int
    channels: int
    frames: int
    duration: float
    codec: Literal["pcm", "ulaw", "alaw", "shorten"]
    sample_width: int
    header: dict[str, Union[int, float, str]]
    def __init__(
        self,
        samplerate: int,
        channels: int,
        frames: int,
        codec: str,
        sample_width: int,
        header: dict[str, Union[int, float, str]],
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...

def info(file: _File) -> Info: ...
def read(
    file: _File,
    frames: int = -1,
    start: Optional[int] = 0,
    stop: Optional[int] = None,
    dtype: _Dtype = "float64",
    always_2d: bool = False,
    channel: _Channel = None,
    checksum: bool = True,
) -> Tuple[npt.NDArray[Any], int]: ...
def read_segments(
    file: _File,
    segments: Iterable[_Segment],
    dtype: _Dtype = "float64",
    always_2d: bool = False,
) -> list[npt.NDArray[Any]]: ...

class SoundFile:
    """soundfile.SoundFile's reading interface over korrin (mode "r" only)."""
    def __init__(
        self,
        file: _File,
        mode: Optional[str] = "r",
        samplerate: None = None,
        channels: None = None,
        subtype: None = None,
        endian: None = None,
        format: None = None,
        closefd: bool = True,
        compression_level: Optional[float] = None,
        bitrate_mode: Optional[str] = None,
    ) -> None: ...
    @property
    def name(self) -> Any: ...
    @property
    def mode(self) -> str: ...
    @property
    def samplerate(self) -> int: ...
    @property
    def frames(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def format(self) -> Literal["NIST"]: ...
    @property
    def subtype(self) -> Literal["PCM_16", "PCM_32", "PCM_S8", "ULAW", "ALAW", "SHORTEN"]: ...
    @property
    def endian(self) -> Literal["FILE", "LITTLE", "BIG"]: ...
    @property
    def format_info(self) -> str: ...
    @property
    def subtype_info(self) -> str: ...
    @property
    def sections(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def extra_info(self) -> str: ...
    @property
    def compression_level(self) -> Optional[float]: ...
    @property
    def bitrate_mode(self) -> Optional[str]: ...
    def __enter__(self) -> "SoundFile": ...
    def __exit__(self, *args: object) -> None: ...
    def __len__(self) -> int: ...
    def seekable(self) -> bool: ...
    def seek(self, frames: int, whence: int = 0) -> int: ...
    def tell(self) -> int: ...
    def read(
        self,
        frames: int = -1,
        dtype: _Dtype = "float64",
        always_2d: bool = False,
        fill_value: Optional[float] = None,
        out: Optional[npt.NDArray[Any]] = None,
    ) -> npt.NDArray[Any]: ...
    def buffer_read(self, frames: int = -1, dtype: Optional[str] = None) -> memoryview: ...
    def buffer_read_into(self, buffer: Any, dtype: str) -> int: ...
    def blocks(
        self,
        blocksize: Optional[int] = None,
        overlap: int = 0,
        frames: int = -1,
        dtype: _Dtype = "float64",
        always_2d: bool = False,
        fill_value: Optional[float] = None,
        out: Optional[npt.NDArray[Any]] = None,
    ) -> Iterator[npt.NDArray[Any]]: ...
    def copy_metadata(self) -> dict[str, str]: ...
    def flush(self) -> None: ...
    def close(self) -> None: ...

def blocks(
    file: _File,
    blocksize: Optional[int] = None,
    overlap: int = 0,
    frames: int = -1,
    start: int = 0,
    stop: Optional[int] = None,
    dtype: _Dtype = "float64",
    always_2d: bool = False,
    fill_value: Optional[float] = None,
    out: Optional[npt.NDArray[Any]] = None,
    samplerate: None = None,
    channels: None = None,
    format: None = None,
    subtype: None = None,
    endian: None = None,
    closefd: bool = True,
) -> Iterator[npt.NDArray[Any]]: ...
def load(
    file: _File,
    frame_offset: int = 0,
    num_frames: int = -1,
    normalize: bool = True,
    channels_first: bool = True,
) -> Tuple[Any, int]: ...

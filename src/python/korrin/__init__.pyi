import os
from typing import IO, Any, Iterable, Literal, Optional, Sequence, Tuple, Union

import numpy as np
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
        self, samplerate: int, channels: int, frames: int, codec: str, sample_width: int,
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

"""The cellular basis and texture of the tulo_cellulartexture shader, for numpy arrays.

Points are any array whose last axis holds x, y, z (any leading shape, any
memory order, read-only too). float32 is used as it is; float64, float16
and integers are converted to float32 first, since the library computes in
single precision. Complex, object and string arrays raise TypeError. NaN,
infinite and far points are valid input and give what the plugin gives
(points beyond about 5.39e9 after scaling find no feature points).

Every call releases the GIL and splits the array into chunks of 4096 points
across ``threads`` threads (default: the cores available); the result is
the same for any thread count. Ctrl-C stops a call between chunks and
raises KeyboardInterrupt. Calls from several Python threads at once are
safe.
"""

from typing import Literal, Sequence, Tuple, TypedDict, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

Metric = Union[
    int,
    Literal[
        "euclidian",
        "euclidean",
        "manhattan",
        "chessboard",
        "chebyshev",
        "minkowski",
        "superquadratic",
    ],
]
Points = npt.ArrayLike
Weights = Sequence[float]
ColorLike = Sequence[float]

class Info(TypedDict):
    version: str
    kernel: str  # "avx512", "avx2" or "portable"
    threads: int  # the default thread count
    max_threads: int
    chunk: int  # points per chunk

@overload
def basis(
    points: Points,
    n: int = ...,
    metric: Metric = ...,
    weights: Weights = ...,
    offsets: Literal[False] = ...,
    ids: Literal[False] = ...,
    threads: Union[int, None] = ...,
) -> npt.NDArray[np.float32]: ...
@overload
def basis(
    points: Points,
    n: int = ...,
    metric: Metric = ...,
    weights: Weights = ...,
    offsets: bool = ...,
    ids: bool = ...,
    threads: Union[int, None] = ...,
) -> Union[npt.NDArray[np.float32], Tuple[npt.NDArray, ...]]: ...
def texture(
    points: Points,
    metric: Metric = ...,
    weights: Weights = ...,
    octaves: int = ...,
    gain: float = ...,
    color1: ColorLike = ...,
    color2: ColorLike = ...,
    threads: Union[int, None] = ...,
) -> npt.NDArray[np.float32]: ...
def value(
    points: Points,
    metric: Metric = ...,
    weights: Weights = ...,
    octaves: int = ...,
    gain: float = ...,
    threads: Union[int, None] = ...,
) -> npt.NDArray[np.float32]: ...
def grid(
    shape: Union[int, Sequence[int]],
    origin: Sequence[float] = ...,
    spacing: Union[float, Sequence[float]] = ...,
) -> npt.NDArray[np.float32]: ...
def info() -> Info: ...

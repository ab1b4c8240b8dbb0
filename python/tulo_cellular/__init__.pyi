"""The cellular basis and texture of the tulo_cellulartexture shader, for numpy arrays.

Points are any array whose last axis holds x, y, z (any leading shape, any
memory order, read-only too). float32 is used as it is; float64, float16
and integers are converted to float32 first, since the library computes in
single precision. Complex, object and string arrays raise TypeError. NaN,
infinite and far points are valid input and give what the plugin gives
(points beyond about 5.39e9 after scaling find no feature points).

Every call releases the GIL and splits the array into chunks of 4096 points
(fewer for n above 2) across ``threads`` threads (None or 0: one per
available core; 1 to 256 as given; anything else raises); the result is the
same for any thread count. Ctrl-C stops a call between chunks and raises
KeyboardInterrupt. Calls from several Python threads at once are safe, and
so are calls in a child made by fork().

Bad arguments raise TypeError (the wrong kind of value) or ValueError (out
of range) naming the argument; an input or result that does not fit in
memory raises MemoryError. See ``help(tulo_cellular.basis)`` for what ``n``
means, the largest ``n`` (MAX_N, 135) and what unfilled slots hold.
"""

import os
from typing import Any, Callable, Literal, Optional, Sequence, Tuple, TypedDict, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str
MAX_N: int  # the largest n of basis(): 135
MAX_PERIOD: int  # the largest period, in cells: 2**26 - 1

Period = Union[None, int, Tuple[int, int], Tuple[int, int, int], Sequence[int]]
Progress = Union[None, Callable[[int, int], object]]

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
    chunk: int  # points per chunk (for n <= 2)
    max_n: int  # the largest n of basis()

@overload
def basis(
    points: Points,
    n: int = ...,
    metric: Metric = ...,
    weights: Weights = ...,
    offsets: Literal[False] = ...,
    ids: Literal[False] = ...,
    threads: Union[int, None] = ...,
    period: Period = ...,
    seed: int = ...,
    out: Union[None, npt.NDArray[np.float32]] = ...,
    progress: Progress = ...,
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
    period: Period = ...,
    seed: int = ...,
    out: Union[None, npt.NDArray, Tuple[npt.NDArray, ...]] = ...,
    progress: Progress = ...,
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
    period: Period = ...,
    seed: int = ...,
    out: Union[None, npt.NDArray[np.float32]] = ...,
    progress: Progress = ...,
) -> npt.NDArray[np.float32]: ...
def value(
    points: Points,
    metric: Metric = ...,
    weights: Weights = ...,
    octaves: int = ...,
    gain: float = ...,
    threads: Union[int, None] = ...,
    period: Period = ...,
    seed: int = ...,
    out: Union[None, npt.NDArray[np.float32]] = ...,
    progress: Progress = ...,
) -> npt.NDArray[np.float32]: ...
def tile_grid(
    size: Sequence[int],
    period: Union[int, Sequence[int]],
    depth: float = ...,
    periods: int = ...,
) -> npt.NDArray[np.float32]: ...
def grid(
    shape: Union[int, Sequence[int]],
    origin: Sequence[float] = ...,
    spacing: Union[float, Sequence[float]] = ...,
) -> npt.NDArray[np.float32]: ...
def info() -> Info: ...

Pass = Literal["t", "rgba", "F1", "F2", "F2-F1", "id", "offset"]

class BakeResult:  # a frozen dataclass
    path: str
    chunks: int  # the store's chunks
    computed: int  # chunks computed by this call
    skipped: int  # chunks found done (a resume)
    points: int  # points computed by this call
    seconds: float

# Bakes passes over grid(shape, origin, spacing) into the Zarr store at path,
# chunk by chunk, on Dask's local threads or a distributed.Client's cluster;
# see help(tulo_cellular.bake) and the module tulo_cellular.bake.
def bake(
    path: Union[str, os.PathLike],
    shape: Sequence[int],
    origin: Sequence[float] = ...,
    spacing: Union[float, Sequence[float]] = ...,
    *,
    passes: Union[str, Sequence[Pass]] = ...,
    metric: Metric = ...,
    weights: Weights = ...,
    octaves: int = ...,
    gain: float = ...,
    color1: ColorLike = ...,
    color2: ColorLike = ...,
    period: Union[None, int, Sequence[int]] = ...,
    seed: int = ...,
    tile: Optional[int] = ...,  # N periods of tile_grid(shape, period, depth=origin[2])
    chunks: Optional[Sequence[int]] = ...,
    client: Any = ...,  # a distributed.Client
    threads: Optional[int] = ...,
    resume: bool = ...,
    quiet: bool = ...,
    vdb: Union[None, str, os.PathLike] = ...,
    exr: Union[None, str, os.PathLike] = ...,
) -> BakeResult: ...

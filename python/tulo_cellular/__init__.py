"""The cellular basis and texture of the tulo_cellulartexture shader, for numpy arrays.

Every result has exactly the bits the shader plugin and the C++ library give
for the same point and parameters: the library computes in single precision,
so points are converted to float32 first. See ``__init__.pyi`` for each
function's contract.

Arguments are checked before any work: a value of the wrong kind raises
TypeError, one out of range ValueError, each naming the argument and what it
accepts; an input or result too large for memory raises MemoryError.
"""

import operator as _operator

import numpy as _np

from . import _core

__all__ = ["basis", "texture", "value", "grid", "tile_grid", "bake", "info", "__version__"]

_UNIT = (1.0, 1.0, 1.0)
_COLOR1 = (0.95, 0.85, 0.55)
_COLOR2 = (0.08, 0.12, 0.22)

#: The largest ``n`` of :func:`basis`: the most feature points the searched
#: cubes can hold (27 cubes of at most 5 points); slots past the candidates
#: a point has are never filled.
MAX_N = _core.max_n
#: The largest period of a lattice, in cells (2^26 - 1: five octaves double
#: it to the 32-bit lattice's reach).
MAX_PERIOD = _core.max_period


def basis(points, n=2, metric="euclidian", weights=_UNIT, offsets=False, ids=False, threads=None, period=None,
          seed=0, out=None, progress=None):
    """Distances from each point to its n nearest candidate feature points, ascending.

    Returns float32 distances of shape (..., n); with offsets=True also the
    offsets to those points (..., n, 3), with ids=True their uint32 ids
    (..., n), as a tuple (distances, [offsets], [ids]).

    The candidates are the feature points of the point's own lattice cube and
    of those of its 26 neighbours the search does not rule out (a neighbour is
    skipped when its squared Euclidean distance from the point is not below
    the n-th value kept so far, whatever the metric). So the distances are the
    n nearest candidates, which from about n = 6 on are not always the n
    nearest feature points of space. n: 1 to MAX_N (135).

    Slots no candidate filled (n above the candidates there are, far or
    non-finite points, non-finite weights) hold about 2511.616 (the square
    root of the search's far value, in the caller's units), offsets NaN and
    id 0. metric: 1-5 or a name; weights: 3 numbers (factors for metrics 1-3,
    the offset for 4, exponents for 5), taken as given: (0, 0, 0) makes every
    distance 0 (the texture, as the plugin, reads it as (1, 1, 1)).
    threads: None or 0 for one per available core, or 1-256.

    period: the lattice repeats after this many cells (None or 0: never):
    one number for every axis, or (x, y) or (x, y, z); a cube's coordinates
    are wrapped into the period before they choose its feature points, its
    position is not (see tile_grid for pixel centres that repeat bit for
    bit). seed: 0 is the plugin's pattern, any other 32-bit number another
    pattern, unrelated, the same on every machine and kernel. out: arrays to
    write into instead of new ones (the distances' array, or with offsets or
    ids a tuple in the order of the result), of exactly the result's shape
    and dtype, C-contiguous and writeable, such as a numpy.memmap.
    progress: called as progress(done, total) in points while the call runs
    (about every 50 ms, from the calling thread) and once at the end; an
    exception it raises stops the call and is raised.
    """
    return _core.basis(points, n, metric, weights, offsets, ids, threads, period, seed, out, progress)


def texture(points, metric="euclidian", weights=_UNIT, octaves=0, gain=0.5, color1=_COLOR1, color2=_COLOR2,
            threads=None, period=None, seed=0, out=None, progress=None):
    """The shader's colour at each point: float32 RGBA of shape (..., 4).

    r, g and b are, bit for bit, what the shader plugin returns for that point
    and these parameters; alpha is 0 where the plugin zeroes it (the value
    beyond 1/gain for a positive gain, beyond gain otherwise), else 1.
    octaves: 0-5 finer octaves added (default 0, as everywhere); weights as
    the plugin reads them (all zero means (1, 1, 1)); colours: 3 or 4 numbers
    (alpha unused). threads: None or 0 for one per available core, or 1-256.
    period, seed, out, progress: as for basis(); each octave doubles the
    period with the point, so the texture repeats after the period at every
    octave. On the plugin's lattice (no period, seed 0) r, g and b are the
    plugin's.
    """
    return _core.texture(points, metric, weights, octaves, gain, color1, color2, threads, period, seed, out, progress)


def value(points, metric="euclidian", weights=_UNIT, octaves=0, gain=0.5, threads=None, period=None, seed=0, out=None,
          progress=None):
    """The blend factor t at each point, float32 of shape (...).

    The shader's colour is color2 * (1 - t) + color1 * t. t is NaN where the
    colour is NaN and 0 where the texture zeroes alpha. Arguments as for
    texture().
    """
    return _core.value(points, metric, weights, octaves, gain, threads, period, seed, out, progress)


def info():
    """The module's version, the search kernel in use, the default thread
    count, the thread cap, the points per chunk and the largest n."""
    return _core.info()


__version__ = info()["version"]


def _reals(value, what, sizes):
    """A float64 vector of one of `sizes` real numbers, or a clear error."""
    a = _np.asarray(value)
    if a.dtype.kind not in "fiu":
        raise TypeError(f"grid {what} must be real numbers, got {value!r:.80}")
    a = a.astype(_np.float64).reshape(-1)
    if a.size not in sizes:
        raise ValueError(f"grid {what} must be {' or '.join(map(str, sizes))} numbers, got {value!r:.80}")
    return a


def grid(shape, origin=(0.0, 0.0, 0.0), spacing=1.0):
    """Points of a regular grid: an array of shape ``(*shape, 3)``, float32.

    ``shape`` has 1 to 3 sizes; the last axis runs along x, the one before
    along y, the one before that along z (an image of ``(height, width)``
    is a slice at z = origin z). Point ``[..., k, j, i]`` is
    ``origin + (i, j, k) * spacing``, computed in double precision and
    rounded to float32. ``spacing`` is one number or one per axis (x, y, z).
    The points are written straight into the float32 result: the memory
    needed is the result's and a few rows more.
    """
    sizes = tuple(shape) if _np.iterable(shape) else (shape,)
    try:
        sizes = tuple(_operator.index(s) for s in sizes)
    except TypeError:
        raise TypeError(f"grid shape must be 1 to 3 whole numbers, got {shape!r:.80}") from None
    if not 1 <= len(sizes) <= 3 or any(s < 0 for s in sizes):
        raise ValueError(f"grid shape must be 1 to 3 sizes, none negative, got {sizes}")
    start = _reals(origin, "origin", (3,))
    step = _reals(spacing, "spacing", (1, 3))
    if step.size == 1:
        step = _np.repeat(step, 3)
    points = _np.empty(sizes + (3,), dtype=_np.float32)
    for axis in range(3):
        dim = len(sizes) - 1 - axis  # x runs along the last axis
        if dim < 0:
            points[..., axis] = _np.float32(start[axis])
            continue
        line = (start[axis] + _np.arange(sizes[dim], dtype=_np.float64) * step[axis]).astype(_np.float32)
        view = [1] * len(sizes)
        view[dim] = sizes[dim]
        points[..., axis] = line.reshape(view)
    return points


def tile_grid(size, period, depth=0.0, periods=1):
    """Points of a seamless tile: float32 of shape ``(*size * periods, 3)``.

    ``size`` is the tile's pixels, (height, width) for an image or
    (depth, height, width) for a volume; ``period`` its period in cells along
    x and y, and z for a volume (pass the same to basis/texture/value as
    ``period``); ``depth`` the z of an image, in world units; ``periods``
    how many periods the grid spans along each axis (1 to 8). The pixel
    centres are placed so that values one period apart are equal bit for
    bit (docs/tiles.md): a tile computed alone, placed beside itself, is the
    same grid computed over several periods, value for value, at every
    octave, for periods up to 8192 cells. The tile lies away from the
    origin, where that holds.
    """
    try:
        sizes = tuple(_operator.index(s) for s in size)
        cells = tuple(_operator.index(p) for p in (period if _np.iterable(period) else (period,) * len(sizes)))
        repeat = _operator.index(periods)
    except TypeError:
        raise TypeError(f"tile_grid takes whole numbers: size {size!r:.80}, period {period!r:.80}") from None
    if len(sizes) not in (2, 3) or len(cells) < len(sizes) - 0 or len(cells) > 3:
        raise ValueError(f"tile_grid size must be (height, width) or (depth, height, width) with a period for each "
                         f"axis (x, y[, z]), got size {sizes} and period {cells}")
    # The last axis is x: coordinates per axis, x first.
    axes = [_core.tile_coordinates(sizes[-1 - a], cells[a], repeat) for a in range(len(sizes))]
    shape = tuple(len(axes[len(sizes) - 1 - d]) for d in range(len(sizes)))
    points = _np.empty(shape + (3,), dtype=_np.float32)
    for a, line in enumerate(axes):
        view = [1] * len(sizes)
        view[len(sizes) - 1 - a] = len(line)
        points[..., a] = line.reshape(view)
    if len(sizes) == 2:
        points[..., 2] = _np.float32(depth)
    return points


from ._bake import bake  # noqa: E402  (_bake.py uses the functions above)

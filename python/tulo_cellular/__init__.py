"""The cellular basis and texture of the tulo_cellulartexture shader, for numpy arrays.

Every result has exactly the bits the shader plugin and the C++ library give
for the same point and parameters: the library computes in single precision,
so points are converted to float32 first. See ``__init__.pyi`` for each
function's contract.
"""

import numpy as _np

from ._core import basis, info, texture, value

__all__ = ["basis", "texture", "value", "grid", "info", "__version__"]
__version__ = info()["version"]


def grid(shape, origin=(0.0, 0.0, 0.0), spacing=1.0):
    """Points of a regular grid: an array of shape ``(*shape, 3)``, float32.

    ``shape`` has 1 to 3 sizes; the last axis runs along x, the one before
    along y, the one before that along z (an image of ``(height, width)``
    is a slice at z = origin z). Point ``[..., k, j, i]`` is
    ``origin + (i, j, k) * spacing``, computed in double precision and
    rounded to float32. ``spacing`` is one number or one per axis (x, y, z).
    """
    shape = tuple(int(s) for s in (shape if _np.iterable(shape) else (shape,)))
    if not 1 <= len(shape) <= 3 or any(s < 0 for s in shape):
        raise ValueError(f"grid shape must be 1 to 3 sizes, none negative, got {shape}")
    origin = _np.asarray(origin, dtype=_np.float64)
    step = _np.asarray(spacing, dtype=_np.float64)
    if step.shape in ((), (1,)):
        step = _np.full(3, step.reshape(()))
    if origin.shape != (3,) or step.shape != (3,):
        raise ValueError(f"grid origin must be 3 numbers and spacing 1 or 3 numbers, got {origin.shape} and {step.shape}")
    axes = [_np.arange(n, dtype=_np.float64) for n in shape]
    # The last axis is x, then y, then z.
    coords = _np.meshgrid(*axes, indexing="ij")
    points = _np.empty(shape + (3,), dtype=_np.float64)
    points[...] = origin
    for axis, c in enumerate(reversed(coords)):
        points[..., axis] = origin[axis] + c * step[axis]
    return points.astype(_np.float32)

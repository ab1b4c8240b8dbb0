"""Helpers shared by the tests: the per-point doors to compare with.

``per_point_basis`` calls the library's cellular_basis once per point and
``plugin_texture`` the shader plugin's entry point through the stand-in
renderer, both in a helper program (TULO_PER_POINT_ORACLE, set by CTest).
"""

import os
import subprocess

import numpy as np
import pytest

ORACLE = os.environ.get("TULO_PER_POINT_ORACLE")


def _run(args, points):
    if not ORACLE:
        pytest.skip("TULO_PER_POINT_ORACLE is not set (run the tests through CTest)")
    data = np.ascontiguousarray(points, dtype=np.float32).reshape(-1, 3)
    out = subprocess.run([ORACLE, *args], input=data.tobytes(), capture_output=True, check=True)
    return data.shape[0], out.stdout


def _f(v):
    """A float32 as text that reads back to the same bits."""
    return repr(float(np.float32(v)))


def per_point_basis(points, n, metric, weights):
    """F (count, n), offsets (count, n, 3), ids (count, n) from the per-point call."""
    count, raw = _run(["basis", str(metric), str(n), *map(_f, weights)], points)
    record = np.dtype([("F", "<f4", (n,)), ("delta", "<f4", (n, 3)), ("id", "<u4", (n,))])
    r = np.frombuffer(raw, dtype=record, count=count)
    return r["F"], r["delta"], r["id"]


def plugin_texture(points, metric, weights, octaves, gain, color1, color2):
    """RGBA (count, 4) from the plugin's entry point, alpha preset to 1."""
    args = ["texture", str(metric), *map(_f, weights), str(octaves), _f(gain), *map(_f, color1[:3]), *map(_f, color2[:3])]
    count, raw = _run(args, points)
    return np.frombuffer(raw, dtype="<f4", count=4 * count).reshape(count, 4)


def same_bits(a, b):
    a = np.ascontiguousarray(a)
    b = np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def random_points(n, seed=1, scale=300.0):
    rng = np.random.default_rng(seed)
    return (rng.random((n, 3)) * 2.0 - 1.0) * scale

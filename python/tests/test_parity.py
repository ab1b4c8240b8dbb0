"""The module gives, bit for bit, what the per-point library call and the
shader plugin give for the same points and parameters."""

import numpy as np
import pytest

import tulo_cellular as tc
from conftest import per_point_basis, plugin_texture, random_points, same_bits

INF = np.inf
NAN = np.nan


def awkward_points():
    p = random_points(3000, seed=7)
    specials = np.array(
        [[NAN, 1, 2], [INF, 0, 0], [-INF, 3, 1], [1e30, 2, 2], [6e9, 1, 1], [0, 0, 0], [-0.0, 1e-40, 5]],
        dtype=np.float64,
    )
    # On cube faces: scaled coordinates whole numbers.
    faces = np.array([[i / 0.39815, 1.3, -2.6] for i in range(-3, 4)])
    return np.concatenate([p, specials, faces])


@pytest.mark.parametrize("metric", [1, "manhattan", "chebyshev", 4, "superquadratic"])
@pytest.mark.parametrize("weights", [(1, 1, 1), (0.3, 2.0, 1.0), (-1, 1, 1), (0, 0, 1), (1e-40, 1, 1e30)])
def test_basis_equals_the_per_point_call(metric, weights):
    number = {"manhattan": 2, "chebyshev": 3, "superquadratic": 5}.get(metric, metric)
    pts = awkward_points()
    F = tc.basis(pts, metric=metric, weights=weights)
    expected, _, _ = per_point_basis(pts, 2, number, weights)
    assert same_bits(F, expected)


@pytest.mark.parametrize("n", [1, 3])
def test_offsets_and_ids_equal_the_per_point_call(n):
    pts = awkward_points()[::7]
    F, delta, ids = tc.basis(pts, n=n, metric=2, weights=(0.5, 1, 2), offsets=True, ids=True)
    eF, edelta, eids = per_point_basis(pts, n, 2, (0.5, 1, 2))
    assert same_bits(F, eF) and same_bits(delta, edelta) and same_bits(ids, eids)
    assert ids.dtype == np.uint32 and delta.shape == (len(pts), n, 3)


@pytest.mark.parametrize(
    "metric,weights,octaves,gain",
    [
        (1, (1, 1, 1), 0, 0.5),
        (1, (0, 0, 0), 5, 1.0),  # all-zero weights mean unit weights
        (2, (0.3, 2, 1), 3, 0.25),
        (3, (2, 1, 0.5), 2, 0.0),  # gain 0: NaN where the value is 0
        (4, (1, 1, 1), 1, -1.0),  # negative gain: color2 with alpha 0
        (5, (2, 2, 2), 2, 0.5),
        (1, (-1, 1, 1), 1, 0.5),  # negative weights: NaN values
        (1, (1, 1, 1), 0, NAN),
    ],
)
def test_texture_equals_the_plugin(metric, weights, octaves, gain):
    pts = awkward_points()[::3]
    c1, c2 = (0.9, 0.8, 0.1), (0.05, 0.3, 0.6)
    rgba = tc.texture(pts, metric=metric, weights=weights, octaves=octaves, gain=gain, color1=c1, color2=c2)
    expected = plugin_texture(pts, metric, weights, octaves, gain, c1, c2)
    assert same_bits(rgba, expected)
    # The blend factor alone is what a black-to-white blend gives.
    t = tc.value(pts, metric=metric, weights=weights, octaves=octaves, gain=gain)
    white = plugin_texture(pts, metric, weights, octaves, gain, (1, 1, 1), (0, 0, 0))
    np.testing.assert_array_equal(t, white[:, 0])

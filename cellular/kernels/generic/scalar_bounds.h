// The culling bounds of lane_ops.h (bounds, lane_bounds) formed one lane at
// a time in scalar double precision, for targets without double lanes that
// pay: each bound summed as culling_bound sums it, then rounded down to a
// float (invariant 4).
#pragma once

#include <cstdint>
#include <cstring>

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/target.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

// The largest float not above v, for v >= 0, +inf or NaN (a bound): the
// nearest float, one step lower where it lies above v (one less in the bit
// pattern, v being non-negative). NaN stays NaN.
inline float round_down(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) {
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof(bits));
        --bits;
        std::memcpy(&f, &bits, sizeof(f));
    }
    return f;
}

// Every cube lane's bound for the order of T (lane_ops.h, bounds): -inf for
// lane 0, +inf past the 27 cubes.
template <const BoundTerms& T>
inline void scalar_cube_bounds(const SearchStart& s, float* r) {
    const double terms[8] = {0.0, s.dx2, s.mx2, s.dy2, s.my2, s.dz2, s.mz2, HUGE_VAL};
    for (int n = 0; n < kCubeLanes; ++n) r[n] = round_down((terms[T.t1[n]] + terms[T.t2[n]]) + terms[T.t3[n]]);
    r[0] = -HUGE_VALF;
}

// Neighbour n's bound (n = 1..26, visiting order) for a point whose offsets
// in its cube are fx, fy, fz (lane_ops.h, lane_bounds), into r[n].
inline void scalar_lane_bounds(float fx, float fy, float fz, float* r) {
    const double x = fx, y = fy, z = fz;
    const double terms[7] = {
        0.0, x * x, (1.0 - x) * (1.0 - x), y * y, (1.0 - y) * (1.0 - y), z * z, (1.0 - z) * (1.0 - z)};
    each_culling_bound(
        terms, [](double a, double b) { return a + b; }, [&](int n, double bound) { r[n] = round_down(bound); });
}

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

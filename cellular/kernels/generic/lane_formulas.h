// The searches' per-point arithmetic written once for lanes of any width,
// in the vocabulary of lane_ops.h: a point's offset from its generator
// state, the weighted distances of metrics 1-3, the cube floors, and the
// lower bounds of the power metrics. Every lane performs exactly the
// single-precision operations of the sequential search, in the same order,
// so any width gives the same bits (docs/search.md, invariant 17).
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/target.h"
#include "cellular/kernels/neighbourhood.h"
#include "cellular/scalar_math.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

using detail::ceil_f;
using detail::fabs_f;
using detail::floor_f;
using detail::isfinite_f;

// Coordinate of a point in its cube from its generator state s:
// (float(s) + 0.5) * 2^-32, as fma(float(s), 2^-32, 2^-33) (invariant 10).
template <class V>
inline typename V::F unit_coordinates(typename V::I seeds) {
    return V::fma_exact(V::unsigned_to_float(seeds), V::set(lattice::kPointScale),
                        V::set(lattice::kPointOffset * lattice::kPointScale));
}

// Offset from the scaled point to the point: (corner + p) - at.
template <class V>
inline typename V::F offset(typename V::F corner, typename V::I seeds, typename V::F at) {
    return V::sub(V::add(corner, unit_coordinates<V>(seeds)), at);
}

// The weighted distance of the metrics whose formula has an exact lane-wise
// form: the metric's own operations in its own order, lane by lane. With
// kUnitWeights the caller vouches that every weight is 1.0, and the product
// is left out (invariant 3).
template <class V, LaneMetric M, bool kUnitWeights = false>
inline typename V::F lane_distance(typename V::F dx, typename V::F dy, typename V::F dz, typename V::F wx,
                                   typename V::F wy, typename V::F wz) {
    auto weigh = [](typename V::F d, typename V::F w) {
        if constexpr (kUnitWeights) {
            static_cast<void>(w);
            return d;
        } else {
            return V::mul(d, w);
        }
    };
    if constexpr (M == LaneMetric::euclidian) {
        return V::add(V::add(V::mul(weigh(dx, wx), dx), V::mul(weigh(dy, wy), dy)), V::mul(weigh(dz, wz), dz));
    } else if constexpr (M == LaneMetric::manhattan) {
        return V::add(V::add(V::abs(weigh(dx, wx)), V::abs(weigh(dy, wy))), V::abs(weigh(dz, wz)));
    } else {
        // max3(x, y, z) = max(x, max(y, z)) with the max instruction's rule.
        return V::max(V::abs(weigh(dx, wx)), V::max(V::abs(weigh(dy, wy)), V::abs(weigh(dz, wz))));
    }
}

// Floors under the values of metrics 1-3 over whole cubes (invariant 8):
// the weights as the floors take them. Manhattan and Chessboard take |w|;
// a negative Euclidian weight makes every floor NaN (a NaN floor skips
// nothing).
template <LaneMetric M>
inline Vector3 floor_weights(const Vector3& w) {
    if constexpr (M == LaneMetric::euclidian) {
        if (w.x >= 0.0f && w.y >= 0.0f && w.z >= 0.0f) return w;
        return {NAN, NAN, NAN};
    } else {
        return {fabs_f(w.x), fabs_f(w.y), fabs_f(w.z)};
    }
}

// Every neighbour's floor, out(n, floor) for n = 1..26, from the corners
// corner[axis][step + 1] of the cubes one below, at and one above the
// point's cube, and the floor weights fw (invariant 8).
template <class V, LaneMetric M, bool kUnitWeights, class Out>
inline void each_cube_floor(const typename V::F (*corner)[3], const typename V::F* at, const typename V::F* fw,
                            Out out) {
    using F = typename V::F;
    const F zero = V::set(0.0f), one = V::set(1.0f);
    // {unused, x step -1, x step +1, y -1, y +1, z -1, z +1}
    F terms[7];
    terms[0] = zero;
    for (int axis = 0; axis < 3; ++axis) {
        for (int side = 0; side < 2; ++side) {
            const F c = corner[axis][2 * side];
            const F size = V::max(V::max(V::sub(c, at[axis]), V::sub(at[axis], V::add(c, one))), zero);
            F t = kUnitWeights ? size : V::mul(size, fw[axis]);
            if constexpr (M == LaneMetric::euclidian) t = V::mul(t, size);
            terms[1 + 2 * axis + side] = t;
        }
    }
    if constexpr (M == LaneMetric::chessboard) {
        each_culling_bound(
            terms, [](F a, F b) { return V::max(a, b); }, out);
    } else {
        each_culling_bound(
            terms, [](F a, F b) { return V::add(a, b); }, out);
    }
}

// Lower bounds of the metrics that go through powf, valid for any powf within
// 2^-14 of the exact power (invariants 13, 14): the margin under each
// bounded powf result, the smallest bound kept (below it, 0), and the
// Superquadratic exponents bounded (0 to 8 in halves).
constexpr float kBoundMargin = 1.0f - 0x1p-12f;
constexpr float kSmallestBound = 0x1p-100f;
// Superquadratic exponents bounded this way: 0 to 8, exactly for multiples of
// 1/2 and through the nearest multiples on either side otherwise.
constexpr int kMostHalves = 16;

// 0 or a normal finite number.
inline bool zero_or_normal(float v) { return v == 0.0f || (fabs_f(v) >= FLT_MIN && fabs_f(v) <= FLT_MAX); }

inline PowerWeights power_weights(PowerMetric metric, const Vector3& w) {
    PowerWeights p{w, {0, 0, 0}, {0, 0, 0}, true, true};
    if (metric == PowerMetric::superquadratic) {
        const float e[3] = {w.x, w.y, w.z};
        for (int i = 0; i < 3; ++i) {
            const float h = e[i] * 2.0f;  // exact: a power of two
            if (!(h >= 0.0f && h <= static_cast<float>(kMostHalves))) {
                p.usable = false;  // NaN too
                continue;
            }
            p.below[i] = static_cast<int32_t>(floor_f(h));
            p.above[i] = static_cast<int32_t>(ceil_f(h));
        }
    } else {
        p.ordinary = zero_or_normal(w.x) && zero_or_normal(w.y) && zero_or_normal(w.z);
    }
    return p;
}

// Where a is 0 or a normal finite number: where the bounds hold.
template <class V>
inline typename V::M bounded_operand(typename V::F a) {
    return V::mask_or(V::mask_and(V::ge(a, V::set(FLT_MIN)), V::le(a, V::set(FLT_MAX))), V::eq(a, V::set(0.0f)));
}

// b, or 0 where b is below kSmallestBound (near underflow).
template <class V>
inline typename V::F floor_small(typename V::F b) {
    return V::select(V::ge(b, V::set(kSmallestBound)), b, V::set(0.0f));
}

// Bound of powf(a, halves / 2); when kChecked, narrows `valid` to the lanes
// where it holds.
template <class V, bool kChecked>
inline typename V::F power_term_bound(typename V::F a, int halves, typename V::M* valid) {
    if (halves == 0) return V::set(kBoundMargin);  // powf(a, 0) is 1 for every a
    if constexpr (kChecked) *valid = V::mask_and(*valid, bounded_operand<V>(a));
    typename V::F e = (halves & 1) != 0 ? V::sqrt(a) : V::set(1.0f);
    for (int n = halves / 2; n > 0; --n) e = V::mul(e, a);
    return floor_small<V>(V::mul(e, V::set(kBoundMargin)));
}

// Bound of powf(a, w) for below / 2 <= w <= above / 2: a^w grows with w
// where a >= 1 and shrinks where a < 1, so a^(below / 2) bounds it from
// below in the first case and a^(above / 2) in the second (one bound when
// w is a multiple of 1/2).
template <class V, bool kChecked>
inline typename V::F exponent_term_bound(typename V::F a, int below, int above, typename V::M* valid) {
    if (below == above) return power_term_bound<V, kChecked>(a, below, valid);
    return V::select(V::ge(a, V::set(1.0f)), power_term_bound<V, kChecked>(a, below, valid),
                     power_term_bound<V, kChecked>(a, above, valid));
}

// Minkowski's one margin for ordinary operands (invariant 15).
constexpr float kMinkowskiMargin = 1.0f - 0x1p-11f;

// A lower bound of the metric's value for offsets d; -infinity in lanes
// that must be measured exactly. With kChecked false the caller vouches
// that the operands are ordinary: the scaled point is finite and, for
// Minkowski, each weight is 0 or a normal number (PowerWeights::ordinary),
// so that every |d - w| or |d| is 0 or normal (offsets from a finite point
// are 0 or at least 2^-57) and no operand check is needed.
template <class V, PowerMetric P, bool kChecked = true>
inline typename V::F power_lower_bound(typename V::F dx, typename V::F dy, typename V::F dz, const PowerWeights& pw) {
    typename V::M valid = V::eq(V::set(0.0f), V::set(0.0f));
    typename V::F bound;
    if constexpr (P == PowerMetric::minkowski) {
        // (sum of powf(|d - w|, 0.5)) then powf(sum, 2).
        const typename V::F ax = V::abs(V::sub(dx, V::set(pw.w.x)));
        const typename V::F ay = V::abs(V::sub(dy, V::set(pw.w.y)));
        const typename V::F az = V::abs(V::sub(dz, V::set(pw.w.z)));
        if constexpr (kChecked) {
            const typename V::F sum =
                V::add(V::add(power_term_bound<V, true>(ax, 1, &valid), power_term_bound<V, true>(ay, 1, &valid)),
                       power_term_bound<V, true>(az, 1, &valid));
            bound = floor_small<V>(V::mul(V::mul(sum, sum), V::set(kBoundMargin)));
        } else {
            const typename V::F sum = V::add(V::add(V::sqrt(ax), V::sqrt(ay)), V::sqrt(az));
            bound = floor_small<V>(V::mul(V::mul(sum, sum), V::set(kMinkowskiMargin)));
        }
    } else {
        const typename V::F x = exponent_term_bound<V, kChecked>(V::abs(dx), pw.below[0], pw.above[0], &valid);
        const typename V::F y = exponent_term_bound<V, kChecked>(V::abs(dy), pw.below[1], pw.above[1], &valid);
        const typename V::F z = exponent_term_bound<V, kChecked>(V::abs(dz), pw.below[2], pw.above[2], &valid);
        bound = V::add(V::add(x, y), z);
    }
    if constexpr (!kChecked) return bound;
    return V::select(valid, bound, V::set(-HUGE_VALF));
}

// Whether the operands of a search from scaled point `at` are ordinary (see
// power_lower_bound).
inline bool ordinary_operands(const PowerWeights& pw, const Vector3& at) {
    return pw.ordinary && isfinite_f(at.x) && isfinite_f(at.y) && isfinite_f(at.z);
}

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

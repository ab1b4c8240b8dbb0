// The search's per-point arithmetic written once for vector lanes of any
// width. Each instruction set provides a traits type V (SSE2 in
// lanes_sse2.h, AVX2 and AVX-512 in their kernels). The formulas here use:
//   F, M             float lanes, lane mask
//   set, add, sub, mul, max, sqrt, abs      on F; max(a, b) = a > b ? a : b,
//   so the second operand when one is NaN, as the max instruction computes
//   fma_exact(a, b, c) = a * b + c rounded once, used only where a * b is
//   exact (a product by a power of two), so that the one rounding is the
//   addition's
//   le, ge, eq (-> M), select(m, a, b) = m ? a : b, mask_and, mask_or
//   unsigned_to_float(I) correctly rounded, I being 32-bit integer lanes
// The wide kernels ask for more (wide_search_kernel.h, batch_search_kernel.h):
//   load, store, min (min(a, b) = a < b ? a : b), lt, lane0 on F;
//   seti, loadi, addi, andi, gti (-> M) on I; to_float(I); none(M), bits(M)
// Every lane performs exactly the single-precision operations of the scalar
// search, in the same order, so any width gives the same bits.
//
// Everything here has internal linkage, and calls no inline function of the
// standard library (scalar_math.h): each translation unit, compiled for its
// own instruction set, keeps its own copy, and the linker can never hand a
// wide-instruction copy to code that runs on an older CPU.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "cellular/scalar_math.h"
#include "cellular/wide_search.h"

namespace tulo {
namespace detail {
namespace {

// Coordinate of a point in its cube from its generator state s:
// (float(s) + 0.5) * 2^-32, as fma(float(s), 2^-32, 2^-33): the product by
// 2^-32 is exact, so the single rounding is that of the addition.
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
// kUnitWeights the caller vouches that every weight is 1.0, whose product
// d * 1.0 is d itself in every bit (NaN included), so the product is left out.
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

// Floors under the values of metrics 1-3 over whole cubes: no point of a
// cube can give a value below its floor, computed in the same rounded
// operations. A cube whose floor is not below a lane's second value can
// change nothing there (a value not below the second one inserts nothing),
// so skipping it keeps every bit, whether or not the culling bound would
// visit it. The culling bound is the unweighted squared distance to the
// cube; the floor is the metric's own, far tighter for Manhattan and
// Chessboard and wherever a weight exceeds 1.
//
// Along one axis the points of the cube at step o from the point's cube lie
// in [c, fl(c + 1)], c the cube's corner as the search forms it (the point's
// coordinate is fl(c + u), u in (0, 1], and rounding is monotonic), so every
// offset fl(x - at) lies in [fl(c - at), fl(fl(c + 1) - at)] and its size is
// at least max(fl(c - at), fl(at - fl(c + 1)), 0). Weighted, squared and
// summed as the metric does, with every operation monotonic on sizes,
// these sizes give the floor. Signs: |fl(d * w)| = fl(|d| * |w|), so
// Manhattan and Chessboard take |w|; Euclidian's terms are fl(fl(d * w) * d),
// monotonic in |d| only for w >= 0, so a negative weight makes its floor NaN
// (NaN floors skip nothing). NaN sizes (a NaN coordinate or weight) give a
// NaN floor or, in Chessboard's max, drop out exactly where the value drops
// them, so a floor never exceeds a value that is not NaN. (Where a value's
// term is NaN the floor's is NaN too, or 0 for a NaN coordinate, whose size
// floor is 0: a term that cannot raise a maximum of sizes.)
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
// point's cube, and the floor weights fw. An axis along which the cube does
// not step adds nothing (its size floor is 0, or, for a coordinate out of
// the cube range, leaving it out only lowers the floor), so the floors
// combine the same terms as the culling bounds, in the metric's order.
template <class V, LaneMetric M, bool kUnitWeights, class Out>
inline void each_cube_floor(const typename V::F (*corner)[3], const typename V::F* at, const typename V::F* fw, Out out) {
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
        each_culling_bound(terms, [](F a, F b) { return V::max(a, b); }, out);
    } else {
        each_culling_bound(terms, [](F a, F b) { return V::add(a, b); }, out);
    }
}

// Lower bounds of the metrics that go through powf.
//
// Minkowski and Superquadratic cost three or four powf calls per candidate,
// yet most candidates are farther than the farthest value kept and are not
// kept. For those a cheap lower bound of the value decides: a candidate is
// passed over when the bound is not below the farthest kept value (the
// strict test could never keep it); every other candidate is measured
// exactly, so every value kept, compared or returned is the metric's own.
//
// The bounds hold for any C runtime's powf whose relative error is at most
// 2^-14 (glibc's is below one unit in the last place, 2^-23):
// - each powf result r of an operand a is bounded below through correctly
//   rounded operations: e = sqrtf(a) for a power 1/2, products of a (and e)
//   for other multiples of 1/2. e is within (1 + 2^-24)^9 of the real a^w
//   and r within 1 + 2^-14 of it, so r >= e * (1 - 2^-12) even after that
//   product is rounded: the margin 2^-12 covers 2^-14 + 10 * 2^-24;
// - powf(x, 0) is 1 for every x (C99 F.9.4.4); its bound is 1 - 2^-12;
// - float addition and multiplication of non-negative numbers round
//   monotonically, so sums and squares of lower bounds are lower bounds of
//   the metric's sums and squares (Minkowski's outer powf(S, 2) is bounded
//   like the others: S * S, times 1 - 2^-12);
// - relative bounds fail near underflow, so a term or result whose bound
//   falls below 2^-100 is bounded by 0 instead (still a lower bound of a
//   value that is never negative), and a candidate with an operand that is
//   NaN, infinite or subnormal is always measured exactly (bound -inf). An
//   infinite bound is valid: it only arises when the value exceeds
//   FLT_MAX * (1 - 2^-12), far beyond any value that can be kept.
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

// Minkowski's bound for ordinary operands (see power_lower_bound), with one
// margin for the whole value: S = (sqrtf(a1) + sqrtf(a2)) + sqrtf(a3) is at
// most (1 + 2^-24)^3 / (1 - 2^-14) above the metric's sum of powf(a, 0.5)
// and that sum's powf(., 2) at most 1 - 2^-14 below its square, so the
// value is at least S^2 (1 - 2^-14)^3 (1 - 2^-24)^4 / (1 + 2^-24)^6 and
// fl(fl(S * S) * (1 - 2^-11)) stays below that with room to spare.
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
            const typename V::F sum = V::add(V::add(power_term_bound<V, true>(ax, 1, &valid),
                                                    power_term_bound<V, true>(ay, 1, &valid)),
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
}  // namespace detail
}  // namespace tulo

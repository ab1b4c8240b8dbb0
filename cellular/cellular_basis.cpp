// The cellular basis function.
//
// The search is written once as templates over the metric's concrete type and
// over how the nearest values are kept, so that the shader's common case (a
// built-in metric, N = 2, no offsets or ids) runs with the distance inlined
// and the two kept values in registers. Every variant performs the same
// single-precision operations in the same order, so all of them give the
// same bits.
#include "cellular/cellular_basis.h"

#include "cellular/kernels.h"
#include "cellular/lattice.h"
#include "cellular/precondition.h"

#include <cfloat>
#include <cmath>

// SSE2 is part of every x86-64 CPU: with it the points of a cube are
// generated four at a time, lane by lane with the same single-precision
// operations as the scalar code.
#if defined(__SSE2__) || defined(_M_X64)
#    define TULO_BASIS_SSE 1
#    include <emmintrin.h>
#    if defined(_MSC_VER) && !defined(__clang__)
#        include <intrin.h>
#    endif
#    if defined(__SSE4_1__)
#        include <smmintrin.h>
#    endif
#else
#    define TULO_BASIS_SSE 0
#endif

namespace tulo {

namespace {

using namespace lattice;

// Generator steps composed in closed form: k steps from s give
// mul[k] * s + add[k] (mod 2^32). Each coordinate of a cube's points is then
// one multiply-add from the cube's hash instead of a link in a serial chain.
constexpr int kMaxSteps = 1 + kStepsPerPoint * kMaxPointsPerCube;

struct ComposedSteps {
    uint32_t mul[kMaxSteps + 1];
    uint32_t add[kMaxSteps + 1];
};

constexpr ComposedSteps compose_steps() {
    ComposedSteps s{};
    s.mul[0] = 1u;
    s.add[0] = 0u;
    for (int k = 1; k <= kMaxSteps; ++k) {
        s.mul[k] = kGenMul * s.mul[k - 1];
        s.add[k] = kGenMul * s.add[k - 1] + kGenAdd;
    }
    return s;
}

constexpr ComposedSteps kSteps = compose_steps();

inline uint32_t after_steps(uint32_t seed, int k) { return kSteps.mul[k] * seed + kSteps.add[k]; }

// Keeps the N nearest values in the caller's arrays, with optional offsets
// and ids moved alongside.
struct KeepInArrays {
    float* F;
    Vector3* delta;
    uint32_t* ID;
    int32_t N;

    float farthest() const { return F[N - 1]; }

    void offer(float dist, const Vector3& d, uint32_t id) {
        if (!(F[N - 1] > dist)) return;  // strict; a NaN distance is never kept
        // Insertion point: after every kept value that is not greater.
        int32_t k = N - 1;
        while (k > 0 && F[k - 1] > dist) --k;
        // Shift the tail by one, dropping the old last entry.
        for (int32_t i = N - 1; i > k; --i) {
            F[i] = F[i - 1];
            if (ID) ID[i] = ID[i - 1];
            if (delta) delta[i] = delta[i - 1];
        }
        F[k] = dist;
        if (ID) ID[k] = id;
        if (delta) delta[k] = d;
    }
};

// The shader's case: the two nearest values only, held in registers.
struct KeepTwo {
    float f0 = FAR_DISTANCE;
    float f1 = FAR_DISTANCE;

    float farthest() const { return f1; }

    void offer(float dist, const Vector3&, uint32_t) {
        if (f1 > dist) {
            if (f0 > dist) {
                f1 = f0;
                f0 = dist;
            } else {
                f1 = dist;
            }
        }
    }
};

// Lower bounds of the metrics that go through powf.
//
// Minkowski and Superquadratic cost three or four powf calls per candidate,
// yet most candidates are farther than the farthest value kept and are not
// kept. For those a cheap lower bound of the value decides: a candidate is
// passed over when the bound is not below the farthest kept value (the
// strict test could never keep it); every other candidate is measured
// exactly, so every value kept, compared or returned is the specified one.
//
// The bounds hold for any C runtime's powf whose relative error is at most
// 2^-14 (glibc's is below one unit in the last place, 2^-23):
// - each powf result r of an operand a is bounded below through exact or
//   correctly rounded operations: e = sqrtf(a) for a power 1/2, products of
//   a (and e) for other multiples of 1/2. e is within (1 + 2^-24)^9 of the
//   real a^w and r within 1 + 2^-14 of it, so r >= e * (1 - 2^-12) even after
//   that product is rounded: the margin 2^-12 covers 2^-14 + 10 * 2^-24;
// - powf(x, 0) is 1 for every x (C99 F.9.4.4); its bound is 1 - 2^-12;
// - float addition and multiplication of non-negative numbers round
//   monotonically, so sums and squares of lower bounds are lower bounds of
//   the specified sums and squares (Minkowski's outer powf(S, 2) is bounded
//   like the others: S * S, times 1 - 2^-12);
// - relative bounds fail near underflow, so a term or result whose bound
//   falls below 2^-100 is bounded by 0 instead (still a lower bound of a
//   value that is never negative), and a candidate with an operand that is
//   NaN, infinite or subnormal is always measured exactly. An infinite
//   bound is valid: it only arises when the value exceeds FLT_MAX * (1 -
//   2^-12), far beyond any value that can be kept.
constexpr float kBoundMargin = 1.0f - 0x1p-12f;
constexpr float kSmallestBound = 0x1p-100f;
// Superquadratic exponents bounded this way: 0, 1/2, 1, ..., 8.
constexpr int kMostHalves = 16;

// w as a count of halves 0..kMostHalves, or -1.
inline int count_halves(float w) {
    const float h = w * 2.0f;
    if (!(h >= 0.0f && h <= static_cast<float>(kMostHalves))) return -1;  // NaN too
    const int n = static_cast<int>(h);
    return static_cast<float>(n) == h ? n : -1;
}

// What every cube visit of one search shares: the scaled point and the
// weights, also broadcast to all lanes for the vector path.
struct SearchPoint {
    Vector3 at;
    Vector3 w;
    // Each weight as a count of halves, 0..kMostHalves, or -1 when it is not
    // such a multiple of 1/2 (see PowerBound).
    int halves[3];
#if TULO_BASIS_SSE
    __m128 at_x, at_y, at_z;
    __m128 w_x, w_y, w_z;
#endif
    SearchPoint(const Vector3& at_, const Vector3& w_)
        : at(at_), w(w_), halves{count_halves(w_.x), count_halves(w_.y), count_halves(w_.z)} {
#if TULO_BASIS_SSE
        at_x = _mm_set1_ps(at.x);
        at_y = _mm_set1_ps(at.y);
        at_z = _mm_set1_ps(at.z);
        w_x = _mm_set1_ps(w.x);
        w_y = _mm_set1_ps(w.y);
        w_z = _mm_set1_ps(w.z);
#endif
    }
};

// Generates point j of a cube (scalar) and offers it to `keep`.
template <class Metric, class Keep>
inline void offer_point(const Metric& metric, const SearchPoint& point, uint32_t hash, int j, float ox, float oy, float oz,
                        Keep& keep) {
    // Point j's id is the seed after 1 + 4j steps from the hash; its
    // coordinates come from the three steps after that.
    const int first = 1 + kStepsPerPoint * j;
    const float px = unit_coordinate(after_steps(hash, first + 1));
    const float py = unit_coordinate(after_steps(hash, first + 2));
    const float pz = unit_coordinate(after_steps(hash, first + 3));
    const Vector3 d{(ox + px) - point.at.x, (oy + py) - point.at.y, (oz + pz) - point.at.z};
    keep.offer(metric.Distance(d, point.w), d, after_steps(hash, first));
}

#if TULO_BASIS_SSE

// The first four points of a cube are generated together, one lane each.
constexpr int kLanes = 4;

// Composed-step constants by lane: lane j of quad q, coordinate c (0 x,
// 1 y, 2 z) is step 2 + 4(4q + j) + c from the hash (quad 1 holds the fifth
// point in lane 0; its other lanes are never used). `mul_odd` holds lanes 1
// and 3 of `mul` moved to the even positions, for the SSE2 32-bit multiply.
constexpr int kQuads = 2;

struct LaneSteps {
    alignas(16) uint32_t mul[kQuads][3][kLanes];
    alignas(16) uint32_t mul_odd[kQuads][3][kLanes];
    alignas(16) uint32_t add[kQuads][3][kLanes];
};

constexpr LaneSteps make_lane_steps() {
    LaneSteps t{};
    for (int q = 0; q < kQuads; ++q) {
        for (int c = 0; c < 3; ++c) {
            for (int j = 0; j < kLanes; ++j) {
                const int point = kLanes * q + j;
                const int k = point < kMaxPointsPerCube ? 2 + kStepsPerPoint * point + c : 0;
                t.mul[q][c][j] = kSteps.mul[k];
                t.add[q][c][j] = kSteps.add[k];
            }
            t.mul_odd[q][c][0] = t.mul[q][c][1];
            t.mul_odd[q][c][2] = t.mul[q][c][3];
        }
    }
    return t;
}

alignas(16) constexpr LaneSteps kLaneSteps = make_lane_steps();

// Lane j: mul * hash + add (mod 2^32), the generator state that
// coordinate c of point 4q + j comes from.
inline __m128i lane_seeds(__m128i hash, int q, int c) {
    const __m128i mul = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.mul[q][c]));
    const __m128i add = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.add[q][c]));
#    if defined(__SSE4_1__)
    const __m128i product = _mm_mullo_epi32(hash, mul);
#    else
    // Low 32 bits of the products, from the even and the odd lanes.
    const __m128i odd_mul = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.mul_odd[q][c]));
    const __m128i even = _mm_mul_epu32(hash, mul);     // 64-bit products of lanes 0 and 2
    const __m128i odd = _mm_mul_epu32(hash, odd_mul);  // of lanes 1 and 3
    const __m128i product = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                               _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
#    endif
    return _mm_add_epi32(product, add);
}

// unit_coordinate of each lane. The unsigned-to-float conversion is exact
// in two halves (each below 2^16, the high half scaled by 2^16 exactly), so
// the one rounding left, in the final addition, gives the correctly rounded
// float of the 32-bit value: the same as the scalar conversion.
inline __m128 lane_coordinates(__m128i seeds) {
    const __m128 high = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srli_epi32(seeds, 16)), _mm_set1_ps(65536.0f));
    const __m128 low = _mm_cvtepi32_ps(_mm_and_si128(seeds, _mm_set1_epi32(0xFFFF)));
    const __m128 value = _mm_add_ps(high, low);
    return _mm_mul_ps(_mm_add_ps(value, _mm_set1_ps(kPointOffset)), _mm_set1_ps(kPointScale));
}

// The weighted distance of four offsets at once, for the metrics whose
// formula has an exact lane-wise form (the same operations in the same
// order, per lane). Others are measured one point at a time.
template <class Metric>
struct LaneDistance {
    static constexpr bool kAvailable = false;
    static __m128 eval(const SearchPoint&, __m128, __m128, __m128) { return _mm_setzero_ps(); }
};

template <>
struct LaneDistance<Euclidian> {
    static constexpr bool kAvailable = true;
    static __m128 eval(const SearchPoint& p, __m128 dx, __m128 dy, __m128 dz) {
        const __m128 x = _mm_mul_ps(_mm_mul_ps(dx, p.w_x), dx);
        const __m128 y = _mm_mul_ps(_mm_mul_ps(dy, p.w_y), dy);
        const __m128 z = _mm_mul_ps(_mm_mul_ps(dz, p.w_z), dz);
        return _mm_add_ps(_mm_add_ps(x, y), z);
    }
};

// |v|: the sign bit cleared, as fabs does (NaN included).
inline __m128 lane_abs(__m128 v) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), v); }

template <>
struct LaneDistance<Manhattan> {
    static constexpr bool kAvailable = true;
    static __m128 eval(const SearchPoint& p, __m128 dx, __m128 dy, __m128 dz) {
        const __m128 x = lane_abs(_mm_mul_ps(dx, p.w_x));
        const __m128 y = lane_abs(_mm_mul_ps(dy, p.w_y));
        const __m128 z = lane_abs(_mm_mul_ps(dz, p.w_z));
        return _mm_add_ps(_mm_add_ps(x, y), z);
    }
};

template <>
struct LaneDistance<Chessboard> {
    static constexpr bool kAvailable = true;
    // _mm_max_ps(a, b) is a > b ? a : b, the metric's max rule exactly.
    static __m128 eval(const SearchPoint& p, __m128 dx, __m128 dy, __m128 dz) {
        const __m128 x = lane_abs(_mm_mul_ps(dx, p.w_x));
        const __m128 y = lane_abs(_mm_mul_ps(dy, p.w_y));
        const __m128 z = lane_abs(_mm_mul_ps(dz, p.w_z));
        return _mm_max_ps(x, _mm_max_ps(y, z));
    }
};

// Lower bounds of four candidates' values for the powf metrics (see the
// lower bounds above); -infinity for a lane that must be measured exactly.
template <class Metric>
struct LaneBound {
    static constexpr bool kAvailable = false;
    static bool usable(const SearchPoint&) { return false; }
    static __m128 lower(const SearchPoint&, __m128, __m128, __m128) { return _mm_setzero_ps(); }
};

// All ones where a is 0 or a normal finite number: where the bounds hold.
inline __m128 bounded_operand(__m128 a) {
    const __m128 normal = _mm_and_ps(_mm_cmpge_ps(a, _mm_set1_ps(FLT_MIN)), _mm_cmple_ps(a, _mm_set1_ps(FLT_MAX)));
    return _mm_or_ps(normal, _mm_cmpeq_ps(a, _mm_setzero_ps()));
}

// b, or 0 where b is below kSmallestBound (near underflow).
inline __m128 floor_small(__m128 b) { return _mm_and_ps(b, _mm_cmpge_ps(b, _mm_set1_ps(kSmallestBound))); }

// The bound where `valid`, -infinity elsewhere.
inline __m128 or_minus_infinity(__m128 bound, __m128 valid) {
    return _mm_or_ps(_mm_and_ps(valid, bound), _mm_andnot_ps(valid, _mm_set1_ps(-HUGE_VALF)));
}

template <>
struct LaneBound<Minkowski> {
    static constexpr bool kAvailable = true;
    static bool usable(const SearchPoint&) { return true; }
    static __m128 lower(const SearchPoint& p, __m128 dx, __m128 dy, __m128 dz) {
        const __m128 margin = _mm_set1_ps(kBoundMargin);
        const __m128 ax = lane_abs(_mm_sub_ps(dx, p.w_x));
        const __m128 ay = lane_abs(_mm_sub_ps(dy, p.w_y));
        const __m128 az = lane_abs(_mm_sub_ps(dz, p.w_z));
        const __m128 valid = _mm_and_ps(_mm_and_ps(bounded_operand(ax), bounded_operand(ay)), bounded_operand(az));
        // sqrtf of a normal number or 0 is normal or 0: no underflow here.
        const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_sqrt_ps(ax), margin), _mm_mul_ps(_mm_sqrt_ps(ay), margin)),
                                      _mm_mul_ps(_mm_sqrt_ps(az), margin));
        return or_minus_infinity(floor_small(_mm_mul_ps(_mm_mul_ps(sum, sum), margin)), valid);
    }
};

template <>
struct LaneBound<Superquadratic> {
    static constexpr bool kAvailable = true;
    static bool usable(const SearchPoint& p) { return p.halves[0] >= 0 && p.halves[1] >= 0 && p.halves[2] >= 0; }
    // Bound of powf(a, halves / 2), and where it holds.
    static __m128 term(__m128 a, int halves, __m128* valid) {
        if (halves == 0) return _mm_set1_ps(kBoundMargin);  // powf(a, 0) is 1 for every a
        *valid = _mm_and_ps(*valid, bounded_operand(a));
        __m128 e = (halves & 1) != 0 ? _mm_sqrt_ps(a) : _mm_set1_ps(1.0f);
        for (int n = halves / 2; n > 0; --n) e = _mm_mul_ps(e, a);
        return floor_small(_mm_mul_ps(e, _mm_set1_ps(kBoundMargin)));
    }
    static __m128 lower(const SearchPoint& p, __m128 dx, __m128 dy, __m128 dz) {
        __m128 valid = _mm_castsi128_ps(_mm_set1_epi32(-1));
        const __m128 x = term(lane_abs(dx), p.halves[0], &valid);
        const __m128 y = term(lane_abs(dy), p.halves[1], &valid);
        const __m128 z = term(lane_abs(dz), p.halves[2], &valid);
        return or_minus_infinity(_mm_add_ps(_mm_add_ps(x, y), z), valid);
    }
};

// Index of the lowest set bit of a non-zero mask.
inline int lowest_set_bit(unsigned mask) {
#    if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanForward(&index, mask);
    return static_cast<int>(index);
#    else
    return __builtin_ctz(mask);
#    endif
}

// Generates the points of one cube and offers each, in generation order.
template <class Metric, class Keep>
inline void visit_cube(const Metric& metric, const SearchPoint& point, int32_t cx, int32_t cy, int32_t cz, Keep& keep) {
    const uint32_t hash = cube_hash(cx, cy, cz);
    const int32_t count = cube_point_counts[hash >> 24];
    if (count == 0) return;
    const float ox = static_cast<float>(cx);
    const float oy = static_cast<float>(cy);
    const float oz = static_cast<float>(cz);

    const __m128i h = _mm_set1_epi32(static_cast<int>(hash));
    // Offsets of the points of quad q, one per lane.
    auto offsets = [&](int q, __m128* dx, __m128* dy, __m128* dz) {
        *dx = _mm_sub_ps(_mm_add_ps(_mm_set1_ps(ox), lane_coordinates(lane_seeds(h, q, 0))), point.at_x);
        *dy = _mm_sub_ps(_mm_add_ps(_mm_set1_ps(oy), lane_coordinates(lane_seeds(h, q, 1))), point.at_y);
        *dz = _mm_sub_ps(_mm_add_ps(_mm_set1_ps(oz), lane_coordinates(lane_seeds(h, q, 2))), point.at_z);
    };
    __m128 dx, dy, dz;
    offsets(0, &dx, &dy, &dz);
    const int lanes = count < kLanes ? count : kLanes;
    alignas(16) float ax[kLanes], ay[kLanes], az[kLanes];

    if constexpr (LaneDistance<Metric>::kAvailable) {
        const __m128 dist = LaneDistance<Metric>::eval(point, dx, dy, dz);
        // Only lanes nearer than the farthest kept value can be kept: the
        // farthest value only decreases while the lanes are offered, and a
        // NaN lane compares false. The rest are offered in lane order.
        int nearer = _mm_movemask_ps(_mm_cmplt_ps(dist, _mm_set1_ps(keep.farthest()))) & ((1 << lanes) - 1);
        if (nearer != 0) {
            alignas(16) float ad[kLanes];
            _mm_store_ps(ad, dist);
            _mm_store_ps(ax, dx);
            _mm_store_ps(ay, dy);
            _mm_store_ps(az, dz);
            do {
                const int j = lowest_set_bit(static_cast<unsigned>(nearer));
                nearer &= nearer - 1;
                keep.offer(ad[j], Vector3{ax[j], ay[j], az[j]}, after_steps(hash, 1 + kStepsPerPoint * j));
            } while (nearer != 0);
        }
    } else if (LaneBound<Metric>::kAvailable && LaneBound<Metric>::usable(point)) {
        // Measured exactly only where the lower bound lies below the
        // farthest kept value, which each offer may lower further.
        for (int q = 0; q * kLanes < count; ++q) {
            if (q > 0) offsets(q, &dx, &dy, &dz);
            const int in_quad = count - q * kLanes < kLanes ? count - q * kLanes : kLanes;
            const __m128 lower = LaneBound<Metric>::lower(point, dx, dy, dz);
            int maybe = _mm_movemask_ps(_mm_cmplt_ps(lower, _mm_set1_ps(keep.farthest()))) & ((1 << in_quad) - 1);
            if (maybe == 0) continue;
            alignas(16) float al[kLanes];
            _mm_store_ps(al, lower);
            _mm_store_ps(ax, dx);
            _mm_store_ps(ay, dy);
            _mm_store_ps(az, dz);
            do {
                const int j = lowest_set_bit(static_cast<unsigned>(maybe));
                maybe &= maybe - 1;
                if (!(al[j] < keep.farthest())) continue;
                const Vector3 d{ax[j], ay[j], az[j]};
                keep.offer(metric.Distance(d, point.w), d, after_steps(hash, 1 + kStepsPerPoint * (q * kLanes + j)));
            } while (maybe != 0);
        }
        return;
    } else {
        _mm_store_ps(ax, dx);
        _mm_store_ps(ay, dy);
        _mm_store_ps(az, dz);
        for (int j = 0; j < lanes; ++j) {
            const Vector3 d{ax[j], ay[j], az[j]};
            keep.offer(metric.Distance(d, point.w), d, after_steps(hash, 1 + kStepsPerPoint * j));
        }
    }
    // A fifth point (about one cube in ten) is generated on its own.
    if (count > kLanes) offer_point(metric, point, hash, kLanes, ox, oy, oz, keep);
}

#else  // no SSE2: one point at a time

template <class Metric, class Keep>
inline void visit_cube(const Metric& metric, const SearchPoint& point, int32_t cx, int32_t cy, int32_t cz, Keep& keep) {
    const uint32_t hash = cube_hash(cx, cy, cz);
    const int32_t count = cube_point_counts[hash >> 24];
    const float ox = static_cast<float>(cx);
    const float oy = static_cast<float>(cy);
    const float oz = static_cast<float>(cz);
    for (int32_t j = 0; j < count; ++j) offer_point(metric, point, hash, j, ox, oy, oz, keep);
}

#endif

// Visits the point's cube, then each neighbour that may still hold a nearer
// candidate, in the fixed order: faces, then edges, then corners.
template <class Metric, class Keep>
void search(const Metric& metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    const Vector3 at{x * DENSITY_SCALE, y * DENSITY_SCALE, z * DENSITY_SCALE};
    const SearchPoint point(at, w);
    const int32_t ix = cube_coordinate(at.x);
    const int32_t iy = cube_coordinate(at.y);
    const int32_t iz = cube_coordinate(at.z);
    visit_cube(metric, point, ix, iy, iz, keep);

    // Squared distances (double precision) from the point to its cube's faces:
    // d* to the lower face, m* to the upper one.
    const double fx = at.x - static_cast<float>(ix);
    const double fy = at.y - static_cast<float>(iy);
    const double fz = at.z - static_cast<float>(iz);
    const double dx2 = fx * fx, mx2 = (1.0 - fx) * (1.0 - fx);
    const double dy2 = fy * fy, my2 = (1.0 - fy) * (1.0 - fy);
    const double dz2 = fz * fz, mz2 = (1.0 - fz) * (1.0 - fz);

    const int32_t xl = wrap_add(ix, -1), xh = wrap_add(ix, 1);
    const int32_t yl = wrap_add(iy, -1), yh = wrap_add(iy, 1);
    const int32_t zl = wrap_add(iz, -1), zh = wrap_add(iz, 1);

    // Each test reads the farthest kept value afresh: earlier visits lower it.
    auto visit_if_nearer = [&](double bound, int32_t cx, int32_t cy, int32_t cz) {
        if (static_cast<double>(keep.farthest()) > bound) visit_cube(metric, point, cx, cy, cz, keep);
    };
    // Faces.
    visit_if_nearer(dx2, xl, iy, iz);
    visit_if_nearer(dy2, ix, yl, iz);
    visit_if_nearer(dz2, ix, iy, zl);
    visit_if_nearer(mx2, xh, iy, iz);
    visit_if_nearer(my2, ix, yh, iz);
    visit_if_nearer(mz2, ix, iy, zh);
    // Edges.
    visit_if_nearer(dy2 + dx2, xl, yl, iz);
    visit_if_nearer(dz2 + dx2, xl, iy, zl);
    visit_if_nearer(dz2 + dy2, ix, yl, zl);
    visit_if_nearer(my2 + mx2, xh, yh, iz);
    visit_if_nearer(mz2 + mx2, xh, iy, zh);
    visit_if_nearer(mz2 + my2, ix, yh, zh);
    visit_if_nearer(my2 + dx2, xl, yh, iz);
    visit_if_nearer(mz2 + dx2, xl, iy, zh);
    visit_if_nearer(mz2 + dy2, ix, yl, zh);
    visit_if_nearer(mx2 + dy2, xh, yl, iz);
    visit_if_nearer(mx2 + dz2, xh, iy, zl);
    visit_if_nearer(my2 + dz2, ix, yh, zl);
    // Corners.
    visit_if_nearer((dy2 + dx2) + dz2, xl, yl, zl);
    visit_if_nearer((dy2 + dx2) + mz2, xl, yl, zh);
    visit_if_nearer((my2 + dx2) + dz2, xl, yh, zl);
    visit_if_nearer((my2 + dx2) + mz2, xl, yh, zh);
    visit_if_nearer((mx2 + dy2) + dz2, xh, yl, zl);
    visit_if_nearer((mx2 + dy2) + mz2, xh, yl, zh);
    visit_if_nearer((my2 + mx2) + dz2, xh, yh, zl);
    visit_if_nearer((my2 + mx2) + mz2, xh, yh, zh);
}

// Runs the search with the metric's concrete type when it is one of the
// process-wide metric objects (the distance is then called directly), and
// through the virtual slot-0 operation for any other DistType.
template <class Keep>
void search_any(const DistType* metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    if (metric == &euclidian) return search(euclidian, w, x, y, z, keep);
    if (metric == &manhattan) return search(manhattan, w, x, y, z, keep);
    if (metric == &chessboard) return search(chessboard, w, x, y, z, keep);
    if (metric == &minkowski) return search(minkowski, w, x, y, z, keep);
    if (metric == &superquadratic) return search(superquadratic, w, x, y, z, keep);
    search(*metric, w, x, y, z, keep);
}

// A kept value in the caller's units.
inline float unscale(float kept) { return std::sqrt(kept) * DENSITY_UNSCALE; }

// The wide kernel's metric for the metrics it computes lane by lane.
bool lane_metric(const DistType* metric, detail::LaneMetric* out) {
    if (metric == &euclidian) *out = detail::LaneMetric::euclidian;
    else if (metric == &manhattan) *out = detail::LaneMetric::manhattan;
    else if (metric == &chessboard) *out = detail::LaneMetric::chessboard;
    else return false;
    return true;
}

}  // namespace

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z,
                    int32_t N, float* F, Vector3* delta, uint32_t* ID) {
    TULO_PRECONDITION(N >= 1);
    if (N == 2 && delta == nullptr && ID == nullptr) {
        // The shader's case: a wide kernel where there is one, unless a
        // kept zero needs the sequential order for its sign.
        detail::LaneMetric lanes;
        if (const detail::NearestTwoKernel kernel = detail::nearest_two_kernel();
            kernel != nullptr && lane_metric(metric, &lanes)) {
            detail::NearestTwo two;
            if (kernel(lanes, *weights, x, y, z, &two)) {
                F[0] = unscale(two.f0);
                F[1] = unscale(two.f1);
                return;
            }
        }
        KeepTwo keep;
        search_any(metric, *weights, x, y, z, keep);
        F[0] = unscale(keep.f0);
        F[1] = unscale(keep.f1);
        return;
    }

    for (int32_t i = 0; i < N; ++i) F[i] = FAR_DISTANCE;
    KeepInArrays keep{F, delta, ID, N};
    search_any(metric, *weights, x, y, z, keep);
    for (int32_t i = 0; i < N; ++i) F[i] = unscale(F[i]);
    if (delta != nullptr) {
        for (int32_t i = 0; i < N; ++i) {
            delta[i].x *= DENSITY_UNSCALE;
            delta[i].y *= DENSITY_UNSCALE;
            delta[i].z *= DENSITY_UNSCALE;
        }
    }
}

void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy,
                     int32_t cz, int32_t N, const Vector3& at, float* F, Vector3* delta,
                     uint32_t* ID) {
    TULO_PRECONDITION(N >= 1);
    KeepInArrays keep{F, delta, ID, N};
    visit_cube(*metric, SearchPoint(at, *weights), cx, cy, cz, keep);
}

}  // namespace tulo

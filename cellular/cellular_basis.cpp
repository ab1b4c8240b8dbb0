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

// What every cube visit of one search shares: the scaled point and the
// weights, also broadcast to all lanes for the vector path.
struct SearchPoint {
    Vector3 at;
    Vector3 w;
#if TULO_BASIS_SSE
    __m128 at_x, at_y, at_z;
    __m128 w_x, w_y, w_z;
#endif
    SearchPoint(const Vector3& at_, const Vector3& w_) : at(at_), w(w_) {
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

// Composed-step constants by lane: lane j of coordinate c (0 x, 1 y, 2 z)
// is step 2 + 4j + c from the hash. `mul_odd` holds lanes 1 and 3 of `mul`
// moved to the even positions, for the SSE2 32-bit multiply below.
struct LaneSteps {
    alignas(16) uint32_t mul[3][kLanes];
    alignas(16) uint32_t mul_odd[3][kLanes];
    alignas(16) uint32_t add[3][kLanes];
};

constexpr LaneSteps make_lane_steps() {
    LaneSteps t{};
    for (int c = 0; c < 3; ++c) {
        for (int j = 0; j < kLanes; ++j) {
            const int k = 2 + kStepsPerPoint * j + c;
            t.mul[c][j] = kSteps.mul[k];
            t.add[c][j] = kSteps.add[k];
        }
        t.mul_odd[c][0] = t.mul[c][1];
        t.mul_odd[c][2] = t.mul[c][3];
    }
    return t;
}

alignas(16) constexpr LaneSteps kLaneSteps = make_lane_steps();

// Lane j: mul[c][j] * hash + add[c][j] (mod 2^32), the generator state
// that coordinate c of point j comes from.
inline __m128i lane_seeds(__m128i hash, int c) {
    const __m128i mul = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.mul[c]));
    const __m128i add = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.add[c]));
#    if defined(__SSE4_1__)
    const __m128i product = _mm_mullo_epi32(hash, mul);
#    else
    // Low 32 bits of the products, from the even and the odd lanes.
    const __m128i odd_mul = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.mul_odd[c]));
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
    const __m128 dx = _mm_sub_ps(_mm_add_ps(_mm_set1_ps(ox), lane_coordinates(lane_seeds(h, 0))), point.at_x);
    const __m128 dy = _mm_sub_ps(_mm_add_ps(_mm_set1_ps(oy), lane_coordinates(lane_seeds(h, 1))), point.at_y);
    const __m128 dz = _mm_sub_ps(_mm_add_ps(_mm_set1_ps(oz), lane_coordinates(lane_seeds(h, 2))), point.at_z);
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

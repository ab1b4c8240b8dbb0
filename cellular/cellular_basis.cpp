// The cellular basis function.
//
// Three searches give the same bits:
// - the sequential search, written once as templates over the metric's
//   concrete type and over how the nearest values are kept, so that a
//   built-in metric runs with its distance inlined; on x86-64 it generates
//   a cube's points four at a time in SSE2 lanes (the portable kernel);
// - for the shader's case (N = 2, no offsets or ids) and the metrics exact
//   lane by lane, the wide kernels' search of all 27 cubes at once;
// - for Minkowski and Superquadratic, the sequential search measuring only
//   the candidates whose lower bound (lanes.h) could be kept, with the
//   bounds from the wide kernels where there are any.
// The wide kernels are chosen at run time (kernels.h); the rest here is
// compiled for the baseline instruction set.
#include "cellular/cellular_basis.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "cellular/arguments.h"
#include "cellular/float_environment.h"
#include "cellular/kernels.h"
#include "cellular/lanes.h"
#include "cellular/lattice.h"
#include "cellular/precondition.h"

// SSE2 is part of every x86-64 CPU: with it the points of a cube are
// generated four at a time, lane by lane with the same single-precision
// operations as the scalar code.
#if defined(__SSE2__) || defined(_M_X64)
#    define TULO_BASIS_SSE 1
#    include "cellular/lanes_sse2.h"
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

// The id of point j of a cube: the state 1 + 4j steps after its hash.
inline uint32_t point_id(uint32_t hash, int j) { return after_steps(hash, 1 + kStepsPerPoint * j); }

// Offset from the scaled point `at` to point j of the cube with this hash
// and corner (ox, oy, oz); its coordinates come from the three states after
// its id.
inline Vector3 point_offset(uint32_t hash, int j, float ox, float oy, float oz, const Vector3& at) {
    const int first = 1 + kStepsPerPoint * j;
    const float px = unit_coordinate(after_steps(hash, first + 1));
    const float py = unit_coordinate(after_steps(hash, first + 2));
    const float pz = unit_coordinate(after_steps(hash, first + 3));
    return Vector3{(ox + px) - at.x, (oy + py) - at.y, (oz + pz) - at.z};
}

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

// The metric kinds the lane formulas know, by concrete type.
template <class Metric>
struct MetricKind {
    static constexpr bool kLane = false;   // exact lane by lane
    static constexpr bool kPower = false;  // bounded lane by lane
};
template <>
struct MetricKind<Euclidian> {
    static constexpr bool kLane = true, kPower = false;
    static constexpr detail::LaneMetric kLaneMetric = detail::LaneMetric::euclidian;
};
template <>
struct MetricKind<Manhattan> {
    static constexpr bool kLane = true, kPower = false;
    static constexpr detail::LaneMetric kLaneMetric = detail::LaneMetric::manhattan;
};
template <>
struct MetricKind<Chessboard> {
    static constexpr bool kLane = true, kPower = false;
    static constexpr detail::LaneMetric kLaneMetric = detail::LaneMetric::chessboard;
};
template <>
struct MetricKind<Minkowski> {
    static constexpr bool kLane = false, kPower = true;
    static constexpr detail::PowerMetric kPowerMetric = detail::PowerMetric::minkowski;
};
template <>
struct MetricKind<Superquadratic> {
    static constexpr bool kLane = false, kPower = true;
    static constexpr detail::PowerMetric kPowerMetric = detail::PowerMetric::superquadratic;
};

// What every cube visit of one search shares: the scaled point and the
// weights, broadcast to all lanes for the vector path, and for the power
// metrics the weights as their bounds take them.
struct SearchPoint {
    Vector3 at;
    Vector3 w;
    detail::PowerWeights power{};
    bool ordinary = false;  // the power bounds may skip their operand checks
#if TULO_BASIS_SSE
    __m128 at_lanes[3];
    __m128 w_lanes[3];
#endif
    SearchPoint(const Vector3& at_, const Vector3& w_) : at(at_), w(w_) {
#if TULO_BASIS_SSE
        at_lanes[0] = _mm_set1_ps(at.x), at_lanes[1] = _mm_set1_ps(at.y), at_lanes[2] = _mm_set1_ps(at.z);
        w_lanes[0] = _mm_set1_ps(w.x), w_lanes[1] = _mm_set1_ps(w.y), w_lanes[2] = _mm_set1_ps(w.z);
#endif
    }
};

template <class Metric>
SearchPoint search_point(const Vector3& at, const Vector3& w) {
    SearchPoint point(at, w);
    if constexpr (MetricKind<Metric>::kPower) {
        point.power = detail::power_weights(MetricKind<Metric>::kPowerMetric, w);
        point.ordinary = detail::ordinary_operands(point.power, at);
    }
    return point;
}

#if TULO_BASIS_SSE

// The points of a cube go through the lanes four at a time: quad q holds
// points 4q..4q+3 (quad 1 only the fifth point, in lane 0).
constexpr int kLanes = detail::Sse2::kWidth;
constexpr int kQuads = 2;

// Composed-step constants by lane: lane j of quad q, coordinate c (0 x,
// 1 y, 2 z) is step 2 + 4(4q + j) + c from the hash. `mul_odd` holds lanes 1
// and 3 of `mul` moved to the even positions, for the SSE2 32-bit multiply.
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

// Lane j: mul * hash + add (mod 2^32), the generator state that coordinate
// c of point 4q + j comes from.
inline __m128i lane_seeds(__m128i hash, int q, int c) {
    const __m128i mul = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.mul[q][c]));
    const __m128i odd_mul = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.mul_odd[q][c]));
    const __m128i add = _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneSteps.add[q][c]));
    // Low 32 bits of the products, from the even and the odd lanes.
    const __m128i even = _mm_mul_epu32(hash, mul);     // 64-bit products of lanes 0 and 2
    const __m128i odd = _mm_mul_epu32(hash, odd_mul);  // of lanes 1 and 3
    const __m128i product = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                               _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
    return _mm_add_epi32(product, add);
}

// Offers the lanes of `mask` in lane order: lane j is point first + j, with
// the value value(j, d) (called only for the lanes offered).
template <class Keep, class Value>
inline void offer_lanes(int mask, __m128 dx, __m128 dy, __m128 dz, uint32_t hash, int first, Keep& keep, Value&& value) {
    alignas(16) float ax[kLanes], ay[kLanes], az[kLanes];
    _mm_store_ps(ax, dx);
    _mm_store_ps(ay, dy);
    _mm_store_ps(az, dz);
    do {
        const int j = detail::lowest_set_bit(static_cast<uint32_t>(mask));
        mask &= mask - 1;
        const Vector3 d{ax[j], ay[j], az[j]};
        value(j, d, [&](float dist) { keep.offer(dist, d, point_id(hash, first + j)); });
    } while (mask != 0);
}

// Generates the points of one cube and offers each, in generation order.
template <class Metric, class Keep>
inline void visit_cube(const Metric& metric, const SearchPoint& point, int32_t cx, int32_t cy, int32_t cz, Keep& keep) {
    using Kind = MetricKind<Metric>;
    const uint32_t hash = cube_hash(cx, cy, cz);
    const int32_t count = cube_point_counts[hash >> 24];
    if (count == 0) return;
    const float ox = static_cast<float>(cx);
    const float oy = static_cast<float>(cy);
    const float oz = static_cast<float>(cz);
    const __m128i h = _mm_set1_epi32(static_cast<int>(hash));
    const __m128 corner[3] = {_mm_set1_ps(ox), _mm_set1_ps(oy), _mm_set1_ps(oz)};
    auto offsets = [&](int q, __m128* d) {
        for (int c = 0; c < 3; ++c) d[c] = detail::offset<detail::Sse2>(corner[c], lane_seeds(h, q, c), point.at_lanes[c]);
    };

    if constexpr (Kind::kLane) {
        __m128 d[3];
        offsets(0, d);
        const int lanes = count < kLanes ? count : kLanes;
        const __m128 dist = detail::lane_distance<detail::Sse2, Kind::kLaneMetric>(d[0], d[1], d[2], point.w_lanes[0],
                                                                                  point.w_lanes[1], point.w_lanes[2]);
        // Only lanes nearer than the farthest kept value can be kept: the
        // farthest value only decreases while the lanes are offered, and a
        // NaN lane compares false. The rest are offered in lane order.
        const int nearer = _mm_movemask_ps(_mm_cmplt_ps(dist, _mm_set1_ps(keep.farthest()))) & ((1 << lanes) - 1);
        if (nearer != 0) {
            alignas(16) float ad[kLanes];
            _mm_store_ps(ad, dist);
            offer_lanes(nearer, d[0], d[1], d[2], hash, 0, keep, [&](int j, const Vector3&, auto offer) { offer(ad[j]); });
        }
        // A fifth point (about one cube in ten) is generated on its own.
        if (count > kLanes) {
            const Vector3 d5 = point_offset(hash, kLanes, ox, oy, oz, point.at);
            keep.offer(metric.Distance(d5, point.w), d5, point_id(hash, kLanes));
        }
    } else {
        if constexpr (Kind::kPower) {
            if (point.power.usable) {
                // Measured exactly only where the lower bound lies below the
                // farthest kept value, which each offer may lower further.
                for (int q = 0; q * kLanes < count; ++q) {
                    __m128 d[3];
                    offsets(q, d);
                    const int in_quad = count - q * kLanes < kLanes ? count - q * kLanes : kLanes;
                    const __m128 lower =
                        point.ordinary
                            ? detail::power_lower_bound<detail::Sse2, Kind::kPowerMetric, false>(d[0], d[1], d[2], point.power)
                            : detail::power_lower_bound<detail::Sse2, Kind::kPowerMetric, true>(d[0], d[1], d[2], point.power);
                    const int maybe =
                        _mm_movemask_ps(_mm_cmplt_ps(lower, _mm_set1_ps(keep.farthest()))) & ((1 << in_quad) - 1);
                    if (maybe == 0) continue;
                    alignas(16) float al[kLanes];
                    _mm_store_ps(al, lower);
                    offer_lanes(maybe, d[0], d[1], d[2], hash, q * kLanes, keep, [&](int j, const Vector3& dj, auto offer) {
                        if (al[j] < keep.farthest()) offer(metric.Distance(dj, point.w));
                    });
                }
                return;
            }
        }
        for (int32_t j = 0; j < count; ++j) {
            const Vector3 d = point_offset(hash, j, ox, oy, oz, point.at);
            keep.offer(metric.Distance(d, point.w), d, point_id(hash, j));
        }
    }
}

#else  // no SSE2: one point at a time

template <class Metric, class Keep>
inline void visit_cube(const Metric& metric, const SearchPoint& point, int32_t cx, int32_t cy, int32_t cz, Keep& keep) {
    const uint32_t hash = cube_hash(cx, cy, cz);
    const int32_t count = cube_point_counts[hash >> 24];
    const float ox = static_cast<float>(cx);
    const float oy = static_cast<float>(cy);
    const float oz = static_cast<float>(cz);
    for (int32_t j = 0; j < count; ++j) {
        const Vector3 d = point_offset(hash, j, ox, oy, oz, point.at);
        keep.offer(metric.Distance(d, point.w), d, point_id(hash, j));
    }
}

#endif

// Visits neighbour n (1..26 in the visiting order of the one neighbourhood
// table, wide_search.h) if it may still hold a nearer candidate. n is a
// constant, so its offsets and the terms of its bound are too.
template <int n, class Metric, class Keep>
inline void visit_neighbour(const Metric& metric, const SearchPoint& point, const detail::SearchStart& s,
                            const double* terms, Keep& keep) {
    constexpr const detail::LaneTables& t = detail::kLaneTables;
    const double bound = detail::culling_bound(terms, n, [](double a, double b) { return a + b; });
    // Each test reads the farthest kept value afresh: earlier visits lower it.
    if (static_cast<double>(keep.farthest()) > bound) {
        visit_cube(metric, point, wrap_add(s.ix, t.dx[n]), wrap_add(s.iy, t.dy[n]), wrap_add(s.iz, t.dz[n]), keep);
    }
}

template <class Metric, class Keep, std::size_t... n>
inline void visit_neighbours(const Metric& metric, const SearchPoint& point, const detail::SearchStart& s,
                             const double* terms, Keep& keep, std::index_sequence<n...>) {
    (visit_neighbour<static_cast<int>(n) + 1>(metric, point, s, terms, keep), ...);
}

// Visits the point's cube, then each neighbour that may still hold a nearer
// candidate, in the fixed order: faces, then edges, then corners.
template <class Metric, class Keep>
void search(const Metric& metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    const detail::SearchStart s = detail::start_search(x, y, z);
    const SearchPoint point = search_point<Metric>(s.at, w);
    visit_cube(metric, point, s.ix, s.iy, s.iz, keep);
    const double terms[7] = {0.0, s.dx2, s.mx2, s.dy2, s.my2, s.dz2, s.mz2};
    visit_neighbours(metric, point, s, terms, keep, std::make_index_sequence<detail::kCubes - 1>());
}

// The sequential search over the bounds a wide kernel computed: the same
// visits in the same order, measuring exactly only the points whose bound
// lies below the farthest kept value at their turn.
template <class Metric, class Keep>
void search_with_bounds(const Metric& metric, const Vector3& w, const detail::PowerBounds& b, Keep& keep) {
    const detail::LaneTables& t = detail::kLaneTables;
    for (int n = 0; n < detail::kCubes; ++n) {
        if (!(keep.farthest() > b.r[n]) || !(b.least[n] < keep.farthest())) continue;
        const uint32_t hash = b.own_hash + t.hash_offset[n];
        const float ox = static_cast<float>(wrap_add(b.start.ix, t.dx[n]));
        const float oy = static_cast<float>(wrap_add(b.start.iy, t.dy[n]));
        const float oz = static_cast<float>(wrap_add(b.start.iz, t.dz[n]));
        for (int j = 0; j < kMaxPointsPerCube; ++j) {
            if (!(b.lower[j][n] < keep.farthest())) continue;  // +inf where there is no point j
            const Vector3 d = point_offset(hash, j, ox, oy, oz, b.start.at);
            keep.offer(metric.Distance(d, w), d, point_id(hash, j));
        }
    }
}

// The power metrics with a wide kernel's bounds, when there is such a kernel
// and the weights can be bounded; false otherwise.
template <class Metric, class Keep>
bool search_with_wide_bounds(const Metric& metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    constexpr detail::PowerMetric kind = MetricKind<Metric>::kPowerMetric;
    const detail::PowerBoundsKernel kernel = detail::kernels().power_bounds;
    if (kernel == nullptr) return false;
    const detail::PowerWeights power = detail::power_weights(kind, w);
    if (!power.usable) return false;
    detail::PowerBounds bounds;
    kernel(kind, power, x, y, z, &bounds);
    search_with_bounds(metric, w, bounds, keep);
    return true;
}

// Runs the search with the metric's concrete type when it is one of the
// process-wide metric objects (the distance is then called directly), and
// through the virtual slot-0 operation for any other DistType.
template <class Keep>
void search_any(const DistType* metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    if (metric == &euclidian) return search(euclidian, w, x, y, z, keep);
    if (metric == &manhattan) return search(manhattan, w, x, y, z, keep);
    if (metric == &chessboard) return search(chessboard, w, x, y, z, keep);
    if (metric == &minkowski) {
        if (!search_with_wide_bounds(minkowski, w, x, y, z, keep)) search(minkowski, w, x, y, z, keep);
        return;
    }
    if (metric == &superquadratic) {
        if (!search_with_wide_bounds(superquadratic, w, x, y, z, keep)) search(superquadratic, w, x, y, z, keep);
        return;
    }
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

// Arrays shorter than this go to the per-point kernel, kSearchGroup points
// a call; longer ones to the kernel with one point per lane, whose vectors
// cost about the same however few lanes are filled.
constexpr std::size_t kBatchFrom = 16;

// F[2i], F[2i + 1] for points[0..count) by the per-point kernel's `search`,
// kSearchGroup points a call (inlined: every sample of the shader comes
// this way).
TULO_ALWAYS_INLINE inline void search_points(detail::NearestTwoSearch search, const Vector3& weights,
                                             const Vector3* points, int count, float* F) {
    for (int first = 0; first < count; first += detail::kSearchGroup) {
        const int n = std::min(detail::kSearchGroup, count - first);
        detail::NearestTwo two[detail::kSearchGroup];
        search(weights, points + first, n, two);
        for (int i = 0; i < n; ++i) {
            F[2 * (first + i)] = unscale(two[i].f0);
            F[2 * (first + i) + 1] = unscale(two[i].f1);
        }
    }
}

}  // namespace

void detail::point_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N,
                         float* F, Vector3* delta, uint32_t* ID) {
    TULO_PRECONDITION(N >= 1);
    if (N == 2 && delta == nullptr && ID == nullptr) {
        // The two distances alone: a wide kernel where there is one.
        detail::LaneMetric lanes;
        if (const detail::NearestTwoSearches* searches = detail::kernels().nearest_two;
            searches != nullptr && lane_metric(metric, &lanes)) {
            const Vector3 point{x, y, z};
            detail::NearestTwo two;
            searches->pick(lanes, *weights)(*weights, &point, 1, &two);
            F[0] = unscale(two.f0);
            F[1] = unscale(two.f1);
            return;
        }
        KeepTwo keep;
        search_any(metric, *weights, x, y, z, keep);
        F[0] = unscale(keep.f0);
        F[1] = unscale(keep.f1);
        return;
    }

    // Slots no candidate fills leave with a NaN offset and id 0 (the NaN
    // survives the scaling below).
    for (int32_t i = 0; i < N; ++i) F[i] = FAR_DISTANCE;
    if (delta != nullptr) std::fill_n(delta, N, Vector3{kUnfilledOffset, kUnfilledOffset, kUnfilledOffset});
    if (ID != nullptr) std::fill_n(ID, N, kUnfilledId);
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

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID) {
    detail::check_basis_arguments("cellular_basis", metric, weights, N);
    detail::check_array("cellular_basis", "F", F, 1);
    // point_basis is a call no compiler sees into (TULO_GUARDED_WORK): its
    // arithmetic stays inside the guard.
    const DefaultFloatEnvironment environment;
    detail::point_basis(metric, weights, x, y, z, N, F, delta, ID);
}

void detail::basis_points(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID) {
    TULO_PRECONDITION(N >= 1);
    detail::LaneMetric lanes;
    if (N == 2 && delta == nullptr && ID == nullptr && lane_metric(metric, &lanes)) {
        if (const detail::NearestTwoSearches* searches = detail::kernels().nearest_two;
            searches != nullptr && count < kBatchFrom) {
            return search_points(searches->pick(lanes, *weights), *weights, points, static_cast<int>(count), F);
        }
        if (const detail::NearestTwoBatchKernel kernel = detail::kernels().nearest_two_batch; kernel != nullptr) {
            kernel(lanes, *weights, points, count, F);
            return;
        }
    }
    const std::size_t n = static_cast<std::size_t>(N);
    for (std::size_t i = 0; i < count; ++i) {
        point_basis(metric, weights, points[i].x, points[i].y, points[i].z, N, F + i * n,
                       delta != nullptr ? delta + i * n : nullptr, ID != nullptr ? ID + i * n : nullptr);
    }
}

void detail::sample_basis(const DistType* metric, const Vector3* weights, const Vector3* points, int count,
                          float* F) {
    const detail::NearestTwoSearches* searches = detail::kernels().nearest_two;
    detail::LaneMetric lanes;
    if (searches == nullptr || !lane_metric(metric, &lanes)) {
        return basis_points(metric, weights, points, static_cast<std::size_t>(count), 2, F, nullptr, nullptr);
    }
    search_points(searches->pick(lanes, *weights), *weights, points, count, F);
}

void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy,
                     int32_t cz, int32_t N, const Vector3& at, float* F, Vector3* delta,
                     uint32_t* ID) {
    TULO_PRECONDITION(N >= 1);
    KeepInArrays keep{F, delta, ID, N};
    visit_cube(*metric, SearchPoint(at, *weights), cx, cy, cz, keep);
}

}  // namespace tulo

// The sequential search: the basis as cellular_basis.h defines it, for any
// metric object, any N, with offsets and ids. Written once as templates over
// the lanes (lane_ops.h), the metric's concrete type and how the nearest
// values are kept, so that a built-in metric runs with its distance inlined
// and a cube's points are formed kWidth at a time in vector lanes, lane by
// lane the scalar operations (invariants 10 to 12).
//
// For Minkowski and Superquadratic only the candidates whose lower bound
// could still be kept are measured (invariant 13): with 8 or more lanes the
// bounds of all 27 cubes come ahead from the cube-lanes search
// (power_bounds); with 4, each cube's are formed as it is visited.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "cellular/cellular_basis.h"
#include "cellular/kernels/generic/cube_lanes.h"
#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/lane_formulas.h"
#include "cellular/kernels/generic/lattices.h"
#include "cellular/kernels/generic/target.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

using namespace lattice;

// Whether the cube-lanes searches serve single points: with 8 or more lanes
// the 27 cubes fill a few vectors; with 4 the sequential search, which
// visits only the cubes it needs, is the cheaper.
template <class V>
constexpr bool kCubeLanesPerPoint = V::kWidth >= 8;

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
// and ids moved alongside: the strict insertion of the definition.
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
    static constexpr LaneMetric kLaneMetric = LaneMetric::euclidian;
};
template <>
struct MetricKind<Manhattan> {
    static constexpr bool kLane = true, kPower = false;
    static constexpr LaneMetric kLaneMetric = LaneMetric::manhattan;
};
template <>
struct MetricKind<Chessboard> {
    static constexpr bool kLane = true, kPower = false;
    static constexpr LaneMetric kLaneMetric = LaneMetric::chessboard;
};
template <>
struct MetricKind<Minkowski> {
    static constexpr bool kLane = false, kPower = true;
    static constexpr PowerMetric kPowerMetric = PowerMetric::minkowski;
};
template <>
struct MetricKind<Superquadratic> {
    static constexpr bool kLane = false, kPower = true;
    static constexpr PowerMetric kPowerMetric = PowerMetric::superquadratic;
};

// The exact value of a candidate. The built-in metrics that go through
// powf are measured by a call to the library's baseline code: their inline
// forms, compiled here, would be offered to the linker under their common
// names (invariant 16). Any other metric through its virtual operation;
// metrics 1-3 never come here (their values are formed in lanes).
template <class Metric>
inline float measure(const Metric& metric, const Vector3& d, const Vector3& w) {
    static_assert(!MetricKind<Metric>::kLane, "metrics 1-3 are measured in lanes");
    if constexpr (std::is_same<Metric, Minkowski>::value) {
        static_cast<void>(metric);
        return detail::minkowski_distance(d, w);
    } else if constexpr (std::is_same<Metric, Superquadratic>::value) {
        static_cast<void>(metric);
        return detail::superquadratic_distance(d, w);
    } else {
        return static_cast<const DistType&>(metric).Distance(d, w);
    }
}

// What every cube visit of one search shares: the scaled point and the
// weights, in every lane, and for the power metrics the weights as their
// bounds take them.
template <class V>
struct SearchPoint {
    Vector3 at;
    Vector3 w;
    PowerWeights power{};
    bool ordinary = false;  // the power bounds may skip their operand checks
    typename V::F at_lanes[3];
    typename V::F w_lanes[3];
    SearchPoint(const Vector3& at_, const Vector3& w_) : at(at_), w(w_) {
        at_lanes[0] = V::set(at.x), at_lanes[1] = V::set(at.y), at_lanes[2] = V::set(at.z);
        w_lanes[0] = V::set(w.x), w_lanes[1] = V::set(w.y), w_lanes[2] = V::set(w.z);
    }
};

template <class V, class Metric>
SearchPoint<V> search_point(const Vector3& at, const Vector3& w) {
    SearchPoint<V> point(at, w);
    if constexpr (MetricKind<Metric>::kPower) {
        point.power = power_weights(MetricKind<Metric>::kPowerMetric, w);
        point.ordinary = ordinary_operands(point.power, at);
    }
    return point;
}

// The points of a cube go through the lanes kWidth at a time: group q holds
// points q * kWidth ... Composed-step constants by point: coordinate c of
// point j is step 2 + 4j + c from the hash (0 past the cube's most points).
struct PointSteps {
    alignas(64) uint32_t mul[3][16];
    alignas(64) uint32_t add[3][16];
};

constexpr PointSteps make_point_steps() {
    PointSteps t{};
    for (int c = 0; c < 3; ++c) {
        for (int j = 0; j < 16; ++j) {
            const int k = j < kMaxPointsPerCube ? 2 + kStepsPerPoint * j + c : 0;
            t.mul[c][j] = kSteps.mul[k];
            t.add[c][j] = kSteps.add[k];
        }
    }
    return t;
}

constexpr PointSteps kPointSteps = make_point_steps();

// Lane i: the generator state that coordinate c of point q * kWidth + i
// comes from, mul * hash + add (mod 2^32).
template <class V>
inline typename V::I point_seeds(typename V::I hash, int q, int c) {
    const int first = q * V::kWidth;
    const typename V::I mul = V::loadi(reinterpret_cast<const int32_t*>(kPointSteps.mul[c] + first));
    const typename V::I add = V::loadi(reinterpret_cast<const int32_t*>(kPointSteps.add[c] + first));
    return V::addi(V::muli(hash, mul), add);
}

// Offers the lanes of `mask` in lane order: lane j is point first + j, with
// the value value(j, d, offer) (offer called only for the lanes offered).
template <class V, class Keep, class Value>
inline void offer_lanes(uint32_t mask, const typename V::F* d, uint32_t hash, int first, Keep& keep, Value&& value) {
    alignas(64) float ax[V::kWidth], ay[V::kWidth], az[V::kWidth];
    V::store(ax, d[0]);
    V::store(ay, d[1]);
    V::store(az, d[2]);
    do {
        const int j = lowest_set_bit(mask);
        mask &= mask - 1;
        const Vector3 dj{ax[j], ay[j], az[j]};
        value(j, dj, [&](float dist) { keep.offer(dist, dj, point_id(hash, first + j)); });
    } while (mask != 0);
}

// Generates the points of one cube and offers each, in generation order.
// The cube lies at (cx, cy, cz); its points are chosen by `hash`.
template <class V, class Metric, class Keep>
inline void visit_cube(const Metric& metric, const SearchPoint<V>& point, int32_t cx, int32_t cy, int32_t cz,
                       uint32_t hash, Keep& keep) {
    using Kind = MetricKind<Metric>;
    using F = typename V::F;
    constexpr int W = V::kWidth;
    const int32_t count = cube_point_counts[hash >> 24];
    if (count == 0) return;
    const float ox = static_cast<float>(cx);
    const float oy = static_cast<float>(cy);
    const float oz = static_cast<float>(cz);
    const typename V::I h = V::seti(static_cast<int32_t>(hash));
    const F corner[3] = {V::set(ox), V::set(oy), V::set(oz)};
    auto offsets = [&](int q, F* d) {
        for (int c = 0; c < 3; ++c) d[c] = offset<V>(corner[c], point_seeds<V>(h, q, c), point.at_lanes[c]);
    };
    // The lanes of group q that hold one of the cube's points.
    auto in_group = [&](int q) {
        const int n = count - q * W < W ? count - q * W : W;
        return n >= 32 ? ~0u : (1u << n) - 1u;
    };
    if constexpr (Kind::kLane) {
        for (int q = 0; q * W < count; ++q) {
            F d[3];
            offsets(q, d);
            const F dist = lane_distance<V, Kind::kLaneMetric>(d[0], d[1], d[2], point.w_lanes[0], point.w_lanes[1],
                                                               point.w_lanes[2]);
            // Only lanes nearer than the farthest kept value can be kept: the
            // farthest value only decreases while the lanes are offered, and a
            // NaN lane compares false. The rest are offered in lane order.
            const uint32_t nearer = V::bits(V::lt(dist, V::set(keep.farthest()))) & in_group(q);
            if (nearer == 0) continue;
            alignas(64) float ad[W];
            V::store(ad, dist);
            offer_lanes<V>(nearer, d, hash, q * W, keep, [&](int j, const Vector3&, auto offer) { offer(ad[j]); });
        }
    } else {
        if constexpr (Kind::kPower) {
            if (point.power.usable) {
                // Measured exactly only where the lower bound lies below the
                // farthest kept value, which each offer may lower further
                // (invariant 13).
                for (int q = 0; q * W < count; ++q) {
                    F d[3];
                    offsets(q, d);
                    const F lower = point.ordinary
                                        ? power_lower_bound<V, Kind::kPowerMetric, false>(d[0], d[1], d[2], point.power)
                                        : power_lower_bound<V, Kind::kPowerMetric, true>(d[0], d[1], d[2], point.power);
                    const uint32_t maybe = V::bits(V::lt(lower, V::set(keep.farthest()))) & in_group(q);
                    if (maybe == 0) continue;
                    alignas(64) float al[W];
                    V::store(al, lower);
                    offer_lanes<V>(maybe, d, hash, q * W, keep, [&](int j, const Vector3& dj, auto offer) {
                        if (al[j] < keep.farthest()) offer(measure(metric, dj, point.w));
                    });
                }
                return;
            }
        }
        for (int32_t j = 0; j < count; ++j) {
            const Vector3 d = point_offset(hash, j, ox, oy, oz, point.at);
            keep.offer(measure(metric, d, point.w), d, point_id(hash, j));
        }
    }
}

// Visits neighbour n (1..26 in visiting order) if it may still hold a
// nearer candidate. n is a constant, so its offsets and the terms of its
// bound are too.
template <int n, class V, class Metric, class Keep, class L>
inline void visit_neighbour(const Metric& metric, const SearchPoint<V>& point, const SearchStart& s,
                            const double* terms, Keep& keep, const L& lattice) {
    constexpr const LaneTables& t = kLaneTables;
    const double bound = culling_bound(terms, n, [](double a, double b) { return a + b; });
    // Each test reads the farthest kept value afresh: earlier visits lower it.
    if (static_cast<double>(keep.farthest()) > bound) {
        const int32_t own[3] = {s.ix, s.iy, s.iz}, step[3] = {t.dx[n], t.dy[n], t.dz[n]};
        visit_cube<V>(metric, point, wrap_add(s.ix, t.dx[n]), wrap_add(s.iy, t.dy[n]), wrap_add(s.iz, t.dz[n]),
                      lattice.hash(own, step), keep);
    }
}

template <class V, class Metric, class Keep, class L, std::size_t... n>
inline void visit_neighbours(const Metric& metric, const SearchPoint<V>& point, const SearchStart& s,
                             const double* terms, Keep& keep, const L& lattice, std::index_sequence<n...>) {
    (visit_neighbour<static_cast<int>(n) + 1>(metric, point, s, terms, keep, lattice), ...);
}

// Visits the point's cube, then each neighbour that may still hold a nearer
// candidate, in the fixed order: faces, then edges, then corners.
template <class V, class Metric, class Keep, class L>
void search(const Metric& metric, const Vector3& w, float x, float y, float z, Keep& keep, const L& lattice) {
    const SearchStart s = start_search(x, y, z);
    const SearchPoint<V> point = search_point<V, Metric>(s.at, w);
    const int32_t own[3] = {s.ix, s.iy, s.iz}, none[3] = {0, 0, 0};
    visit_cube<V>(metric, point, s.ix, s.iy, s.iz, lattice.hash(own, none), keep);
    const double terms[7] = {0.0, s.dx2, s.mx2, s.dy2, s.my2, s.dz2, s.mz2};
    visit_neighbours<V>(metric, point, s, terms, keep, lattice, std::make_index_sequence<kCubes - 1>());
}

// The sequential search over the bounds the cube-lanes search computed: the
// same visits in the same order, measuring exactly only the points whose
// bound lies below the farthest kept value at their turn (invariant 13).
template <class Metric, class Keep>
void search_with_bounds(const Metric& metric, const Vector3& w, const PowerBounds& b, Keep& keep) {
    const LaneTables& t = kLaneTables;
    for (int n = 0; n < kCubes; ++n) {
        if (!(keep.farthest() > b.r[n]) || !(b.least[n] < keep.farthest())) continue;
        const uint32_t hash = b.own_hash + t.hash_offset[n];
        const float ox = static_cast<float>(wrap_add(b.start.ix, t.dx[n]));
        const float oy = static_cast<float>(wrap_add(b.start.iy, t.dy[n]));
        const float oz = static_cast<float>(wrap_add(b.start.iz, t.dz[n]));
        for (int j = 0; j < kMaxPointsPerCube; ++j) {
            if (!(b.lower[j][n] < keep.farthest())) continue;  // +inf where there is no point j
            const Vector3 d = point_offset(hash, j, ox, oy, oz, b.start.at);
            keep.offer(measure(metric, d, w), d, point_id(hash, j));
        }
    }
}

// A power metric's search: with the bounds of all 27 cubes ahead where the
// kernel forms them in cube lanes (on the plugin's lattice) and the weights
// can be bounded, else the sequential search bounding each cube as it goes.
template <class V, class Metric, class Keep, class L>
void power_search(const Metric& metric, const Vector3& w, float x, float y, float z, Keep& keep, const L& lattice) {
    if constexpr (kCubeLanesPerPoint<V> && L::kPlugin) {
        constexpr PowerMetric kind = MetricKind<Metric>::kPowerMetric;
        const PowerWeights power = power_weights(kind, w);
        if (power.usable) {
            PowerBounds bounds;
            power_bounds<V>(kind, power, x, y, z, &bounds);
            return search_with_bounds(metric, w, bounds, keep);
        }
    }
    search<V>(metric, w, x, y, z, keep, lattice);
}

// Runs the search with the metric's concrete type when it is one of the
// process-wide metric objects (the distance is then called directly), and
// through the virtual slot-0 operation for any other DistType.
template <class V, class Keep, class L>
void search_any(const DistType* metric, const Vector3& w, float x, float y, float z, Keep& keep, const L& lattice) {
    if (metric == &euclidian) return search<V>(euclidian, w, x, y, z, keep, lattice);
    if (metric == &manhattan) return search<V>(manhattan, w, x, y, z, keep, lattice);
    if (metric == &chessboard) return search<V>(chessboard, w, x, y, z, keep, lattice);
    if (metric == &minkowski) return power_search<V>(minkowski, w, x, y, z, keep, lattice);
    if (metric == &superquadratic) return power_search<V>(superquadratic, w, x, y, z, keep, lattice);
    search<V>(*metric, w, x, y, z, keep, lattice);
}

// N = 2 of a group of points by the sequential search, one point after the
// other: the NearestTwoSearch of kernels with fewer than 8 lanes.
template <class V, LaneMetric Metric>
void sequential_nearest_two(const Vector3& w, const Vector3* points, int count, NearestTwo* out) {
    for (int i = 0; i < count; ++i) {
        KeepTwo keep;
        if constexpr (Metric == LaneMetric::euclidian) {
            search<V>(euclidian, w, points[i].x, points[i].y, points[i].z, keep, PluginLattice{});
        } else if constexpr (Metric == LaneMetric::manhattan) {
            search<V>(manhattan, w, points[i].x, points[i].y, points[i].z, keep, PluginLattice{});
        } else {
            search<V>(chessboard, w, points[i].x, points[i].y, points[i].z, keep, PluginLattice{});
        }
        out[i] = NearestTwo{keep.f0, keep.f1};
    }
}

// One cube's points inserted into F, delta, ID (add_cube_points).
template <class V>
void add_cube_points(const DistType* metric, const Vector3& w, int32_t cx, int32_t cy, int32_t cz, int32_t N,
                     const Vector3& at, float* F, Vector3* delta, uint32_t* ID) {
    KeepInArrays keep{F, delta, ID, N};
    visit_cube<V>(*metric, SearchPoint<V>(at, w), cx, cy, cz, cube_hash(cx, cy, cz), keep);
}

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

// A target's kernel entry (kernel.h), filled from the generic searches
// instantiated for its lanes: the last header a kernel.cpp includes.
//
//   #define TULO_KERNEL_TARGET avx2
//   #include "cellular/kernels/avx2/lanes.h"
//   #include "cellular/kernels/generic/make_kernel.h"
//   namespace tulo::kernels::avx2 { const Kernel kKernel = make_kernel<Lanes>(Isa::avx2); }
#pragma once

#include <cstddef>

#include "cellular/cellular_basis.h"
#include "cellular/kernels/generic/cube_lanes.h"
#include "cellular/kernels/generic/point_lanes.h"
#include "cellular/kernels/generic/sequential.h"
#include "cellular/kernels/generic/target.h"
#include "cellular/kernels/kernel.h"
#include "cellular/kernels/lane_ops.h"
#include "cellular/scalar_math.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

// A kept value in the caller's units.
inline float unscale(float kept) { return detail::sqrt_f(kept) * DENSITY_UNSCALE; }

// The cube-lanes search's metric for the metrics it computes lane by lane.
inline bool lane_metric_of(const DistType* metric, LaneMetric* out) {
    if (metric == &euclidian)
        *out = LaneMetric::euclidian;
    else if (metric == &manhattan)
        *out = LaneMetric::manhattan;
    else if (metric == &chessboard)
        *out = LaneMetric::chessboard;
    else
        return false;
    return true;
}

// N = 2 for a group of points, metrics 1-3: in cube lanes with 8 or more
// lanes, else by the sequential search. With kKeep, through the thread's
// kept neighbourhoods, keep[i] for points[i] (invariant 18), which the
// sequential search neither reads nor writes.
template <class V, LaneMetric Metric, bool kUnitWeights, bool kKeep = true>
void group_nearest_two_kept(const Vector3& w, const Vector3* points, int count, NearestTwo* out,
                            KeptNeighbourhood* keep) {
    if constexpr (kCubeLanesPerPoint<V>) {
        nearest_two<V, Metric, kUnitWeights, kKeep>(w, points, count, out, keep);
    } else {
        static_cast<void>(keep);
        sequential_nearest_two<V, Metric>(w, points, count, out);
    }
}

template <class V, LaneMetric Metric, bool kUnitWeights>
void group_nearest_two(const Vector3& w, const Vector3* points, int count, NearestTwo* out) {
    group_nearest_two_kept<V, Metric, kUnitWeights, false>(w, points, count, out, nullptr);
}

// cellular_basis's contract for one point (kernel.h, PointBasis), on the
// plugin's lattice or another (the cube-lanes searches know the plugin's
// alone).
template <class V, class L>
void basis_on(const DistType* metric, const Vector3& w, float x, float y, float z, int32_t N, float* F, Vector3* delta,
              uint32_t* ID, const L& lattice) {
    if (N == 2 && delta == nullptr && ID == nullptr) {
        NearestTwo two;
        LaneMetric lanes;
        if (kCubeLanesPerPoint<V> && L::kPlugin && lane_metric_of(metric, &lanes)) {
            const Vector3 point{x, y, z};
            const bool unit = w.x == 1.0f && w.y == 1.0f && w.z == 1.0f;
            switch (lanes) {
                case LaneMetric::euclidian:
                    (unit ? group_nearest_two<V, LaneMetric::euclidian, true>
                          : group_nearest_two<V, LaneMetric::euclidian, false>)(w, &point, 1, &two);
                    break;
                case LaneMetric::manhattan:
                    (unit ? group_nearest_two<V, LaneMetric::manhattan, true>
                          : group_nearest_two<V, LaneMetric::manhattan, false>)(w, &point, 1, &two);
                    break;
                case LaneMetric::chessboard:
                    (unit ? group_nearest_two<V, LaneMetric::chessboard, true>
                          : group_nearest_two<V, LaneMetric::chessboard, false>)(w, &point, 1, &two);
                    break;
            }
        } else {
            KeepTwo keep;
            search_any<V>(metric, w, x, y, z, keep, lattice);
            two = NearestTwo{keep.f0, keep.f1};
        }
        F[0] = unscale(two.f0);
        F[1] = unscale(two.f1);
        return;
    }
    // Slots no candidate fills leave with a NaN offset and id 0 (the NaN
    // survives the scaling below).
    for (int32_t i = 0; i < N; ++i) F[i] = FAR_DISTANCE;
    if (delta != nullptr) {
        for (int32_t i = 0; i < N; ++i) delta[i] = Vector3{kUnfilledOffset, kUnfilledOffset, kUnfilledOffset};
    }
    if (ID != nullptr) {
        for (int32_t i = 0; i < N; ++i) ID[i] = kUnfilledId;
    }
    KeepInArrays keep{F, delta, ID, N};
    search_any<V>(metric, w, x, y, z, keep, lattice);
    for (int32_t i = 0; i < N; ++i) F[i] = unscale(F[i]);
    if (delta != nullptr) {
        for (int32_t i = 0; i < N; ++i) {
            delta[i].x *= DENSITY_UNSCALE;
            delta[i].y *= DENSITY_UNSCALE;
            delta[i].z *= DENSITY_UNSCALE;
        }
    }
}

template <class V>
void point_basis(const DistType* metric, const Vector3& w, float x, float y, float z, int32_t N, float* F,
                 Vector3* delta, uint32_t* ID) {
    basis_on<V>(metric, w, x, y, z, N, F, delta, ID, PluginLattice{});
}

template <class V>
void point_basis_on(const DistType* metric, const Vector3& w, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID, const LatticeHash& lattice) {
    basis_on<V>(metric, w, x, y, z, N, F, delta, ID, OtherLattice{lattice});
}

// Arrays point by point through the sequential search (lanes emulated in
// plain C++, where the point lanes' every-slot work does not pay).
template <class V, LaneMetric Metric, class L>
void sequential_points(const Vector3& w, const Vector3* points, std::size_t count, float* F, Vector3* delta,
                       uint32_t* ID, const L& lattice) {
    const DistType* metric = Metric == LaneMetric::euclidian   ? static_cast<const DistType*>(&euclidian)
                             : Metric == LaneMetric::manhattan ? static_cast<const DistType*>(&manhattan)
                                                               : static_cast<const DistType*>(&chessboard);
    for (std::size_t i = 0; i < count; ++i) {
        basis_on<V>(metric, w, points[i].x, points[i].y, points[i].z, 2, F + 2 * i, delta ? delta + 2 * i : nullptr,
                    ID ? ID + 2 * i : nullptr, lattice);
    }
}

template <class V, LaneMetric Metric, bool kUnitWeights>
void nearest_two_points_on(const Vector3& w, const Vector3* points, std::size_t count, float* F, Vector3* delta,
                           uint32_t* ID, const LatticeHash* lattice) {
    if constexpr (V::kEmulated) {
        if (lattice == nullptr) return sequential_points<V, Metric>(w, points, count, F, delta, ID, PluginLattice{});
        return sequential_points<V, Metric>(w, points, count, F, delta, ID, OtherLattice{*lattice});
    }
    const bool points_too = delta != nullptr || ID != nullptr;
    if (lattice == nullptr) {
        if (points_too)
            return nearest_two_points<V, Metric, kUnitWeights, true>(w, points, count, F, delta, ID, PluginLattice{});
        return nearest_two_points<V, Metric, kUnitWeights, false>(w, points, count, F, nullptr, nullptr,
                                                                  PluginLattice{});
    }
    if (points_too) {
        return nearest_two_points<V, Metric, kUnitWeights, true>(w, points, count, F, delta, ID,
                                                                 OtherLattice{*lattice});
    }
    nearest_two_points<V, Metric, kUnitWeights, false>(w, points, count, F, nullptr, nullptr, OtherLattice{*lattice});
}

template <class V, LaneMetric Metric, bool kUnitWeights>
void nearest_two_points_plugin(const Vector3& w, const Vector3* points, std::size_t count, float* F) {
    if constexpr (V::kEmulated)
        return sequential_points<V, Metric>(w, points, count, F, nullptr, nullptr, PluginLattice{});
    nearest_two_points<V, Metric, kUnitWeights, false>(w, points, count, F, nullptr, nullptr, PluginLattice{});
}

template <class V>
constexpr Kernel make_kernel(Isa isa) {
    static_assert(check_lane_ops<V>(), "the target's lanes lack part of the vocabulary");
    using L = LaneMetric;
    return Kernel{
        isa,
        &point_basis<V>,
        &add_cube_points<V>,
        {{&group_nearest_two<V, L::euclidian, false>, &group_nearest_two<V, L::euclidian, true>},
         {&group_nearest_two<V, L::manhattan, false>, &group_nearest_two<V, L::manhattan, true>},
         {&group_nearest_two<V, L::chessboard, false>, &group_nearest_two<V, L::chessboard, true>}},
        {{&nearest_two_points_plugin<V, L::euclidian, false>, &nearest_two_points_plugin<V, L::euclidian, true>},
         {&nearest_two_points_plugin<V, L::manhattan, false>, &nearest_two_points_plugin<V, L::manhattan, true>},
         {&nearest_two_points_plugin<V, L::chessboard, false>, &nearest_two_points_plugin<V, L::chessboard, true>}},
        {{&group_nearest_two_kept<V, L::euclidian, false>, &group_nearest_two_kept<V, L::euclidian, true>},
         {&group_nearest_two_kept<V, L::manhattan, false>, &group_nearest_two_kept<V, L::manhattan, true>},
         {&group_nearest_two_kept<V, L::chessboard, false>, &group_nearest_two_kept<V, L::chessboard, true>}},
        &power_bounds<V>,
        &point_basis_on<V>,
        {{&nearest_two_points_on<V, L::euclidian, false>, &nearest_two_points_on<V, L::euclidian, true>},
         {&nearest_two_points_on<V, L::manhattan, false>, &nearest_two_points_on<V, L::manhattan, true>},
         {&nearest_two_points_on<V, L::chessboard, false>, &nearest_two_points_on<V, L::chessboard, true>}}};
}

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

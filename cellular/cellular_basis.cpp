// The cellular basis's front door: the checked, guarded entry, and the
// paths of arrays and of the shader's samples to the kernel in use
// (kernels/kernel.h), whose searches all give the sequential search's bits
// (docs/search.md).
#include "cellular/cellular_basis.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "cellular/arguments.h"
#include "cellular/float_environment.h"
#include "cellular/kernels/kernel.h"
#include "cellular/lattice.h"
#include "cellular/precondition.h"
#include "cellular/scalar_math.h"

namespace tulo {
namespace {

using kernels::LaneMetric;
using kernels::NearestTwo;

// A kept value in the caller's units.
inline float unscale(float kept) { return detail::sqrt_f(kept) * DENSITY_UNSCALE; }

// The kernels' metric for the metrics they compute lane by lane.
bool lane_metric(const DistType* metric, LaneMetric* out) {
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

// Arrays shorter than this go through the per-point searches,
// kSearchGroup points a call; longer ones through the point lanes, whose
// vectors cost about the same however few lanes are filled.
constexpr std::size_t kArraysFrom = 16;

// F[2i], F[2i + 1] for points[0..count) by a per-point search,
// kSearchGroup points a call: search(p, n, out, first) searches the n
// points p = points + first (inlined: every sample of the shader comes this
// way).
template <class Search>
inline void search_points(const Vector3* points, int count, float* F, Search&& search) {
    for (int first = 0; first < count; first += kernels::kSearchGroup) {
        const int n = std::min(kernels::kSearchGroup, count - first);
        NearestTwo two[kernels::kSearchGroup];
        search(points + first, n, two, first);
        for (int i = 0; i < n; ++i) {
            F[2 * (first + i)] = unscale(two[i].f0);
            F[2 * (first + i) + 1] = unscale(two[i].f1);
        }
    }
}

}  // namespace

void detail::point_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                         Vector3* delta, uint32_t* ID, const lattice::LatticeHash* lattice) {
    TULO_PRECONDITION(N >= 1);
    if (lattice == nullptr) return kernels::kernel().point_basis(metric, *weights, x, y, z, N, F, delta, ID);
    kernels::kernel().point_basis_on(metric, *weights, x, y, z, N, F, delta, ID, *lattice);
}

void detail::check_lattice(const char* entry, const Lattice& lattice) {
    for (int axis = 0; axis < 3; ++axis) {
        const int32_t p = lattice.period[axis];
        if (p < 0 || p > kMaxPeriod) {
            throw std::invalid_argument(std::string(entry) + ": a period must lie in 0.." + std::to_string(kMaxPeriod) +
                                        " cells (0: none), got " + std::to_string(p) + " along " + "xyz"[axis]);
        }
    }
}

bool detail::is_plugin_lattice(const Lattice& lattice) {
    return lattice.period[0] == 0 && lattice.period[1] == 0 && lattice.period[2] == 0 && lattice.seed == 0;
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

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID, const Lattice& lattice) {
    detail::check_basis_arguments("cellular_basis", metric, weights, N);
    detail::check_array("cellular_basis", "F", F, 1);
    detail::check_lattice("cellular_basis", lattice);
    const lattice::LatticeHash hashed = lattice::lattice_hash(lattice);
    const DefaultFloatEnvironment environment;
    detail::point_basis(metric, weights, x, y, z, N, F, delta, ID,
                        detail::is_plugin_lattice(lattice) ? nullptr : &hashed);
}

void detail::basis_points(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID, const lattice::LatticeHash* lattice) {
    TULO_PRECONDITION(N >= 1);
    const kernels::Kernel& kernel = kernels::kernel();
    LaneMetric lanes;
    if (N == 2 && lane_metric(metric, &lanes) && (delta != nullptr || ID != nullptr || lattice != nullptr)) {
        return kernel.pick_array_on(lanes, *weights)(*weights, points, count, F, delta, ID, lattice);
    }
    if (N == 2 && delta == nullptr && ID == nullptr && lane_metric(metric, &lanes)) {
        if (count < kArraysFrom) {
            const kernels::NearestTwoSearch search = kernel.pick(lanes, *weights);
            return search_points(points, static_cast<int>(count), F,
                                 [&](const Vector3* p, int n, NearestTwo* two, int) { search(*weights, p, n, two); });
        }
        return kernel.pick_array(lanes, *weights)(*weights, points, count, F);
    }
    const std::size_t n = static_cast<std::size_t>(N);
    for (std::size_t i = 0; i < count; ++i) {
        float* f = F + i * n;
        Vector3* d = delta != nullptr ? delta + i * n : nullptr;
        uint32_t* id = ID != nullptr ? ID + i * n : nullptr;
        if (lattice == nullptr) {
            kernel.point_basis(metric, *weights, points[i].x, points[i].y, points[i].z, N, f, d, id);
        } else {
            kernel.point_basis_on(metric, *weights, points[i].x, points[i].y, points[i].z, N, f, d, id, *lattice);
        }
    }
}

namespace {

// What each thread keeps of its last sample's neighbourhoods, one per
// octave (docs/search.md, invariant 18). Zero-initialised plain data in the
// default model of thread storage: no constructor or destructor to register
// per thread, and, in a library loaded at run time, nothing that has to fit
// the static reserve for thread storage (the first use on each thread
// allocates it instead).
thread_local kernels::KeptNeighbourhoods t_kept;

}  // namespace

void detail::sample_basis(const DistType* metric, const Vector3* weights, const Vector3* points, int count, float* F) {
    const kernels::Kernel& kernel = kernels::kernel();
    LaneMetric lanes;
    if (!lane_metric(metric, &lanes)) {
        for (int i = 0; i < count; ++i) {
            kernel.point_basis(metric, *weights, points[i].x, points[i].y, points[i].z, 2, F + 2 * i, nullptr, nullptr);
        }
        return;
    }
    // A sample's octaves fill one group, one kept neighbourhood each; points
    // beyond it (no sample has them) are searched without.
    const kernels::NearestTwoKeptSearch kept = kernel.pick_kept(lanes, *weights);
    const kernels::NearestTwoSearch plain = kernel.pick(lanes, *weights);
    search_points(points, count, F, [&](const Vector3* p, int n, NearestTwo* two, int first) {
        if (first == 0) return kept(*weights, p, n, two, t_kept.slot);
        plain(*weights, p, n, two);
    });
}

void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy, int32_t cz, int32_t N,
                     const Vector3& at, float* F, Vector3* delta, uint32_t* ID) {
    TULO_PRECONDITION(N >= 1);
    kernels::kernel().add_cube_points(metric, *weights, cx, cy, cz, N, at, F, delta, ID);
}

}  // namespace tulo

// The search kernels: one entry per instruction set, each a complete table
// of the searches the library runs, and the choice among them at load.
//
// Every kernel lives in a folder of its own, cellular/kernels/<target>/:
// its lane operations (lanes.h, the vocabulary of lane_ops.h) and one
// translation unit (kernel.cpp) that instantiates the generic searches
// (generic/) inside namespace tulo::kernels::<target> and fills its entry,
// kKernel. Every entry is complete: every search, for every metric and kind
// of weights, so that no caller checks for a missing one. Every kernel gives
// the same bits; they differ only in speed.
//
// The kernels, widest first (kernels.cpp holds the one list):
//   avx512    x86-64 with AVX-512 F, BW, DQ and VL: 16 float lanes
//   avx2      x86-64 with AVX2 and FMA: 8 float lanes
//   neon      aarch64 (Advanced SIMD): 4 float lanes
//   portable  every machine: SSE2 on x86-64 (and WebAssembly through its
//             SSE2 translation), plain C++ lanes elsewhere; 4 lanes
//
// The choice is made once, when the library is loaded (before any thread of
// the caller's can ask), from the CPU, capped by the environment variable
// TULO_CELLULAR_MAX_ISA as it is at that moment: a kernel's name in any
// letter case (sse2 names the portable kernel on x86-64, where it is SSE2);
// portable rules out every other kernel and avx2 rules out avx512. Another
// value is named in one line on standard error and ignored.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "cellular/dist_type.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {

enum class Isa : int32_t { portable, avx2, avx512, neon };

// The basis of one point: cellular_basis's contract, for any metric object,
// any N >= 1, with offsets and ids, in the calling thread's floating-point
// environment and without argument checks.
using PointBasis = void (*)(const DistType* metric, const Vector3& w, float x, float y, float z, int32_t N, float* F,
                            Vector3* delta, uint32_t* ID);

// add_cube_points (lattice.h): one cube's points inserted into F, delta, ID.
using CubePoints = void (*)(const DistType* metric, const Vector3& w, int32_t cx, int32_t cy, int32_t cz, int32_t N,
                            const Vector3& at, float* F, Vector3* delta, uint32_t* ID);

// N = 2 for points[0..count), 1 <= count <= kSearchGroup, into out[0..count)
// (values before square root and scale), for one metric of 1-3 and one kind
// of weights: the shader's samples and short arrays.
using NearestTwoSearch = void (*)(const Vector3& w, const Vector3* points, int count, NearestTwo* out);

// The same, reading and keeping the neighbourhood of points[i] in keep[i]
// (neighbourhood.h, KeptNeighbourhood): the samples of one thread, in the
// order a renderer shades them. Same results as NearestTwoSearch whatever
// `keep` holds, if it was zero-initialised and only ever passed here.
using NearestTwoKeptSearch = void (*)(const Vector3& w, const Vector3* points, int count, NearestTwo* out,
                                      KeptNeighbourhood* keep);

// N = 2 for an array of points, metrics 1-3: F[2i] and F[2i + 1] get point
// i's two distances in the caller's units (sqrtf times DENSITY_UNSCALE).
using NearestTwoArray = void (*)(const Vector3& w, const Vector3* points, std::size_t count, float* F);

// Every lower bound and culling bound of a power-metric search from the
// point (x, y, z), for the sequential search that measures what they leave.
using PowerBoundsSearch = void (*)(PowerMetric metric, const PowerWeights& w, float x, float y, float z,
                                   PowerBounds* out);

// The same on a lattice other than the plugin's (lattice.h, LatticeHash);
// arrays also with offsets (delta) and ids (ID) where those are not null,
// and on the plugin's lattice where `lattice` is null.
using PointBasisOn = void (*)(const DistType* metric, const Vector3& w, float x, float y, float z, int32_t N, float* F,
                              Vector3* delta, uint32_t* ID, const lattice::LatticeHash& lattice);
using NearestTwoArrayOn = void (*)(const Vector3& w, const Vector3* points, std::size_t count, float* F, Vector3* delta,
                                   uint32_t* ID, const lattice::LatticeHash* lattice);

struct Kernel {
    Isa isa;
    PointBasis point_basis;
    CubePoints add_cube_points;
    // [metric in LaneMetric's order][every weight exactly 1]
    NearestTwoSearch nearest_two[3][2];
    NearestTwoArray nearest_two_array[3][2];
    NearestTwoKeptSearch nearest_two_kept[3][2];
    PowerBoundsSearch power_bounds;
    // On another lattice, or with offsets and ids: the sequential and the
    // point-lanes searches.
    PointBasisOn point_basis_on;
    NearestTwoArrayOn nearest_two_array_on[3][2];

    static constexpr int unit(const Vector3& w) { return w.x == 1.0f && w.y == 1.0f && w.z == 1.0f ? 1 : 0; }
    NearestTwoSearch pick(LaneMetric m, const Vector3& w) const { return nearest_two[static_cast<int>(m)][unit(w)]; }
    NearestTwoKeptSearch pick_kept(LaneMetric m, const Vector3& w) const {
        return nearest_two_kept[static_cast<int>(m)][unit(w)];
    }
    NearestTwoArray pick_array(LaneMetric m, const Vector3& w) const {
        return nearest_two_array[static_cast<int>(m)][unit(w)];
    }
    NearestTwoArrayOn pick_array_on(LaneMetric m, const Vector3& w) const {
        return nearest_two_array_on[static_cast<int>(m)][unit(w)];
    }
};

// Each target's entry, defined in its kernel.cpp where the build has it.
namespace portable {
extern const Kernel kKernel;
}
namespace avx2 {
extern const Kernel kKernel;
}
namespace avx512 {
extern const Kernel kKernel;
}
namespace neon {
extern const Kernel kKernel;
}

const char* isa_name(Isa isa);

// Whether this build has the kernel and this CPU (and OS) can run it.
bool kernel_available(Isa isa);

// The kernel in use, as a pointer to its entry so that every search finds
// its functions with one load, inline (null until chosen).
extern std::atomic<const Kernel*> chosen_kernel;
// Chooses the kernel and returns it (kernel()'s first call).
const Kernel& choose_kernel();

// The kernel in use, and its entry.
Isa kernel_isa();
inline const Kernel& kernel() {
    const Kernel* k = chosen_kernel.load(std::memory_order_relaxed);
    return k != nullptr ? *k : choose_kernel();
}

// The choice the library makes at load: the widest kernel this CPU can run,
// capped by `cap` (TULO_CELLULAR_MAX_ISA's value, null when it is unset).
// Not kept.
Isa choose_kernel_isa(const char* cap);

// Uses `isa` from now on, for tests and benchmarks that compare kernels;
// false, and nothing changed, when it is not available. Not to be called
// while searches run on other threads.
bool use_kernel_isa(Isa isa);

}  // namespace kernels
}  // namespace tulo

// The sequential reference of the cellular basis and of the shader's
// computation of a sample: every step in the order the contract gives, in
// the most obvious way (a virtual Distance call per candidate, the point
// generator stepped one link at a time, the neighbour table walked as data
// with each bound formed at its visit, a plain insertion into the arrays).
//
// It shares nothing with the library's search but the table of point counts
// and the metric objects (whose values the metric tests pin by hand): its
// constants are spelled from their stored bits, and its lattice, generator,
// culling and insertion are its own. Tests compare every kernel of the
// library with it bit for bit; the benchmarks use it as the baseline.
#pragma once

#include <cstdint>

#include "cellular/cellular_basis.h"
#include "cellular/dist_type.h"
#include "tulo/tulo_cellulartexture.h"

namespace reference {

using tulo::DistType;
using tulo::Vector3;

// Work done by one or more calls, when asked for.
struct Counts {
    uint64_t cubes = 0;        // cubes whose points were generated
    uint64_t evaluations = 0;  // metric distance evaluations
};

// Which neighbour cubes are visited: those the bounds allow (the contract),
// or all 26 (to check that the bounds never skip a nearer point where the
// metric is the squared Euclidean distance).
enum class Culling { bounds, none };

// The basis function: F[0..N-1], and delta and ID when not null.
// On another lattice (tulo::Lattice, cellular_basis.h) when `lattice` is
// not null: cube coordinates wrapped into each period before they choose the
// cube's points, the seed's key added to every hash.
void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID, Counts* counts = nullptr, Culling culling = Culling::bounds,
                    const tulo::Lattice* lattice = nullptr);

// The shader's computation of one sample from a fetched parameter block:
// clamps, weight replacement, octave sum, gain and blend. `result` is what
// the renderer left in the result colour.
tulo::Color shade(const tulo::CellularTextureParams& params, const Vector3& point, tulo::Color result,
                  Counts* counts = nullptr);

}  // namespace reference

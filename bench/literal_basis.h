// A literal rendition of the basis function and the shader's per-sample
// computation, written step by step in the most obvious way: a virtual call
// per candidate, a generic insertion loop, the neighbour table walked as
// data with its bound formed at every visit, and the point generator stepped
// serially. It is the baseline the benchmarks compare against, and an
// independent cross-check of the fast search in the tests.
#pragma once

#include <cstdint>

#include "cellular/dist_type.h"
#include "shader/tulo_cellulartexture.h"

namespace literal {

using tulo::DistType;
using tulo::Vector3;

// Work done by one or more calls, when asked for.
struct Counts {
    uint64_t cubes = 0;        // cubes whose points were generated
    uint64_t evaluations = 0;  // metric distance evaluations
};

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z,
                    int32_t N, float* F, Vector3* delta, uint32_t* ID, Counts* counts = nullptr);

// The shader's computation for one sample, with parameters given directly.
tulo::Color shade(const tulo::CellularTextureParams& params, const Vector3& point, tulo::Color result,
                  Counts* counts = nullptr);

}  // namespace literal

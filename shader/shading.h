// The shader's computation of one sample, apart from how its parameters are
// fetched: the octave sum of F2 - F1, the gain and the colour blend.
//
// resolve_parameters turns a fetched parameter block into the values the
// computation uses (metric clamped to 1..5 and turned into its metric object,
// all-zero weights replaced by (1, 1, 1), octaves clamped to 0..5); it does
// no floating-point arithmetic, so it means the same in any floating-point
// mode. shade_sample is a pure function of those values and the point.
//
// shade_sample's contract, with t = F2 - F1 at the point plus, for octave i,
// (F2 - F1 at the point times 2^i) times 2^-i:
// - gain > 0: t above 1/gain gives color2 with every component of the
//   result, alpha included, zeroed first; otherwise t is divided by 1/gain.
// - gain <= 0: t above gain gives color2 with alpha 0; otherwise t / gain.
// - A NaN t or gain fails the comparison: t / gain is NaN and so are r, g, b.
// - r, g, b = color2 * (1 - t) + color1 * t; alpha is written only in the
//   zeroing case and otherwise keeps what the caller left in *result.
// All arithmetic is single precision, each operation rounded on its own, and
// assumes the default floating-point environment (see float_environment.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cellular/dist_type.h"
#include "cellular/float_environment.h"
#include "cellular/lattice.h"
#include "tulo/tulo_cellulartexture.h"

namespace tulo {

// Octave counts the shader accepts (each one doubles the frequency).
constexpr int32_t kMinOctaves = 0;
constexpr int32_t kMaxOctaves = 5;

// A parameter block after the clamps and the replacement rule.
struct ShadingInputs {
    Color color1;
    Color color2;
    const DistType* metric;
    Vector3 weights;
    int32_t octaves;  // 0..5
    float gain;       // as fetched
    // Another lattice than the plugin's, for the texture for arrays (the
    // plugin's samples are always on its own): octave i doubles the periods
    // i times, with the point.
    bool other_lattice = false;
    lattice::LatticeHash lattice{};
};

// lo when value < lo, hi when value > hi, value otherwise.
int32_t clamp_int(int32_t value, int32_t lo, int32_t hi);

ShadingInputs resolve_parameters(const CellularTextureParams& fetched);

TULO_GUARDED_WORK void shade_sample(const ShadingInputs& inputs, const Vector3& point, Color* result);

// shade_sample for every point of an array, with the same bits: each
// octave's basis computed for many points at once (the basis for arrays).
TULO_GUARDED_WORK void shade_points(const ShadingInputs& inputs, const Vector3* points, std::size_t count,
                                    Color* results);

// The blend factor t of each point: what r, g and b are blended by (NaN
// where they are NaN), and 0 where the octave sum lies beyond the gain's
// limit (where shade_points zeroes alpha).
TULO_GUARDED_WORK void blend_factors(const ShadingInputs& inputs, const Vector3* points, std::size_t count,
                                     float* values);

}  // namespace tulo

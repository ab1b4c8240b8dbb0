// The shader's face towards the renderer: its three exported entry points,
// its parameter block and the parts of the renderer's records it reads.
//
// A renderer loads the library file tulo_cellulartexture(.so/.dll), hands
// over its own module handle with miSetModuleHandle (the library then looks
// up the renderer's mi_phen_eval by name when a parameter is connected), and
// calls tulo_cellulartexture once per shading sample, from any number of
// threads at once. miSetModuleHandle must not run while a shader call runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cellular/vector3.h"
#include "export.h"

namespace tulo {

// The renderer's colour: r, g, b, a as single-precision floats (16 bytes).
struct Color {
    float r;
    float g;
    float b;
    float a;
};
static_assert(sizeof(Color) == 16, "Color must match the renderer's 16-byte colour");

// The parameter block, laid out by the renderer from the shader's declaration.
struct CellularTextureParams {
    Color color1;     // colour where the normalised value t is 1
    Color color2;     // colour where t is 0
    int32_t metric;   // 1 Euclidian .. 5 Superquadratic; clamped to 1..5
    Vector3 weights;  // handed to the metric; all zero (either sign) means (1, 1, 1)
    int32_t octaves;  // extra evaluations at doubled frequency; clamped to 0..5
    float gain;       // t is compared with and divided by 1/gain (gain > 0) or gain
};
static_assert(sizeof(CellularTextureParams) == 56, "parameter block is 56 bytes");
static_assert(offsetof(CellularTextureParams, color1) == 0, "color1 at byte 0");
static_assert(offsetof(CellularTextureParams, color2) == 16, "color2 at byte 16");
static_assert(offsetof(CellularTextureParams, metric) == 32, "metric at byte 32");
static_assert(offsetof(CellularTextureParams, weights) == 36, "weights at byte 36");
static_assert(offsetof(CellularTextureParams, octaves) == 48, "octaves at byte 48");
static_assert(offsetof(CellularTextureParams, gain) == 52, "gain at byte 52");

// The renderer's shading-state record; opaque apart from the fields below.
struct ShadingState;

// Byte positions in the renderer's 64-bit record layouts.
namespace state_layout {
// Sample point: three floats x, y, z, used as they are (no transformation).
constexpr std::size_t kPoint = 196;
// Pointer to the record of the shader being run; never null.
constexpr std::size_t kShaderRecord = 312;
// In the shader record: signed 32-bit connection-tag offset in bytes. When it
// is not 0, the 32-bit word at (parameter address + offset) is the
// parameter's connection tag, and a non-zero tag marks it connected.
constexpr std::size_t kTagOffset = 96;
}  // namespace state_layout

}  // namespace tulo

extern "C" {

// Always 1.
TULO_API int32_t tulo_cellulartexture_version();

// Shades one sample: writes r, g, b of *result (and alpha in the one case
// where the value exceeds the gain limit: all four become 0). Returns 1.
TULO_API int32_t tulo_cellulartexture(tulo::Color* result, tulo::ShadingState* state,
                                      tulo::CellularTextureParams* params);

// Stores the renderer's module handle and forgets every operation resolved
// in the previous module.
TULO_API void miSetModuleHandle(void* handle);

}  // extern "C"

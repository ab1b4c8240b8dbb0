// Vector3: the three-float point, offset and weights type of the cellular
// basis and the shader.
#pragma once

namespace tulo {

// Three single-precision floats x, y, z (12 bytes, no padding): the layout the
// renderer uses for vector parameters and the library uses for points,
// offsets and metric weights.
struct Vector3 {
    float x;
    float y;
    float z;
};

static_assert(sizeof(Vector3) == 12, "Vector3 must match the renderer's 12-byte vector");

}  // namespace tulo

// Where a view's pixels look in space: the slice's frame, the sample point
// of a position in a cell (on the slice, or on the lit sphere), and whether
// a point leaves the lattice.
#pragma once

#include "tools/preview/layout.h"
#include "tools/preview/options.h"

namespace preview {

// The slice's axes in space: right and up in the image.
struct Frame {
    Vec3 right, up;
};
Frame slice_frame(const Options& options);

// The point that position (fx, fy) in [0, w) x [0, h) of a cell shows, in
// single precision as the renderer hands it over, and the light falling
// there (1 on a slice; Lambert lighting with some ambient light on the
// sphere). False off the sphere, where there is no point.
bool point_at(const Options& options, const Frame& frame, const Cell& cell, double fx, double fy, float* x, float* y,
              float* z, double* light);

// Whether a sample point leaves the lattice at some octave up to `octaves`:
// its scaled coordinate (the point doubled per octave, times the density
// scale, in single precision as the shader does) is not a number or its
// cube lies outside the signed 32-bit range.
bool beyond_lattice(float x, float y, float z, int octaves);

}  // namespace preview

// The basis's own passes of a single view (--passes, --pass): computed by
// the basis library, the code the plugin runs, called directly, and drawn
// as a picture of one pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/preview/image_io.h"
#include "tools/preview/layout.h"
#include "tools/preview/options.h"

namespace preview {

// The basis's own passes of a single view, from the cellular library (the
// code the plugin runs, called directly: one evaluation at each pixel's
// centre, as at octave 0, with the metric and weights the shader resolves):
// F1 and F2, the nearest feature point's id and the offset to it. Pixels
// off a sphere hold NaN and id 0.
struct Passes {
    int width = 0, height = 0;
    std::vector<float> f1, f2;
    std::vector<float> offset[3];
    std::vector<uint32_t> id;
};
// `done` counts finished tiles (out of count_tiles(layout)).
Passes compute_passes(const Options& options, const Layout& layout, int threads, std::atomic<long>* done = nullptr);

// The picture of one pass (--pass): F1, F2, F2-F1 (grey from 0 to the
// largest value), id (a flat random colour a cell) or offset (x, y, z as
// r, g, b), the size of the passes; with `legend`, a ramp and its range
// below.
Image pass_picture(const Passes& passes, const std::string& pass, bool legend);

}  // namespace preview

// Rendering a preview: the layout of one image or a contact sheet (labels,
// legend, ramp ticks), the tiled, multi-threaded shading of it through the
// loaded library, and the facts gathered on the way.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "standin/standin_renderer.h"
#include "tools/preview/image_io.h"
#include "tools/preview/options.h"

namespace preview {

// One rendered view: its place in the image, its parameters (connection
// tags beside them when something is ramped) and its label.
struct Cell {
    int x0 = 0, y0 = 0, width = 0, height = 0;
    std::unique_ptr<standin::ParameterStore> store;
    std::vector<std::string> label;  // lines above the cell
};

// Text drawn into the image: a line at (x, y) in the label colour.
struct Caption {
    int x = 0, y = 0;
    std::string text;
};

// A tick mark of a ramp: a short vertical line at (x, y0..y1).
struct Tick {
    int x = 0, y0 = 0, y1 = 0;
};

struct Layout {
    int width = 0, height = 0;
    std::vector<Cell> cells;
    std::vector<Caption> captions;  // labels, legend and tick values
    std::vector<Tick> ticks;
    std::vector<std::string> notices;  // what could not be drawn, for stderr
};

// Places the single view, or the sheet's grid of labelled cells and its
// legend, and the ramps' ticks. Throws UsageError when the whole picture
// would exceed kMaxImageSide on a side.
Layout plan(const Options& options);

// What a render met, for the summary line.
struct Stats {
    double min[4], max[4], sum[4];  // over pixels, channels r g b a, NaN left out
    long long counted[4] = {0, 0, 0, 0};
    long long samples = 0;           // shading calls
    long long nan = 0;               // samples with a NaN colour channel
    long long alpha_zero = 0;        // samples beyond the gain limit (alpha set to 0)
    long long beyond_lattice = 0;    // samples whose point, at some octave, leaves the lattice
    bool flat = true;                // every pixel the same colour
    Stats();
    void merge(const Stats& other);
};

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

// The pass's own facts, for the summary line: "F1 0.0213..1.27 mean 0.584,
// NaN 0%, no feature point 0%, off the view 0% of 262144 pixels" (an id
// pass counts its distinct ids, an offset pass gives each axis's range).
std::string pass_summary_line(const Passes& passes, const std::string& pass);

// Warnings worth a line of their own: no pixel found a feature point, or
// the pass is one flat value.
std::vector<std::string> pass_warnings(const Passes& passes, const std::string& pass);

// Shades every pixel of every cell on `threads` threads (the result does
// not depend on the count) and draws the captions and ticks. `done` counts
// finished tiles (out of count_tiles(layout)) as the work goes on.
Image render(const Options& options, const Layout& layout, const standin::ShaderLibrary& lib, int threads,
             std::atomic<long>* done, Stats* stats);

// The number of tiles render() will shade for `layout`.
long count_tiles(const Layout& layout);

// "R 0.1..0.9 mean 0.5, ... NaN 0%, alpha 0 2.1%, beyond the lattice 0%".
std::string summary_line(const Stats& stats);

// Warnings worth a line of their own: a flat image, mostly NaN.
std::vector<std::string> warnings(const Stats& stats);

}  // namespace preview

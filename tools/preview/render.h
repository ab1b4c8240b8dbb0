// Rendering a preview: the layout of one image or a contact sheet, and the
// tiled, multi-threaded shading of it through the loaded library.
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
    std::string label;
};

struct Layout {
    int width = 0, height = 0;
    std::vector<Cell> cells;
};

// Places the single view, or the sheet's grid of labelled cells.
Layout plan(const Options& options);

// Shades every pixel of every cell on `threads` threads (the result does
// not depend on the count) and draws the labels. `done` counts finished
// tiles (out of count_tiles(layout)) as the work goes on.
Image render(const Options& options, const Layout& layout, const standin::ShaderLibrary& lib, int threads,
             std::atomic<int>* done);

// The number of tiles render() will shade for `layout`.
int count_tiles(const Layout& layout);

}  // namespace preview

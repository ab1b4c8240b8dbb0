// Rendering a preview: the tiled, multi-threaded shading of a layout's
// cells through the loaded library, as a renderer calls it, with the
// captions and ticks drawn in, and the facts gathered on the way.
#pragma once

#include <atomic>

#include "standin/standin_renderer.h"
#include "tools/preview/image_io.h"
#include "tools/preview/layout.h"
#include "tools/preview/options.h"
#include "tools/preview/stats.h"

namespace preview {

// Shades every pixel of every cell on `threads` threads (the result does
// not depend on the count) and draws the captions and ticks. `done` counts
// finished tiles (out of count_tiles(layout)) as the work goes on.
Image render(const Options& options, const Layout& layout, const standin::ShaderLibrary& lib, int threads,
             std::atomic<long>* done, Stats* stats);

}  // namespace preview

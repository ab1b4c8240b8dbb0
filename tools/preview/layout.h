// Where a preview's picture goes: the layout of a single view or a contact
// sheet (labelled cells, a legend, the ticks of ramped parameters), the
// tiles the work on it is cut into, and the wrapping of label text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "standin/standin_renderer.h"
#include "tools/preview/font.h"
#include "tools/preview/options.h"

namespace preview {

// Text: a line of glyphs and its spacing.
constexpr int kLine = kGlyphHeight + 3;
// The ground of a picture where nothing is rendered, and the colour of
// labels, linear.
constexpr tulo::Color kSheetBackground{0.02f, 0.02f, 0.02f, 1.0f};
constexpr tulo::Color kLabelColor{0.8f, 0.8f, 0.8f, 1.0f};

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

// Square pieces of the cells, the unit of work handed to threads.
struct Tile {
    int cell, x0, y0, x1, y1;  // pixel range within the cell
};
std::vector<Tile> make_tiles(const Layout& layout);
long count_tiles(const Layout& layout);

// Text into lines no wider than `width` pixels, broken at spaces; a word
// too long for a line is broken across lines with a hyphen, never cut.
std::vector<std::string> wrap(const std::string& text, int width);

// Whether the options make `param` connected.
bool ramped(const Options& options, standin::Param param);

// Writes the value of `param` at position u in [0, 1] of from..to into the
// parameter's own representation at `out` (whole numbers rounded).
void ramp_value(standin::Param param, const std::vector<double>& from, const std::vector<double>& to, double u,
                void* out);

}  // namespace preview

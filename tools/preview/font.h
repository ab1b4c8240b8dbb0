// A 5x7 bitmap font for labels drawn into preview images.
#pragma once

#include <string>

namespace preview {

// Glyph cell size in pixels (5x7 glyph, one column and row of spacing).
constexpr int kGlyphAdvance = 6;
constexpr int kGlyphHeight = 7;

// Whether pixel (col, row) of character c is set; characters without a
// glyph (and lower case, which is drawn as upper case) are handled.
bool glyph_pixel(char c, int col, int row);

}  // namespace preview

// A 5x7 bitmap font for labels drawn into preview images.
#pragma once

#include <string>

#include "tools/preview/image_io.h"

namespace preview {

// Glyph cell size in pixels (5x7 glyph, one column and row of spacing).
constexpr int kGlyphAdvance = 6;
constexpr int kGlyphHeight = 7;

// Whether pixel (col, row) of character c is set; characters without a
// glyph (and lower case, which is drawn as upper case) are handled.
bool glyph_pixel(char c, int col, int row);

// Draws a line of text with its top left corner at (x0, y0) in `color`;
// what falls outside the image is left out.
void draw_text(Image& image, int x0, int y0, const std::string& text, const tulo::Color& color);

}  // namespace preview

// Grids of seamless tiles: where to put the pixel centres of a tile so that
// its values repeat bit for bit, one period on (docs/tiles.md).
//
// On a periodic lattice (cellular_basis.h, Lattice) the pattern repeats
// every period, but values at two points one period apart are equal bit for
// bit only where both points' arithmetic is exact. It is for the pixel
// centres tile_coordinates places: along one axis, `periods` periods of
// `period` cells each, `pixels` pixel centres a period, in world units. The
// centres lie at (j + 1/2) * period / pixels cells (rounded to float) past a
// start A = 2^e + 1 cells, e the smallest power with 2^e above
// 3.4 * kMaxTilePeriods * period + 6, so that every value the search forms
// lies in one binade; the centres of each next period are those of the one
// before moved by exactly one period, and each centre's world coordinate x
// is a float with fl(x * DENSITY_SCALE) equal to its cell position. The
// first period's centres do not depend on `periods`. The same holds at the
// texture's octaves (2^i x) while 2^(e + i) <= 2^22: for five octaves up to
// kMaxTilePeriod cells a period. Depth and axes without a period need no
// such care.
#pragma once

#include <cstdint>

namespace tulo {

// The largest period whose tiles are exact at five octaves, and the most
// periods one grid spans.
constexpr int32_t kMaxTilePeriod = 8192;
constexpr int32_t kMaxTilePeriods = 8;

// Fills out[0 .. periods * pixels) with the world coordinates of the pixel
// centres (see above): pixels at least 1, the period 1 to kMaxTilePeriod,
// periods 1 to kMaxTilePeriods; std::invalid_argument otherwise.
void tile_coordinates(int32_t pixels, int32_t period, int32_t periods, float* out);

}  // namespace tulo

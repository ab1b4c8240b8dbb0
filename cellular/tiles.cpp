// Grids of seamless tiles; see tiles.h and docs/tiles.md.
#include "cellular/tiles.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "cellular/cellular_basis.h"
#include "cellular/float_environment.h"

namespace tulo {
namespace {

float next_up(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    u = f >= 0.0f ? u + 1 : u - 1;
    std::memcpy(&f, &u, sizeof(f));
    return f;
}

float next_down(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    u = f > 0.0f ? u - 1 : u + 1;
    std::memcpy(&f, &u, sizeof(f));
    return f;
}

// A world coordinate x (a float) with fl(x * DENSITY_SCALE) == cell, for a
// positive cell in the first 0.59 of its binade, where the products of
// neighbouring floats x step by less than one unit of cell (docs/tiles.md).
float world_of(float cell) {
    float x = static_cast<float>(static_cast<double>(cell) / static_cast<double>(DENSITY_SCALE));
    for (int i = 0; i < 64 && x * DENSITY_SCALE != cell; ++i) x = x * DENSITY_SCALE < cell ? next_up(x) : next_down(x);
    if (x * DENSITY_SCALE != cell) throw std::logic_error("tile_coordinates: no float reaches a tile's cell position");
    return x;
}

// The centres, in the default floating-point environment.
TULO_GUARDED_WORK void place_centres(int32_t pixels, int32_t period, int32_t periods, float* out) {
    // The start: one cell into a binade wide enough for kMaxTilePeriods
    // periods and the neighbour cubes on either side, within the part of it
    // every float position is reached in; the same for any number of
    // periods, so that a grid of several starts with the single tile.
    const double span = static_cast<double>(period) * kMaxTilePeriods;
    int e = 0;
    while (std::ldexp(1.0, e) <= 3.4 * span + 6.0) ++e;
    const double start = std::ldexp(1.0, e) + 1.0;
    for (int32_t j = 0; j < pixels; ++j) {
        const float cell = static_cast<float>(start + (j + 0.5) * period / pixels);
        for (int32_t k = 0; k < periods; ++k) {
            // Exact: a whole number of cells added in a binade whose unit
            // divides it.
            out[static_cast<int64_t>(k) * pixels + j] =
                world_of(cell + static_cast<float>(static_cast<int64_t>(k) * period));
        }
    }
}

}  // namespace

void tile_coordinates(int32_t pixels, int32_t period, int32_t periods, float* out) {
    if (pixels < 1)
        throw std::invalid_argument("tile_coordinates: pixels must be at least 1, got " + std::to_string(pixels));
    if (period < 1 || period > kMaxTilePeriod) {
        throw std::invalid_argument("tile_coordinates: the period must lie in 1.." + std::to_string(kMaxTilePeriod) +
                                    " cells, got " + std::to_string(period));
    }
    if (periods < 1 || periods > kMaxTilePeriods) {
        throw std::invalid_argument("tile_coordinates: periods must lie in 1.." + std::to_string(kMaxTilePeriods) +
                                    ", got " + std::to_string(periods));
    }
    const DefaultFloatEnvironment environment;
    place_centres(pixels, period, periods, out);
}

}  // namespace tulo

// The sample points the benchmarks measure on, shared by shader_bench and
// the aarch64 instruction counts so that both see the same points.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "cellular/vector3.h"

namespace bench {

// `count` pseudo-random points (xorshift from `seed`) over [-half, half)^3.
inline std::vector<tulo::Vector3> random_points(uint32_t seed, int count, float half) {
    std::vector<tulo::Vector3> v;
    v.reserve(static_cast<std::size_t>(count));
    uint32_t s = seed;
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return static_cast<float>(s >> 8) * 0x1p-24f * (2.0f * half) - half;
    };
    for (int i = 0; i < count; ++i) {
        // Braced initialisers run left to right: x, y, z in turn.
        v.push_back({next(), next(), next()});
    }
    return v;
}

// The per-sample benchmarks' points: 4096 over [-64, 64)^3, about 50^3
// cubes of the lattice. A power of two, so that `i & (size - 1)` cycles.
inline std::vector<tulo::Vector3> sample_points() { return random_points(2463534242u, 4096, 64.0f); }

// The array benchmarks' random layout: a million points over [-100, 100)^3,
// many more than a branch predictor can learn.
inline std::vector<tulo::Vector3> many_points() { return random_points(88172645u, 1 << 20, 100.0f); }

// The array benchmarks' image slice: 256 rows of 1024 samples 0.05 apart at
// a fixed depth, as a preview or a baked pass visits them (about 20 samples
// per cube side).
constexpr int kSliceColumns = 1024;
constexpr int kSliceRows = 256;
inline std::vector<tulo::Vector3> slice_points() {
    std::vector<tulo::Vector3> v;
    v.reserve(static_cast<std::size_t>(kSliceRows) * kSliceColumns);
    for (int j = 0; j < kSliceRows; ++j)
        for (int i = 0; i < kSliceColumns; ++i)
            v.push_back({-25.6f + 0.05f * static_cast<float>(i), 1.0f + 0.05f * static_cast<float>(j), 0.37f});
    return v;
}

// A renderer's order: the pixel centres of a 500 x 400 image of a slice 40
// units wide at depth 0.37 (about 30 consecutive samples in one cell at
// octave 0), row after row (0), or 16 x 16 tile after tile, each row by row
// (1); or the visible points of a lit sphere of radius 18 filling the same
// image, row after row (2).
constexpr int kRenderWidth = 500;
constexpr int kRenderHeight = 400;
inline std::vector<tulo::Vector3> render_order(int order) {
    constexpr float kWidth = 40.0f, kTile = 16;
    auto slice_point = [](int x, int y) {
        const float step = kWidth / kRenderWidth;
        return tulo::Vector3{-20.0f + step * (static_cast<float>(x) + 0.5f),
                             16.0f - step * (static_cast<float>(y) + 0.5f), 0.37f};
    };
    std::vector<tulo::Vector3> v;
    if (order == 0) {
        for (int y = 0; y < kRenderHeight; ++y)
            for (int x = 0; x < kRenderWidth; ++x) v.push_back(slice_point(x, y));
    } else if (order == 1) {
        for (int ty = 0; ty < kRenderHeight; ty += static_cast<int>(kTile))
            for (int tx = 0; tx < kRenderWidth; tx += static_cast<int>(kTile))
                for (int y = ty; y < ty + kTile && y < kRenderHeight; ++y)
                    for (int x = tx; x < tx + kTile && x < kRenderWidth; ++x) v.push_back(slice_point(x, y));
    } else {
        const float radius = 18.0f, step = kWidth / kRenderWidth;
        for (int y = 0; y < kRenderHeight; ++y) {
            for (int x = 0; x < kRenderWidth; ++x) {
                const float px = -20.0f + step * (static_cast<float>(x) + 0.5f);
                const float py = 16.0f - step * (static_cast<float>(y) + 0.5f);
                const float d2 = px * px + py * py;
                if (d2 >= radius * radius) continue;
                v.push_back({px, py, 0.37f + std::sqrt(radius * radius - d2)});
            }
        }
    }
    return v;
}

}  // namespace bench

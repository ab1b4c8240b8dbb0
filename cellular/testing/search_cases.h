// Points and weights that tests search with, shared by the per-point kernel
// tests and the array tests: random points over many cubes, awkward
// weights, special and far coordinates, points on cube faces, edges and
// corners (exactly and one float either side), on feature points, midway
// between two, and points whose culling bound lies just below the value
// the search compares it with.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cellular/cellular_basis.h"
#include "cellular/lattice.h"

namespace tulo_test {

using tulo::DENSITY_SCALE;
using tulo::Vector3;

// A point and the weights to search it with.
struct Case {
    Vector3 p;
    Vector3 w;
};

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

// x with x * DENSITY_SCALE == target exactly, when there is one.
inline bool world_coordinate(float target, float* x) {
    float c = target / DENSITY_SCALE;
    for (int step = 0; step < 8; ++step) {
        const float scaled = c * DENSITY_SCALE;
        if (scaled == target) {
            *x = c;
            return true;
        }
        c = std::nextafter(c, scaled < target ? kInf : -kInf);
    }
    return false;
}

// Position (scaled) of point j of cube (cx, cy, cz): what an offset of 0
// from the point needs.
inline Vector3 feature_point(int32_t cx, int32_t cy, int32_t cz, int j) {
    using namespace tulo::lattice;
    uint32_t s = cube_hash(cx, cy, cz);
    for (int k = 0; k < 2 + 4 * j; ++k) s = advance(s);
    const float px = unit_coordinate(s);
    s = advance(s);
    const float py = unit_coordinate(s);
    s = advance(s);
    const float pz = unit_coordinate(s);
    return {static_cast<float>(cx) + px, static_cast<float>(cy) + py, static_cast<float>(cz) + pz};
}

inline const std::vector<Vector3>& awkward_weights() {
    static const std::vector<Vector3> w = {
        {1.0f, 1.0f, 1.0f},     {0.3f, 2.0f, 1.0f},       {2.0f, 2.0f, 2.0f},  {-1.0f, 1.0f, 1.0f},
        {0.0f, 0.0f, 1.0f},     {0.5f, 1.5f, 0.0f},       {kNaN, 1.0f, 1.0f},  {kInf, 1.0f, 1.0f},
        {-0.5f, 3.0f, 8.0f},    {1e-30f, 1e-30f, 1e-30f}, {2.5f, 0.75f, 1.0f}, {1e30f, 1.0f, 1.0f},
        {1e-45f, 1e-40f, 1.0f}, {3e38f, 3e38f, 3e38f},    {0.0f, 0.0f, 0.0f},  {-kInf, 1.0f, -0.0f},
    };
    return w;
}

inline std::vector<Case> cases() {
    std::vector<Case> out;
    std::mt19937 rng(31337);
    std::uniform_real_distribution<float> coord(-200.0f, 200.0f);
    for (const Vector3& w : awkward_weights()) {
        for (int i = 0; i < 150; ++i) out.push_back({{coord(rng), coord(rng), coord(rng)}, w});
    }
    // Beyond the lattice, special values, far but finite points.
    const float specials[] = {kNaN, kInf, -kInf, FLT_MAX, 1e30f, -6e9f, 5.3e9f, 1e7f, -0.0f, FLT_TRUE_MIN};
    for (float e : specials) {
        out.push_back({{e, 1.5f, -2.0f}, {1.0f, 1.0f, 1.0f}});
        out.push_back({{0.5f, e, 3.0f}, {0.3f, 2.0f, 1.0f}});
        out.push_back({{e, e, e}, {2.0f, 2.0f, 2.0f}});
    }
    // Far along one axis (scaled, a whole number of 2^24 or more, where the
    // cube corners round, some to the point's own coordinate: a neighbour
    // can then have a floor of 0 but a culling bound of 1) and anywhere
    // along the other two; in runs of 24 alike cases, so that arrays take
    // them in whole vectors.
    for (float far : {0x1p24f, 0x1p24f + 2.0f, 0x1p25f + 4.0f, 1e8f}) {
        for (int axis = 0; axis < 3; ++axis) {
            for (const Vector3& w : {Vector3{1.0f, 1.0f, 1.0f}, Vector3{2.0f, 1.0f, 3.0f}}) {
                for (int i = 0; i < 24; ++i) {
                    float p[3] = {coord(rng), coord(rng), coord(rng)};
                    p[axis] = (i % 2 == 0 ? far : -far) / DENSITY_SCALE;
                    out.push_back({{p[0], p[1], p[2]}, w});
                }
            }
        }
    }
    // On cube faces, edges and corners (scaled coordinates whole numbers),
    // and one float either side of them.
    for (int i = -3; i <= 3; ++i) {
        const float whole = static_cast<float>(i);
        for (float target : {whole, std::nextafter(whole, -kInf), std::nextafter(whole, kInf)}) {
            float x;
            if (!world_coordinate(target, &x)) continue;
            out.push_back({{x, 0.7f, -1.3f}, {1.0f, 1.0f, 1.0f}});
            out.push_back({{x, x, 0.25f}, {0.5f, 1.0f, 2.0f}});
            out.push_back({{x, x, x}, {1.0f, 1.0f, 1.0f}});
            out.push_back({{-x, x, -x}, {0.3f, 2.0f, 1.0f}});
        }
    }
    // Exactly on feature points: a distance of 0, whose sign needs the
    // sequential order.
    for (int32_t c = -2; c <= 2; ++c) {
        for (int j = 0; j < 2; ++j) {
            const Vector3 f = feature_point(c, 1 - c, c * 2, j);
            Vector3 p;
            if (world_coordinate(f.x, &p.x) && world_coordinate(f.y, &p.y) && world_coordinate(f.z, &p.z)) {
                for (const Vector3& w :
                     {Vector3{1.0f, 1.0f, 1.0f}, Vector3{-1.0f, 1.0f, -1.0f}, Vector3{0.0f, 0.0f, 2.0f}})
                    out.push_back({p, w});
            }
        }
    }
    // Near ties: halfway between two points of a cube, so that the two are
    // almost equally near (for Minkowski, shifted by -w so that d - w is).
    std::uniform_int_distribution<int32_t> cube(-40, 40);
    for (int i = 0; i < 150; ++i) {
        const int32_t cx = cube(rng), cy = cube(rng), cz = cube(rng);
        const Vector3 a = feature_point(cx, cy, cz, 0), b = feature_point(cx, cy, cz, 1);
        const Vector3 mid{(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f, (a.z + b.z) * 0.5f};
        for (const Vector3& w : {Vector3{1.0f, 1.0f, 1.0f}, Vector3{2.0f, 2.0f, 2.0f}, Vector3{0.3f, 2.0f, 1.0f}}) {
            out.push_back({{mid.x / DENSITY_SCALE, mid.y / DENSITY_SCALE, mid.z / DENSITY_SCALE}, w});
            out.push_back(
                {{(mid.x - w.x) / DENSITY_SCALE, (mid.y - w.y) / DENSITY_SCALE, (mid.z - w.z) / DENSITY_SCALE}, w});
        }
    }
    return out;
}

// Points where the second value kept after the point's own cube is the
// float just above the bound of the first neighbour, (x - 1, y, z): the
// search compares the value with the bound in double precision and must
// visit that cube, which holds a nearer point; a bound rounded to the
// nearest float instead of down equals the value and skips it. With weights
// (0, 1, 1) the values of metrics 1-3 do not depend on x, so x alone places
// the bound. `metric` is 1, 2 or 3.
inline std::vector<Case> threshold_cases(int32_t metric_number, int wanted) {
    const tulo::DistType* metric = &tulo::metric_by_number(metric_number);
    const Vector3 w{0.0f, 1.0f, 1.0f};
    std::vector<Case> out;
    std::mt19937 rng(4242 + static_cast<unsigned>(metric_number));
    std::uniform_real_distribution<float> coord(-30.0f, 30.0f);
    for (int attempt = 0; attempt < 200000 && static_cast<int>(out.size()) < wanted; ++attempt) {
        // The own cube has x = 0, so that the scaled x is the face offset itself.
        const float y = coord(rng), z = coord(rng);
        Vector3 at{0.5f, y * DENSITY_SCALE, z * DENSITY_SCALE};
        const int32_t iy = static_cast<int32_t>(std::floor(at.y)), iz = static_cast<int32_t>(std::floor(at.z));
        float own[2] = {tulo::FAR_DISTANCE, tulo::FAR_DISTANCE};
        tulo::add_cube_points(metric, &w, 0, iy, iz, 2, at, own, nullptr, nullptr);
        const float v = own[1];
        if (!(v > 0.0f && v < 1.0f)) continue;
        // fx with fx^2 (exact in double) below v but rounding to v.
        float fx = std::sqrt(v);
        bool found = false;
        for (int k = 0; k < 4 && !found; ++k) {
            const double bound = static_cast<double>(fx) * fx;
            found = bound < v && static_cast<float>(bound) == v;
            if (!found) fx = std::nextafter(fx, 0.0f);
        }
        if (!found) continue;
        float x;
        if (!world_coordinate(fx, &x)) continue;
        at.x = fx;
        // The first neighbour must hold a point that the visit keeps.
        float next[1] = {tulo::FAR_DISTANCE};
        tulo::add_cube_points(metric, &w, -1, iy, iz, 1, at, next, nullptr, nullptr);
        if (!(next[0] < v)) continue;
        out.push_back({{x, y, z}, w});
    }
    return out;
}

}  // namespace tulo_test

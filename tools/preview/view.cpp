// Sample points of views; see the header.
#include "tools/preview/view.h"

#include <algorithm>
#include <cmath>

#include "cellular/cellular_basis.h"

namespace preview {
namespace {

Vec3 normalised(const Vec3& v) {
    const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / n, v.y / n, v.z / n};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace

Frame slice_frame(const Options& o) {
    const Vec3 n = normalised(o.normal);
    const Vec3 right = normalised(cross(o.up, n));
    return {right, cross(n, right)};
}

bool beyond_lattice(float x, float y, float z, int octaves) {
    for (int i = 0; i <= octaves; ++i) {
        for (float c : {x, y, z}) {
            const float floor = std::floor(c * tulo::DENSITY_SCALE);
            if (!(floor >= -2147483648.0f && floor < 2147483648.0f)) return true;
        }
        x *= 2.0f, y *= 2.0f, z *= 2.0f;
    }
    return false;
}

bool point_at(const Options& o, const Frame& frame, const Cell& cell, double fx, double fy, float* out_x, float* out_y,
              float* out_z, double* out_light) {
    const double w = cell.width, h = cell.height;
    const double ox = (fx / w - 0.5) * o.scale;
    const double oy = (0.5 - fy / h) * o.scale * h / w;
    float px, py, pz;
    double light = 1.0;
    if (o.tile) {
        // One period: column and row centres from the tile's rule.
        const size_t ix = std::min(o.tile_x.size() - 1, static_cast<size_t>(std::max(0.0, fx)));
        const size_t iy = std::min(o.tile_y.size() - 1, static_cast<size_t>(std::max(0.0, fy)));
        px = o.tile_x[ix], py = o.tile_y[iy], pz = static_cast<float>(o.depth);
    } else if (o.view == View::slice) {
        if (!o.oriented) {
            px = static_cast<float>(o.center_x + ox), py = static_cast<float>(o.center_y + oy);
            pz = static_cast<float>(o.depth);
        } else {
            px = static_cast<float>(o.center_x + ox * frame.right.x + oy * frame.up.x);
            py = static_cast<float>(o.center_y + ox * frame.right.y + oy * frame.up.y);
            pz = static_cast<float>(o.depth + ox * frame.right.z + oy * frame.up.z);
        }
    } else {
        const double radius = 0.45 * o.scale * std::min(w, h) / w;
        const double nx = ox / radius, ny = oy / radius, d2 = nx * nx + ny * ny;
        if (d2 > 1.0) return false;
        const double nz = std::sqrt(1.0 - d2);
        px = static_cast<float>(o.center_x + radius * nx), py = static_cast<float>(o.center_y + radius * ny);
        pz = static_cast<float>(o.depth + radius * nz);
        // Lambert lighting from the upper left, with some ambient light.
        const double lx = -0.45, ly = 0.55, lz = 0.70, ll = std::sqrt(lx * lx + ly * ly + lz * lz);
        light = 0.15 + 0.85 * std::max(0.0, (nx * lx + ny * ly + nz * lz) / ll);
    }
    *out_x = px, *out_y = py, *out_z = pz, *out_light = light;
    return true;
}

}  // namespace preview

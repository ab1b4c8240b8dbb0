// The literal baseline; see the header.
#include "bench/literal_basis.h"

#include <cmath>

#include "cellular/cellular_basis.h"

namespace literal {
namespace {

// Neighbour cubes in visiting order, with the terms of each bound:
// 0 none, 1 dx2, 2 mx2, 3 dy2, 4 my2, 5 dz2, 6 mz2; summed left to right.
struct Neighbour {
    int dx, dy, dz;
    int terms[3];
};

const Neighbour kNeighbours[26] = {
    {-1, 0, 0, {1, 0, 0}},  {0, -1, 0, {3, 0, 0}},  {0, 0, -1, {5, 0, 0}},
    {1, 0, 0, {2, 0, 0}},   {0, 1, 0, {4, 0, 0}},   {0, 0, 1, {6, 0, 0}},
    {-1, -1, 0, {3, 1, 0}}, {-1, 0, -1, {5, 1, 0}}, {0, -1, -1, {5, 3, 0}},
    {1, 1, 0, {4, 2, 0}},   {1, 0, 1, {6, 2, 0}},   {0, 1, 1, {6, 4, 0}},
    {-1, 1, 0, {4, 1, 0}},  {-1, 0, 1, {6, 1, 0}},  {0, -1, 1, {6, 3, 0}},
    {1, -1, 0, {2, 3, 0}},  {1, 0, -1, {2, 5, 0}},  {0, 1, -1, {4, 5, 0}},
    {-1, -1, -1, {3, 1, 5}}, {-1, -1, 1, {3, 1, 6}}, {-1, 1, -1, {4, 1, 5}},
    {-1, 1, 1, {4, 1, 6}},  {1, -1, -1, {2, 3, 5}}, {1, -1, 1, {2, 3, 6}},
    {1, 1, -1, {4, 2, 5}},  {1, 1, 1, {4, 2, 6}},
};

int32_t to_cube(float f) {
    const float floored = std::floor(f);
    if (floored >= -2147483648.0f && floored < 2147483648.0f) return static_cast<int32_t>(floored);
    return INT32_MIN;
}

int32_t wrap(int32_t a, int b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }

void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy, int32_t cz,
                     int32_t N, const Vector3& at, float* F, Vector3* delta, uint32_t* ID, Counts* counts) {
    if (counts) ++counts->cubes;
    uint32_t seed = 702395077u * static_cast<uint32_t>(cx) + 915488749u * static_cast<uint32_t>(cy) +
                    2120969693u * static_cast<uint32_t>(cz);
    const int32_t n = tulo::cube_point_counts[seed >> 24];
    seed = 1402024253u * seed + 586950981u;
    for (int32_t j = 0; j < n; ++j) {
        const uint32_t id = seed;
        seed = 1402024253u * seed + 586950981u;
        const float px = (static_cast<float>(seed) + 0.5f) * (1.0f / 4294967296.0f);
        seed = 1402024253u * seed + 586950981u;
        const float py = (static_cast<float>(seed) + 0.5f) * (1.0f / 4294967296.0f);
        seed = 1402024253u * seed + 586950981u;
        const float pz = (static_cast<float>(seed) + 0.5f) * (1.0f / 4294967296.0f);
        seed = 1402024253u * seed + 586950981u;
        Vector3 d;
        d.x = (static_cast<float>(cx) + px) - at.x;
        d.y = (static_cast<float>(cy) + py) - at.y;
        d.z = (static_cast<float>(cz) + pz) - at.z;
        const float dist = metric->Distance(d, *weights);
        if (counts) ++counts->evaluations;
        if (F[N - 1] > dist) {
            int32_t k = N;
            while (k > 0 && F[k - 1] > dist) --k;
            for (int32_t i = N - 1; i > k; --i) {
                F[i] = F[i - 1];
                if (ID) ID[i] = ID[i - 1];
                if (delta) delta[i] = delta[i - 1];
            }
            F[k] = dist;
            if (ID) ID[k] = id;
            if (delta) delta[k] = d;
        }
    }
}

}  // namespace

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N,
                    float* F, Vector3* delta, uint32_t* ID, Counts* counts) {
    for (int32_t i = 0; i < N; ++i) F[i] = tulo::FAR_DISTANCE;
    const Vector3 at{x * tulo::DENSITY_SCALE, y * tulo::DENSITY_SCALE, z * tulo::DENSITY_SCALE};
    const int32_t ix = to_cube(at.x), iy = to_cube(at.y), iz = to_cube(at.z);
    add_cube_points(metric, weights, ix, iy, iz, N, at, F, delta, ID, counts);
    for (const Neighbour& nb : kNeighbours) {
        const float fx = at.x - static_cast<float>(ix);
        const float fy = at.y - static_cast<float>(iy);
        const float fz = at.z - static_cast<float>(iz);
        const double face[7] = {0.0,
                                static_cast<double>(fx) * fx,
                                (1.0 - fx) * (1.0 - fx),
                                static_cast<double>(fy) * fy,
                                (1.0 - fy) * (1.0 - fy),
                                static_cast<double>(fz) * fz,
                                (1.0 - fz) * (1.0 - fz)};
        double bound = face[nb.terms[0]];
        if (nb.terms[1] != 0) bound = bound + face[nb.terms[1]];
        if (nb.terms[2] != 0) bound = bound + face[nb.terms[2]];
        if (static_cast<double>(F[N - 1]) > bound) {
            add_cube_points(metric, weights, wrap(ix, nb.dx), wrap(iy, nb.dy), wrap(iz, nb.dz), N, at, F, delta,
                            ID, counts);
        }
    }
    for (int32_t i = 0; i < N; ++i) {
        F[i] = std::sqrt(F[i]) * tulo::DENSITY_UNSCALE;
        if (delta) {
            delta[i].x = delta[i].x * tulo::DENSITY_UNSCALE;
            delta[i].y = delta[i].y * tulo::DENSITY_UNSCALE;
            delta[i].z = delta[i].z * tulo::DENSITY_UNSCALE;
        }
    }
}

tulo::Color shade(const tulo::CellularTextureParams& params, const Vector3& point, tulo::Color result,
                  Counts* counts) {
    const tulo::Color color1 = params.color1;
    const tulo::Color color2 = params.color2;
    int32_t m = params.metric;
    if (m < 1) m = 1;
    if (m > 5) m = 5;
    const DistType* metric = &tulo::metric_by_number(m);
    Vector3 w = params.weights;
    if (w.x == 0.0f && w.y == 0.0f && w.z == 0.0f) w = {1.0f, 1.0f, 1.0f};
    float x = point.x, y = point.y, z = point.z;
    float F[2];
    cellular_basis(metric, &w, x, y, z, 2, F, nullptr, nullptr, counts);
    float t = F[1] - F[0];
    int32_t n = params.octaves;
    if (n < 0) n = 0;
    if (n > 5) n = 5;
    float a = 0.5f;
    for (int32_t i = 1; i <= n; ++i) {
        x = x * 2.0f;
        y = y * 2.0f;
        z = z * 2.0f;
        cellular_basis(metric, &w, x, y, z, 2, F, nullptr, nullptr, counts);
        const float p = (F[1] - F[0]) * a;
        a = a * 0.5f;
        t = t + p;
    }
    float k = params.gain;
    if (k > 0.0f) k = 1.0f / k;
    if (t > k) {
        result.r = result.g = result.b = result.a = 0.0f;
        t = 0.0f;
    } else {
        t = t / k;
    }
    const float s = 1.0f - t;
    result.r = color2.r * s + color1.r * t;
    result.g = color2.g * s + color1.g * t;
    result.b = color2.b * s + color1.b * t;
    return result;
}

}  // namespace literal

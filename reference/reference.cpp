// The sequential reference; see the header.
#include "reference/reference.h"

#include <cmath>
#include <cstring>

#include "cellular/lattice.h"

namespace reference {
namespace {

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof(f));
    return f;
}

// The constants, from their stored bits.
const float kFarDistance = from_bits(0x497423FEu);     // 999999.875
const float kDensityScale = from_bits(0x3ECBDA51u);    // 0.39815
const float kDensityUnscale = from_bits(0x4020BE52u);  // 2.5116162
const float kUnfilledOffset = from_bits(0x7FC00000u);  // the quiet NaN of unfilled offsets
const float kPointScale = from_bits(0x2F800000u);      // 2^-32
const float kPointOffset = from_bits(0x3F000000u);     // 0.5

uint32_t next_seed(uint32_t seed) { return 1402024253u * seed + 586950981u; }

float coordinate(uint32_t seed) { return (static_cast<float>(seed) + kPointOffset) * kPointScale; }

// floorf as a cube coordinate; the most negative integer where floorf leaves
// the 32-bit range or is not a number.
int32_t cube_of(float scaled) {
    const float f = std::floor(scaled);
    if (!(f >= -2147483648.0f && f <= 2147483520.0f)) return INT32_MIN;
    return static_cast<int32_t>(f);
}

// c + step with 32-bit wrap-around.
int32_t neighbour(int32_t c, int step) {
    return static_cast<int32_t>(static_cast<uint32_t>(c) + static_cast<uint32_t>(step));
}

// Inserts dist (with its id and offset) into the ascending arrays when it is
// below the last entry: after every entry it does not undercut.
void insert(float dist, uint32_t id, const Vector3& d, int32_t N, float* F, Vector3* delta, uint32_t* ID) {
    if (!(dist < F[N - 1])) return;
    int32_t at = 0;
    while (!(dist < F[at])) ++at;
    for (int32_t i = N - 1; i > at; --i) {
        F[i] = F[i - 1];
        if (delta != nullptr) delta[i] = delta[i - 1];
        if (ID != nullptr) ID[i] = ID[i - 1];
    }
    F[at] = dist;
    if (delta != nullptr) delta[at] = d;
    if (ID != nullptr) ID[at] = id;
}

// A cube's hash from the coordinates that choose its points.
uint32_t hash_of(int64_t hx, int64_t hy, int64_t hz) {
    return 702395077u * static_cast<uint32_t>(hx) + 915488749u * static_cast<uint32_t>(hy) +
           2120969693u * static_cast<uint32_t>(hz);
}

// MurmurHash3's 32-bit finaliser: a seed's key, and the scrambling of a
// seeded lattice's hashes.
uint32_t key_of(uint32_t s) {
    s = (s ^ (s >> 16)) * 0x85EBCA6Bu;
    s = (s ^ (s >> 13)) * 0xC2B2AE35u;
    return s ^ (s >> 16);
}

// The coordinate that chooses the points of the cube step cells from c:
// wrapped into [0, period) with a period, else c + step with 32-bit
// wrap-around.
int64_t choosing(int32_t c, int step, int32_t period) {
    if (period == 0) return neighbour(c, step);
    int64_t v = (static_cast<int64_t>(c) + step) % period;
    if (v < 0) v += period;
    return v;
}

// The hash of the cube step (dx, dy, dz) from (ix, iy, iz).
// Seeds other than 0 scramble the hash, xored with the seed's key, by the
// same finaliser.
uint32_t hash_at(const tulo::Lattice* lattice, int32_t ix, int32_t iy, int32_t iz, int dx, int dy, int dz) {
    if (lattice == nullptr) return hash_of(neighbour(ix, dx), neighbour(iy, dy), neighbour(iz, dz));
    const uint32_t h = hash_of(choosing(ix, dx, lattice->period[0]), choosing(iy, dy, lattice->period[1]),
                               choosing(iz, dz, lattice->period[2]));
    return lattice->seed == 0 ? h : key_of(h ^ key_of(lattice->seed));
}

void cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy, int32_t cz, uint32_t hash,
                 const Vector3& at, int32_t N, float* F, Vector3* delta, uint32_t* ID, Counts* counts) {
    if (counts != nullptr) ++counts->cubes;
    uint32_t seed = hash;
    const int32_t n = tulo::cube_point_counts[seed >> 24];
    seed = next_seed(seed);
    for (int32_t j = 0; j < n; ++j) {
        const uint32_t id = seed;
        seed = next_seed(seed);
        const float px = coordinate(seed);
        seed = next_seed(seed);
        const float py = coordinate(seed);
        seed = next_seed(seed);
        const float pz = coordinate(seed);
        seed = next_seed(seed);
        const Vector3 d{(static_cast<float>(cx) + px) - at.x, (static_cast<float>(cy) + py) - at.y,
                        (static_cast<float>(cz) + pz) - at.z};
        const float dist = metric->Distance(d, *weights);
        if (counts != nullptr) ++counts->evaluations;
        insert(dist, id, d, N, F, delta, ID);
    }
}

// The neighbour cubes in visiting order, each with the terms of its bound,
// summed left to right: 1 fx^2, 2 (1 - fx)^2, 3 fy^2, 4 (1 - fy)^2, 5 fz^2,
// 6 (1 - fz)^2; 0 ends the sum.
struct Neighbour {
    int dx, dy, dz;
    int terms[3];
};

const Neighbour kNeighbours[26] = {
    {-1, 0, 0, {1, 0, 0}},  {0, -1, 0, {3, 0, 0}}, {0, 0, -1, {5, 0, 0}},   {1, 0, 0, {2, 0, 0}},
    {0, 1, 0, {4, 0, 0}},   {0, 0, 1, {6, 0, 0}},  {-1, -1, 0, {3, 1, 0}},  {-1, 0, -1, {5, 1, 0}},
    {0, -1, -1, {5, 3, 0}}, {1, 1, 0, {4, 2, 0}},  {1, 0, 1, {6, 2, 0}},    {0, 1, 1, {6, 4, 0}},
    {-1, 1, 0, {4, 1, 0}},  {-1, 0, 1, {6, 1, 0}}, {0, -1, 1, {6, 3, 0}},   {1, -1, 0, {2, 3, 0}},
    {1, 0, -1, {2, 5, 0}},  {0, 1, -1, {4, 5, 0}}, {-1, -1, -1, {3, 1, 5}}, {-1, -1, 1, {3, 1, 6}},
    {-1, 1, -1, {4, 1, 5}}, {-1, 1, 1, {4, 1, 6}}, {1, -1, -1, {2, 3, 5}},  {1, -1, 1, {2, 3, 6}},
    {1, 1, -1, {4, 2, 5}},  {1, 1, 1, {4, 2, 6}},
};

}  // namespace

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID, Counts* counts, Culling culling, const tulo::Lattice* lattice) {
    for (int32_t i = 0; i < N; ++i) {
        F[i] = kFarDistance;
        // Slots no candidate fills keep these: a NaN offset, id 0.
        if (delta != nullptr) delta[i] = Vector3{kUnfilledOffset, kUnfilledOffset, kUnfilledOffset};
        if (ID != nullptr) ID[i] = 0u;
    }
    const Vector3 at{x * kDensityScale, y * kDensityScale, z * kDensityScale};
    const int32_t ix = cube_of(at.x), iy = cube_of(at.y), iz = cube_of(at.z);
    cube_points(metric, weights, ix, iy, iz, hash_at(lattice, ix, iy, iz, 0, 0, 0), at, N, F, delta, ID, counts);

    // Squared distances (double precision) to the faces of the point's cube.
    const double fx = at.x - static_cast<float>(ix);
    const double fy = at.y - static_cast<float>(iy);
    const double fz = at.z - static_cast<float>(iz);
    const double face[7] = {
        0.0, fx * fx, (1.0 - fx) * (1.0 - fx), fy * fy, (1.0 - fy) * (1.0 - fy), fz * fz, (1.0 - fz) * (1.0 - fz)};
    for (const Neighbour& nb : kNeighbours) {
        double bound = face[nb.terms[0]];
        for (int k = 1; k < 3 && nb.terms[k] != 0; ++k) bound = bound + face[nb.terms[k]];
        if (culling == Culling::none || static_cast<double>(F[N - 1]) > bound) {
            cube_points(metric, weights, neighbour(ix, nb.dx), neighbour(iy, nb.dy), neighbour(iz, nb.dz),
                        hash_at(lattice, ix, iy, iz, nb.dx, nb.dy, nb.dz), at, N, F, delta, ID, counts);
        }
    }

    for (int32_t i = 0; i < N; ++i) {
        F[i] = std::sqrt(F[i]) * kDensityUnscale;
        if (delta != nullptr) {
            delta[i].x = delta[i].x * kDensityUnscale;
            delta[i].y = delta[i].y * kDensityUnscale;
            delta[i].z = delta[i].z * kDensityUnscale;
        }
    }
}

tulo::Color shade(const tulo::CellularTextureParams& params, const Vector3& point, tulo::Color result, Counts* counts) {
    const tulo::Color color1 = params.color1;
    const tulo::Color color2 = params.color2;
    const int32_t m = params.metric < 1 ? 1 : params.metric > 5 ? 5 : params.metric;
    const DistType* metric = &tulo::metric_by_number(m);
    Vector3 w = params.weights;
    if (w.x == 0.0f && w.y == 0.0f && w.z == 0.0f) w = Vector3{1.0f, 1.0f, 1.0f};

    float x = point.x, y = point.y, z = point.z;
    float F[2];
    cellular_basis(metric, &w, x, y, z, 2, F, nullptr, nullptr, counts);
    float t = F[1] - F[0];
    const int32_t n = params.octaves < 0 ? 0 : params.octaves > 5 ? 5 : params.octaves;
    float a = 0.5f;
    for (int32_t i = 1; i <= n; ++i) {
        x = x * 2.0f;
        y = y * 2.0f;
        z = z * 2.0f;
        cellular_basis(metric, &w, x, y, z, 2, F, nullptr, nullptr, counts);
        const float share = (F[1] - F[0]) * a;
        a = a * 0.5f;
        t = t + share;
    }

    float k = params.gain;
    if (k > 0.0f) k = 1.0f / k;
    if (t > k) {
        result = tulo::Color{0.0f, 0.0f, 0.0f, 0.0f};
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

}  // namespace reference

// The lattice of feature points behind the cellular basis: how a cube's
// hash, point count and points follow from its integer coordinates, and the
// per-cube step of the search. Internal to the library and its tests; the
// contract is cellular_basis.h.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "cellular/cellular_basis.h"
#include "cellular/float_environment.h"
#include "cellular/scalar_math.h"

namespace tulo {

// Number of feature points in a cube, indexed by the top 8 bits of its hash:
// 6 zeros, 41 ones, 92 twos, 55 threes, 35 fours and 27 fives.
inline constexpr int32_t cube_point_counts[256] = {
    4, 3, 1, 1, 1, 2, 4, 2, 2, 2, 5, 1, 0, 2, 1, 2,  //   0- 15
    2, 0, 4, 3, 2, 1, 2, 1, 3, 2, 2, 4, 2, 2, 5, 1,  //  16- 31
    2, 3, 2, 2, 2, 2, 2, 3, 2, 4, 2, 5, 3, 2, 2, 2,  //  32- 47
    5, 3, 3, 5, 2, 1, 3, 3, 4, 4, 2, 3, 0, 4, 2, 2,  //  48- 63
    2, 1, 3, 2, 2, 2, 3, 3, 3, 1, 2, 0, 2, 1, 1, 2,  //  64- 79
    2, 2, 2, 5, 3, 2, 3, 2, 3, 2, 2, 1, 0, 2, 1, 1,  //  80- 95
    2, 1, 2, 2, 1, 3, 4, 2, 2, 2, 5, 4, 2, 4, 2, 2,  //  96-111
    5, 4, 3, 2, 2, 5, 4, 3, 3, 3, 5, 2, 2, 2, 2, 2,  // 112-127
    3, 1, 1, 4, 2, 1, 3, 3, 4, 3, 2, 4, 3, 3, 3, 4,  // 128-143
    5, 1, 4, 2, 4, 3, 1, 2, 3, 5, 3, 2, 1, 3, 1, 3,  // 144-159
    3, 3, 2, 3, 1, 5, 5, 4, 2, 2, 4, 1, 3, 4, 1, 5,  // 160-175
    3, 3, 5, 3, 4, 3, 2, 2, 1, 1, 1, 1, 1, 2, 4, 5,  // 176-191
    4, 5, 4, 2, 1, 5, 1, 1, 2, 3, 3, 3, 2, 5, 2, 3,  // 192-207
    3, 2, 0, 2, 1, 1, 4, 2, 1, 3, 2, 1, 2, 2, 3, 2,  // 208-223
    5, 5, 3, 4, 5, 5, 2, 4, 4, 5, 3, 2, 2, 2, 1, 4,  // 224-239
    2, 3, 3, 4, 2, 5, 4, 2, 4, 2, 2, 2, 4, 5, 3, 2,  // 240-255
};

// The per-cube step of cellular_basis: generates the feature points of cube
// (cx, cy, cz) and inserts those nearer to the scaled point `at` than F[N-1]
// into F, delta and ID (N >= 1). Tests call it to see one cube's points.
void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy, int32_t cz, int32_t N,
                     const Vector3& at, float* F, Vector3* delta, uint32_t* ID);

namespace lattice {
struct LatticeHash;
}

namespace detail {
// cellular_basis without its checks, in the calling thread's floating-point
// environment, on the plugin's lattice (lattice null) or another: the
// arrays' per-point path and the guarded entry's work.
TULO_GUARDED_WORK void point_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N,
                                   float* F, Vector3* delta, uint32_t* ID,
                                   const lattice::LatticeHash* lattice = nullptr);

// The computation behind cellular_basis_batch for points[0..count), in the
// calling thread's floating-point environment: the points-in-lanes kernel
// where there is one for the case, else cellular_basis point by point.
TULO_GUARDED_WORK void basis_points(const DistType* metric, const Vector3* weights, const Vector3* points,
                                    std::size_t count, int32_t N, float* F, Vector3* delta, uint32_t* ID,
                                    const lattice::LatticeHash* lattice = nullptr);

// The checks of a Lattice argument (periods in 0..kMaxPeriod), naming `entry`.
void check_lattice(const char* entry, const Lattice& lattice);

// Whether a Lattice is the plugin's (no period, seed 0).
bool is_plugin_lattice(const Lattice& lattice);

// basis_points with N = 2 for the few points of one sample (its octaves):
// the search specialised for the metric and weights, called directly,
// without the array entry's general checks.
TULO_GUARDED_WORK void sample_basis(const DistType* metric, const Vector3* weights, const Vector3* points, int count,
                                    float* F);
}  // namespace detail

namespace lattice {

// A lattice other than the plugin's (cellular_basis.h, Lattice) as the
// searches hash it: the periods (0: none) and the seed's key (0 for seed 0;
// see lattice_cube_hash).
struct LatticeHash {
    uint32_t period[3];
    uint32_t key;
};

// Hash multipliers of the cube coordinates (unsigned 32-bit, wrap-around).
constexpr uint32_t kHashX = 702395077u;
constexpr uint32_t kHashY = 915488749u;
constexpr uint32_t kHashZ = 2120969693u;

// The linear congruential generator that places a cube's points:
// seed <- kGenMul * seed + kGenAdd (mod 2^32).
constexpr uint32_t kGenMul = 1402024253u;
constexpr uint32_t kGenAdd = 586950981u;

// A generator state s maps to the coordinate (float(s) + kPointOffset) * kPointScale,
// which lies in (0, 1]: 2^-33 for s = 0, exactly 1.0 once s rounds up to 2^32.
constexpr float kPointScale = 0x1p-32f;
constexpr float kPointOffset = 0.5f;

// Every feature point consumes this many generator steps (its id, then x, y, z).
constexpr int kStepsPerPoint = 4;

// Most points a cube can hold (the largest entry of cube_point_counts).
constexpr int kMaxPointsPerCube = 5;
static_assert(kMaxCandidates == 27 * kMaxPointsPerCube, "the candidates of 27 cubes");

// Functions with internal linkage: every translation unit, compiled for its
// own instruction set, keeps its own copy (docs/search.md, invariant 16).
namespace {

inline uint32_t cube_hash(int32_t cx, int32_t cy, int32_t cz) {
    return kHashX * static_cast<uint32_t>(cx) + kHashY * static_cast<uint32_t>(cy) + kHashZ * static_cast<uint32_t>(cz);
}

inline uint32_t advance(uint32_t seed) { return kGenMul * seed + kGenAdd; }

// Generator steps composed in closed form (invariant 12): k steps from s give
// mul[k] * s + add[k] (mod 2^32).
constexpr int kMaxSteps = 1 + kStepsPerPoint * kMaxPointsPerCube;

struct ComposedSteps {
    uint32_t mul[kMaxSteps + 1];
    uint32_t add[kMaxSteps + 1];
};

constexpr ComposedSteps compose_steps() {
    ComposedSteps s{};
    s.mul[0] = 1u;
    s.add[0] = 0u;
    for (int k = 1; k <= kMaxSteps; ++k) {
        s.mul[k] = kGenMul * s.mul[k - 1];
        s.add[k] = kGenMul * s.add[k - 1] + kGenAdd;
    }
    return s;
}

constexpr ComposedSteps kSteps = compose_steps();

inline uint32_t after_steps(uint32_t seed, int k) { return kSteps.mul[k] * seed + kSteps.add[k]; }

// The id of point j of a cube: the state 1 + 4j steps after its hash.
inline uint32_t point_id(uint32_t hash, int j) { return after_steps(hash, 1 + kStepsPerPoint * j); }

inline float unit_coordinate(uint32_t seed) { return (static_cast<float>(seed) + kPointOffset) * kPointScale; }

// Cube coordinate of a scaled coordinate: floorf as a signed 32-bit integer,
// or INT32_MIN when the floor is NaN, infinite or outside the 32-bit range
// (where a plain conversion would be undefined behaviour).
inline int32_t cube_coordinate(float scaled) {
    const float f = detail::floor_f(scaled);
    if (f >= -2147483648.0f && f < 2147483648.0f) return static_cast<int32_t>(f);
    return INT32_MIN;
}

// A bijection of the 32-bit words that keeps 0 and spreads every bit over
// the word (the finaliser of MurmurHash3).
inline uint32_t scramble(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

// A seed's key: scrambled, so that near seeds get unrelated keys.
inline uint32_t seed_key(uint32_t seed) { return scramble(seed); }

inline LatticeHash lattice_hash(const Lattice& l) {
    return LatticeHash{
        {static_cast<uint32_t>(l.period[0]), static_cast<uint32_t>(l.period[1]), static_cast<uint32_t>(l.period[2])},
        seed_key(l.seed)};
}

// The coordinate that chooses the points of the cube `step` cells from
// cell c along an axis with this period: c + step wrapped into [0, period)
// (in exact integers), or c + step with 32-bit wrap-around, as the plugin's
// lattice forms neighbours, without a period.
inline int32_t lattice_cell(int32_t c, int32_t step, uint32_t period) {
    if (period == 0) return static_cast<int32_t>(static_cast<uint32_t>(c) + static_cast<uint32_t>(step));
    const int64_t p = period, r = (static_cast<int64_t>(c) + step) % p;
    return static_cast<int32_t>(r < 0 ? r + p : r);
}

// A cube's hash on lattice l from its hash on the plugin's (with wrapped
// coordinates): the same for seed 0, else scrambled with the seed's key, so
// that the patterns of two seeds are unrelated (a key added to the linear
// hash would only move the pattern).
inline uint32_t seeded_hash(const LatticeHash& l, uint32_t h) { return l.key == 0 ? h : scramble(h ^ l.key); }

// The hash that chooses the points of the cube (cx, cy, cz) + step on
// lattice l.
inline uint32_t lattice_cube_hash(const LatticeHash& l, int32_t cx, int32_t cy, int32_t cz, int32_t dx = 0,
                                  int32_t dy = 0, int32_t dz = 0) {
    return seeded_hash(l, cube_hash(lattice_cell(cx, dx, l.period[0]), lattice_cell(cy, dy, l.period[1]),
                                    lattice_cell(cz, dz, l.period[2])));
}

// a + b with 32-bit wrap-around (neighbours of the extreme cubes).
inline int32_t wrap_add(int32_t a, int32_t b) {
    // Unsigned addition wraps by definition; converting back to int32_t is
    // modular on every compiler this library supports.
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace
}  // namespace lattice
}  // namespace tulo

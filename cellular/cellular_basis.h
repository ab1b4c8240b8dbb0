// The cellular basis function: distances from a point to its N nearest
// feature points of a pseudo-random point lattice.
//
// Contract
// - Space is scaled by DENSITY_SCALE and cut into unit cubes; every cube holds
//   0 to 5 feature points whose number and positions follow only from the
//   cube's integer coordinates, so the pattern is identical on every call,
//   thread, process and machine.
// - F receives the N smallest values of the metric's weighted Distance over
//   the visited candidates, ascending; equal values keep the order in which
//   their points were generated. Each value leaves as sqrtf(value) times
//   DENSITY_UNSCALE, i.e. in the caller's units; the square root is applied for
//   every metric, and a negative value (Euclidian with negative weights)
//   leaves as NaN. Slots that no candidate filled leave as
//   sqrtf(FAR_DISTANCE) * DENSITY_UNSCALE (about 2511.6).
// - delta (optional) receives, for each kept point, the offset from the point
//   to the feature point, times DENSITY_UNSCALE (no square root). Slots that
//   no candidate filled are not initialised by the function: they come back
//   as the caller left them, times DENSITY_UNSCALE.
// - ID (optional) receives each kept point's 32-bit identifier; unfilled
//   slots come back as the caller left them.
// - Only cubes that can still hold a nearer candidate are visited: the test
//   is the squared Euclidean distance from the scaled point to the cube,
//   whatever the metric, so for metrics that are not squared Euclidean
//   lengths a farther cube may be passed over by design.
// - N ranges from 1 to 2^31 - 1; N = 0 is outside the contract.
// - Points whose scaled coordinate is NaN, infinite or outside the signed
//   32-bit range take the most negative 32-bit integer as their cube
//   coordinate and form neighbour coordinates with 32-bit wrap-around; the
//   result is well defined (usually every slot unfilled) and nothing faults.
//
// Reentrant: it allocates nothing and writes only the caller's arrays.
#pragma once

#include <cmath>
#include <cstdint>

#include "cellular/dist_type.h"
#include "cellular/vector3.h"

namespace tulo {

// Initial value of every slot of F: farther than any candidate of interest.
constexpr float FAR_DISTANCE = 999999.9f;  // stored as 999999.875

// Scales the input point so that cubes of the lattice are 1/0.39815 units wide.
constexpr float DENSITY_SCALE = 0.39815f;

// Scales the outputs back to the caller's units: the float nearest 1/0.39815.
constexpr float DENSITY_UNSCALE = 2.5116162f;

// Number of feature points in a cube, indexed by the top 8 bits of its hash.
extern const int32_t cube_point_counts[256];

// Fills F[0..N-1] (and delta, ID when not null) for the point (x, y, z).
void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z,
                    int32_t N, float* F, Vector3* delta, uint32_t* ID);

// Generates the feature points of cube (cx, cy, cz) and inserts those nearer
// to the scaled point `at` than F[N-1] into F, delta and ID. Exposed for
// tests and tools; cellular_basis is the function to call.
void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy,
                     int32_t cz, int32_t N, const Vector3& at, float* F, Vector3* delta,
                     uint32_t* ID);

namespace lattice {

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

inline uint32_t cube_hash(int32_t cx, int32_t cy, int32_t cz) {
    return kHashX * static_cast<uint32_t>(cx) + kHashY * static_cast<uint32_t>(cy) +
           kHashZ * static_cast<uint32_t>(cz);
}

inline uint32_t advance(uint32_t seed) { return kGenMul * seed + kGenAdd; }

inline float unit_coordinate(uint32_t seed) {
    return (static_cast<float>(seed) + kPointOffset) * kPointScale;
}

// Cube coordinate of a scaled coordinate: floorf as a signed 32-bit integer,
// or INT32_MIN when the floor is NaN, infinite or outside the 32-bit range
// (where a plain conversion would be undefined behaviour).
inline int32_t cube_coordinate(float scaled) {
    const float f = std::floor(scaled);
    if (f >= -2147483648.0f && f < 2147483648.0f) return static_cast<int32_t>(f);
    return INT32_MIN;
}

// a + b with 32-bit wrap-around (neighbours of the extreme cubes).
inline int32_t wrap_add(int32_t a, int32_t b) {
    // Unsigned addition wraps by definition; converting back to int32_t is
    // modular on every compiler this library supports.
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace lattice
}  // namespace tulo

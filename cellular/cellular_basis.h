// The cellular basis function: distances from a point to its N nearest
// feature points of a pseudo-random point lattice.
//
// Contract
// - Space is scaled by DENSITY_SCALE and cut into unit cubes; every cube holds
//   0 to 5 feature points whose number and positions follow only from the
//   cube's integer coordinates, so the pattern is identical on every call,
//   thread, process and machine.
// - The candidates are the feature points of the point's own cube and of
//   those of its 26 neighbours that may still hold a nearer one: a neighbour
//   is skipped when the squared Euclidean distance from the scaled point to
//   it is not below the farthest value kept so far, whatever the metric. So
//   F holds the N nearest candidates, not always the N nearest feature points
//   of space: a nearer point two cubes away is never seen (with Euclidian
//   distances from about N = 6 on), and for metrics that are not squared
//   Euclidean lengths a skipped cube may hold a nearer one by design. At
//   most kMaxCandidates points are candidates.
// - F receives the N smallest values of the metric's weighted Distance over
//   the candidates, ascending; equal values keep the order in which their
//   points were generated. Each value leaves as sqrtf(value) times
//   DENSITY_UNSCALE, i.e. in the caller's units; the square root is applied for
//   every metric, and a negative value (Euclidian with negative weights)
//   leaves as NaN.
// - delta (optional) receives, for each kept point, the offset from the point
//   to the feature point, times DENSITY_UNSCALE (no square root).
// - ID (optional) receives each kept point's 32-bit identifier.
// - Slots that no candidate filled (N above the candidates there are; far,
//   infinite or NaN points, non-finite weights): F gets
//   sqrtf(FAR_DISTANCE) * DENSITY_UNSCALE (about 2511.6), delta
//   kUnfilledOffset (NaN) on every axis and ID kUnfilledId (0). Every slot of
//   every given array is written.
// - Points whose scaled coordinate is NaN, infinite or outside the signed
//   32-bit range take the most negative 32-bit integer as their cube
//   coordinate and form neighbour coordinates with 32-bit wrap-around; the
//   result is well defined (usually every slot unfilled) and nothing faults.
// - The arithmetic runs in the default floating-point environment (round to
//   nearest, no flush-to-zero, nothing trapping) whatever the calling
//   thread's mode, as in the plugin and the array call; the caller's mode
//   and status flags are as they were when the call returns.
// - Arguments are checked in every build: a null metric, weights or F, or N
//   below 1, throws std::invalid_argument naming the argument, before
//   anything is written. N may be as large as 2^31 - 1; slots past
//   kMaxCandidates are always unfilled.
//
// Reentrant: it allocates nothing and writes only the caller's arrays.
#pragma once

#include <cstdint>
#include <limits>

// The installed headers name each other relative to their own folder, so
// that they resolve whatever include path a user gives.
#include "dist_type.h"
#include "vector3.h"

namespace tulo {

// Initial value of every slot of F: farther than any candidate of interest.
constexpr float FAR_DISTANCE = 999999.9f;  // stored as 999999.875

// Scales the input point so that cubes of the lattice are 1/0.39815 units wide.
constexpr float DENSITY_SCALE = 0.39815f;

// Scales the outputs back to the caller's units: the float nearest 1/0.39815.
constexpr float DENSITY_UNSCALE = 2.5116162f;

// What unfilled slots of delta and ID receive.
constexpr float kUnfilledOffset = std::numeric_limits<float>::quiet_NaN();
constexpr uint32_t kUnfilledId = 0u;

// The most feature points the search can consider for one point: 27 cubes of
// at most 5 points.
constexpr int32_t kMaxCandidates = 27 * 5;

// Fills F[0..N-1] (and delta, ID when not null) for the point (x, y, z).
void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID);

// A lattice other than the plugin's. The default, no period and seed 0, is
// the plugin's lattice, bit for bit.
// - period: per axis, the cells after which the pattern repeats (0: never).
//   A cube's coordinates are wrapped into [0, period) before they choose its
//   feature points, while positions stay where they are, so the feature
//   points of cube c and of cube c + period are the same points moved by the
//   period. Up to kMaxPeriod, so that the texture's five octaves, which
//   double the period with the point, stay in the 32-bit lattice.
// - seed: another pattern for every value, unrelated to the plugin's
//   (seed 0) and to each other's; the same bits on every kernel.
// Exactness of tiles: values at points one period apart are equal bit for
// bit where the arithmetic of both is exact, which grid points built by the
// rule of docs/tiles.md are (a tile placed beside itself then equals the
// computation over two periods, value for value).
struct Lattice {
    int32_t period[3] = {0, 0, 0};
    uint32_t seed = 0;
};

// The largest period: 2^26 - 1 cells (times 32 at the fifth octave).
constexpr int32_t kMaxPeriod = (1 << 26) - 1;

// cellular_basis on another lattice; a period outside 0..kMaxPeriod throws
// std::invalid_argument as the other arguments do.
void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z, int32_t N, float* F,
                    Vector3* delta, uint32_t* ID, const Lattice& lattice);

}  // namespace tulo

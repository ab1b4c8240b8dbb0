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

// Fills F[0..N-1] (and delta, ID when not null) for the point (x, y, z).
void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z,
                    int32_t N, float* F, Vector3* delta, uint32_t* ID);

}  // namespace tulo

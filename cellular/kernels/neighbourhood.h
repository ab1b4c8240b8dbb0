// The neighbourhood of a search as data: the 27 cubes around a point, the
// order the sequential search visits them in, the tables that place them in
// vector lanes, the terms of their culling bounds, and the records the
// kernels hand to their callers. Target-neutral: constant data and plain
// types, shared by every kernel and by the code that calls them. The proofs
// these tables serve are in docs/search.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cellular/lattice.h"

namespace tulo {
namespace kernels {

// Metrics whose distance is exact lane by lane.
enum class LaneMetric : int32_t { euclidian, manhattan, chessboard };

// Metrics whose distance goes through powf.
enum class PowerMetric : int32_t { minkowski, superquadratic };

// The two smallest values kept by a search, before square root and scale.
struct NearestTwo {
    float f0;
    float f1;
};

// Points searched together by one call of a NearestTwoSearch: the shader's
// six octaves of a sample.
constexpr int kSearchGroup = 6;

// The weights as the power bounds use them: Minkowski's offsets, and
// Superquadratic's exponents bracketed by multiples of 1/2, as counts of
// halves: below[i] / 2 <= w_i <= above[i] / 2, equal when w_i is such a
// multiple. `usable` is false when some exponent lies outside 0..8 (or is
// not a number): then every candidate is measured.
struct PowerWeights {
    Vector3 w;
    int32_t below[3];
    int32_t above[3];
    bool usable;
    bool ordinary;  // see power_lower_bound (generic/lane_formulas.h)
};

// Cube lanes: 0 is the point's own cube, 1..26 the neighbours (in visiting
// order, or nearest first: LaneTables says which lane holds which cube),
// 27..31 unused (they hold no points).
constexpr int kCubeLanes = 32;
constexpr int kCubes = 27;

// Generator states that the coordinates of a cube's points come from:
// coordinate c (0 x, 1 y, 2 z) of point j is step 2 + 4j + c from the hash,
// numbered here k = 3j + c.
constexpr int kCoordinateSteps = 3 * lattice::kMaxPointsPerCube;

// Offsets of the 27 cubes in some lane order, own cube first.
struct CubeOrder {
    int8_t d[kCubes][3];
};

// The order in which the sequential search visits the neighbours: faces,
// then edges, then corners.
constexpr CubeOrder visiting_order() {
    return CubeOrder{{
        {0, 0, 0},   {-1, 0, 0},  {0, -1, 0},  {0, 0, -1}, {1, 0, 0},  {0, 1, 0},    {0, 0, 1},
        {-1, -1, 0}, {-1, 0, -1}, {0, -1, -1}, {1, 1, 0},  {1, 0, 1},  {0, 1, 1},    {-1, 1, 0},
        {-1, 0, 1},  {0, -1, 1},  {1, -1, 0},  {1, 0, -1}, {0, 1, -1}, {-1, -1, -1}, {-1, -1, 1},
        {-1, 1, -1}, {-1, 1, 1},  {1, -1, -1}, {1, -1, 1}, {1, 1, -1}, {1, 1, 1},
    }};
}

// Neighbours 1..6 of the visiting order share a face with the point's cube.
constexpr int kFaceNeighbours = 6;

// The cubes nearest a point first, for a point in the lower half of its cube
// on every axis (its near faces are the lower ones): the own cube and the
// seven others that meet at the point's nearest corner; then the cubes past
// one far face, those with fewer near offsets first; then past two far
// faces; then the far corner. Nearer cubes are the likelier to be reached,
// so lanes that no point reaches gather in the last vectors, which a search
// then skips (docs/search.md, invariant 4).
constexpr CubeOrder near_first_order() {
    return CubeOrder{{
        {0, 0, 0},    {-1, 0, 0}, {0, -1, 0}, {0, 0, -1},  {-1, -1, 0}, {-1, 0, -1}, {0, -1, -1},
        {-1, -1, -1}, {1, 0, 0},  {0, 1, 0},  {0, 0, 1},   {1, -1, 0},  {1, 0, -1},  {-1, 1, 0},
        {0, 1, -1},   {-1, 0, 1}, {0, -1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}, {1, 1, 0},
        {1, 0, 1},    {0, 1, 1},  {1, 1, -1}, {1, -1, 1},  {-1, 1, 1},  {1, 1, 1},
    }};
}

// The same order mirrored on the axes of `mirror` (bit 0 x, 1 y, 2 z): for
// a point in the upper half of its cube on those axes.
constexpr CubeOrder mirrored(CubeOrder o, int mirror) {
    for (int n = 0; n < kCubes; ++n)
        for (int axis = 0; axis < 3; ++axis)
            if ((mirror >> axis) & 1) o.d[n][axis] = static_cast<int8_t>(-o.d[n][axis]);
    return o;
}

struct LaneTables {
    alignas(64) int32_t dx[kCubeLanes];
    alignas(64) int32_t dy[kCubeLanes];
    alignas(64) int32_t dz[kCubeLanes];
    // cube_hash(c + d) = cube_hash(c) + hash_offset[lane] (mod 2^32).
    alignas(64) uint32_t hash_offset[kCubeLanes];
    // Lanes that stand for a cube (all but 27..31), as all-ones words.
    alignas(64) int32_t used[kCubeLanes];
    // State k of a cube with hash h is mul[k] * h + add[k] (mod 2^32), so for
    // the lane's cube it is (mul[k] * h0 + add[k]) + seed_offset[k][lane],
    // h0 being the hash of the point's own cube: one addition per lane.
    alignas(64) uint32_t mul[16];
    alignas(64) uint32_t add[16];
    alignas(64) uint32_t seed_offset[kCoordinateSteps][kCubeLanes];
    // Place of the lane's cube in the visiting order (0 the own cube; lanes
    // without a cube after every cube).
    alignas(64) int32_t visit[kCubeLanes];
};

constexpr LaneTables make_lane_tables(const CubeOrder& order) {
    LaneTables t{};
    const CubeOrder visiting = visiting_order();
    for (int n = 0; n < kCubes; ++n) {
        t.dx[n] = order.d[n][0];
        t.dy[n] = order.d[n][1];
        t.dz[n] = order.d[n][2];
        t.hash_offset[n] = lattice::kHashX * static_cast<uint32_t>(t.dx[n]) +
                           lattice::kHashY * static_cast<uint32_t>(t.dy[n]) +
                           lattice::kHashZ * static_cast<uint32_t>(t.dz[n]);
        t.used[n] = -1;
        for (int v = 0; v < kCubes; ++v) {
            if (visiting.d[v][0] == order.d[n][0] && visiting.d[v][1] == order.d[n][1] &&
                visiting.d[v][2] == order.d[n][2])
                t.visit[n] = v;
        }
    }
    for (int n = kCubes; n < kCubeLanes; ++n) t.visit[n] = n;
    uint32_t mul = 1u, add = 0u;  // the composition of `step` steps
    for (int step = 1; step <= 1 + lattice::kStepsPerPoint * lattice::kMaxPointsPerCube; ++step) {
        mul = lattice::kGenMul * mul;
        add = lattice::kGenMul * add + lattice::kGenAdd;
        const int j = (step - 2) / lattice::kStepsPerPoint, c = (step - 2) % lattice::kStepsPerPoint;
        if (step >= 2 && c < 3) {
            t.mul[3 * j + c] = mul;
            t.add[3 * j + c] = add;
        }
    }
    for (int k = 0; k < kCoordinateSteps; ++k)
        for (int n = 0; n < kCubeLanes; ++n) t.seed_offset[k][n] = t.mul[k] * t.hash_offset[n];
    return t;
}

// Lanes in visiting order: the power bounds, the point-lanes search, and the
// cube-lanes searches of kernels that keep this order.
inline constexpr LaneTables kLaneTables = make_lane_tables(visiting_order());

// Lanes nearest first, one table per half of the cube the point lies in on
// each axis (index: bit 0 x, 1 y, 2 z set for the upper half): the
// cube-lanes searches of metrics 1-3 where the kernel asks for them.
constexpr int kMirrors = 8;
struct NearFirstTables {
    LaneTables mirror[kMirrors];
};

constexpr NearFirstTables make_near_first_tables() {
    NearFirstTables n{};
    for (int m = 0; m < kMirrors; ++m) n.mirror[m] = make_lane_tables(mirrored(near_first_order(), m));
    return n;
}

// Whether every lane of an order holds a different cube: each place in the
// visiting order taken exactly once.
constexpr bool is_permutation_of_cubes(const LaneTables& t) {
    uint32_t seen = 0;
    for (int n = 0; n < kCubes; ++n) seen |= t.visit[n] < kCubes ? 1u << t.visit[n] : 0u;
    return seen == (1u << kCubes) - 1u && t.visit[0] == 0;
}
static_assert(is_permutation_of_cubes(make_lane_tables(near_first_order())),
              "the near-first order holds every cube once, the own cube first");

// The point scaled onto the lattice, its cube, and the squared distances
// (double precision) to the faces of its cube: d* to the lower face, m* to
// the upper one.
struct SearchStart {
    Vector3 at;
    int32_t ix, iy, iz;
    double dx2, mx2, dy2, my2, dz2, mz2;
};

// The culling bound of each lane is (t1 + t2) + t3 over a table of terms
// T = {0, dx2, mx2, dy2, my2, dz2, mz2, +inf}: the face terms of the lane's
// offsets, x before y before z (two-term sums commute exactly, and the
// three-term ones group x and y first, as the bounds are defined). The
// unused lanes get +inf (never visited); the point's own cube, lane 0, is
// always visited and its bound is set to -inf where the kernels use it.
struct BoundTerms {
    alignas(64) int64_t t1[kCubeLanes];
    alignas(64) int64_t t2[kCubeLanes];
    alignas(64) int64_t t3[kCubeLanes];
};

constexpr BoundTerms make_bound_terms(const CubeOrder& order) {
    BoundTerms b{};
    for (int n = 0; n < kCubeLanes; ++n) {
        int64_t terms[3] = {0, 0, 0};
        int k = 0;
        for (int axis = 0; axis < 3 && n < kCubes; ++axis) {
            const int d = order.d[n][axis];
            if (d != 0) terms[k++] = 1 + 2 * axis + (d > 0 ? 1 : 0);
        }
        if (n >= kCubes) terms[0] = 7;
        b.t1[n] = terms[0];
        b.t2[n] = terms[1];
        b.t3[n] = terms[2];
    }
    return b;
}

inline constexpr BoundTerms kBoundTerms = make_bound_terms(visiting_order());
// For the lanes nearest first, from a start mirrored onto the lower half of
// its cube (mirror_start): the mirrored terms give each cube its own bound.
inline constexpr BoundTerms kNearFirstBoundTerms = make_bound_terms(near_first_order());

// What a kernel's power_bounds hands to the sequential search.
struct PowerBounds {
    SearchStart start;
    uint32_t own_hash;  // hash of the point's own cube
    // Lower bound of the value of point j of each lane's cube; +inf where
    // the cube has no such point, -inf where it must be measured exactly.
    alignas(64) float lower[lattice::kMaxPointsPerCube][kCubeLanes];
    alignas(64) float least[kCubeLanes];  // the smallest of the cube's bounds
    alignas(64) float r[kCubeLanes];      // culling bound rounded down; -inf for lane 0
};

// What a thread keeps of its last search's neighbourhood, per point of a
// search group (the shader's octaves), so that the next sample in the same
// cube reads the points of the 27 cubes around it instead of hashing,
// counting and generating them again (docs/search.md, invariant 18). The
// points are kept as the search forms them, corner plus unit coordinates
// (before the sample's position is subtracted), in the lanes of `order`.
// A sample in another cube or lane order costs the key's compare and its
// store. The points are formed and kept at the kKeepFrom-th sample in a row
// in the same cube, so that samples that never repeat a cube (random
// points, the finest octaves) never pay for filling; or at the first, when
// the stay before lasted that long (samples a fraction of a cube apart).
// Zero bytes mean nothing kept.
struct alignas(64) KeptNeighbourhood {
    int32_t cube[3];  // the cube whose neighbourhood this is
    int32_t order;    // 0 nothing kept; else its lane order's key
    int32_t seen;     // samples in a row in `cube`, up to kKeepFrom
    int32_t filled;   // 1 once `point` and `count` hold the neighbourhood of `cube` in `order`
    alignas(64) float point[kCoordinateSteps][kCubeLanes];  // coordinate c of point j: [3j + c]
    alignas(64) int32_t count[kCubeLanes];                  // points of the lane's cube (0 for 27..31)
};

// The samples in a row in one cube from which its neighbourhood is kept.
constexpr int32_t kKeepFrom = 2;

// The keys of the lane orders: kKeptVisiting for the visiting order,
// kKeptNearFirst + m for the nearest-first order mirrored on m. The same
// lane order holds the same points whichever kernel filled it (their lanes
// lie in the same memory layout). Constants, not a function: an inline
// function called from a wide kernel could be emitted there out of line
// (docs/search.md, invariant 16).
constexpr int32_t kKeptVisiting = 1;
constexpr int32_t kKeptNearFirst = 2;

// One per point of a search group: what a thread that shades keeps.
struct KeptNeighbourhoods {
    KeptNeighbourhood slot[kSearchGroup];
};
static_assert(sizeof(KeptNeighbourhood) == 2112 && sizeof(KeptNeighbourhoods) == 12672,
              "the README states the size kept per thread");

}  // namespace kernels
}  // namespace tulo

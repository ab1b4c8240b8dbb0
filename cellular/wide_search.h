// The shader's search on all 27 cubes at once, one cube per lane, with
// wide instruction sets. Internal to the library: the declarations shared
// by the kernels (wide_search_avx2.cpp, wide_search_avx512.cpp, each
// compiled for its instruction set and chosen at run time, see kernels.h)
// and by the code that calls them (cellular_basis.cpp).
//
// Metrics 1-3 (nearest_two): values alone decide. Strict sequential
// insertion keeps the two smallest non-NaN values offered so far, as a
// multiset. So each cube reduces to its two smallest values (a <= b), cubes
// merge with min and max, and a NaN distance drops out by the operand order
// of the min and max instructions (they return their second operand when
// one is NaN). Which of two equal values is kept never shows: equal floats
// have the same bits, but for zeros, and within one search every zero
// value has the same sign. Manhattan and Chessboard values are sums and
// maxima of absolute values, so a zero is +0. A Euclidian term (w * d) * d
// carries the sign of w whatever d is; a sum is -0 only when every term is
// -0 (an exact cancellation gives +0, and negative terms cannot cancel), so
// a zero value is -0 when all three weights carry a sign bit and +0
// otherwise, for every point of the search. Hence the order in which a
// search meets its values, zeros included, cannot change its result.
//
// The culling: neighbour n is visited when the second value kept so far
// exceeds its bound (a double). For a float F, F > bound exactly when F > r,
// r being the largest float not above bound, so each bound becomes one float
// rounded toward minus infinity. F only decreases, so only the cubes whose r
// lies below the second value of the point's own cube can ever be visited;
// call them U. G, the two smallest values over U, is the result as long as
// every cube of U that holds a value not above G's second one has its r
// below G's second value: the sequential result is never below G (it draws
// on a subset of U), so its second value never drops below G's, so every such
// cube is visited and contributes its values. When the check fails (rare,
// with uneven weights), the cubes of U are merged one by one in visiting
// order, each only if the pair as the cubes before it left it exceeds its r.
// Nothing here depends on which lane holds which cube but that last merge,
// which takes the cubes by their place in the visiting order; so a kernel
// may put the cubes nearest the point in the first lanes (kNearFirstTables,
// the AVX2 per-point searches), where the cubes no point reaches gather in
// the last vectors, which are then skipped.
//
// Metrics 4-5 (power_bounds): the kernel computes, for every point of the 27
// cubes, a rigorous lower bound of its value (lanes.h); the caller then runs
// the sequential search and measures exactly, with powf, only the points
// whose bound lies below the farthest value kept at their turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "cellular/lattice.h"

// For the kernels' functions and lambdas that must be inlined: a lambda
// sharing a search's state by reference, or a function taking it by
// pointer, left out of line takes that state through memory on every call
// (measured 5-15% of a search's time where GCC left them out of line).
#if defined(__GNUC__) || defined(__clang__)
#define TULO_ALWAYS_INLINE __attribute__((always_inline))
#else
#define TULO_ALWAYS_INLINE
#endif

namespace tulo {
namespace detail {

// Metrics whose distance is exact lane by lane.
enum class LaneMetric : int32_t { euclidian, manhattan, chessboard };

// Metrics whose distance goes through powf.
enum class PowerMetric : int32_t { minkowski, superquadratic };

// The two smallest values kept by the search, before square root and scale.
struct NearestTwo {
    float f0;
    float f1;
};

// Points searched together by one call of a NearestTwoSearch: the shader's
// six octaves of a sample.
constexpr int kSearchGroup = 6;

// Runs the searches of points[0..count), 1 <= count <= kSearchGroup, into
// out[0..count), for the metric and kind of weights the function was made
// for (NearestTwoSearches).
using NearestTwoSearch = void (*)(const Vector3& w, const Vector3* points, int count, NearestTwo* out);

// A kernel's searches, one per metric and kind of weights, so that a caller
// picks one with a table lookup (pick) and calls it without further dispatch.
struct NearestTwoSearches {
    NearestTwoSearch by[3][2];  // [metric in LaneMetric's order][every weight exactly 1]

    NearestTwoSearch pick(LaneMetric metric, const Vector3& w) const {
        return by[static_cast<int>(metric)][w.x == 1.0f && w.y == 1.0f && w.z == 1.0f ? 1 : 0];
    }
};

// Searches points[0..count) in vector lanes, one point per lane, with N = 2:
// F[2i] and F[2i + 1] get the point's two values in the caller's units
// (sqrtf times DENSITY_UNSCALE).
using NearestTwoBatchKernel = void (*)(LaneMetric metric, const Vector3& w, const Vector3* points,
                                       std::size_t count, float* F);

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
    bool ordinary;  // see power_lower_bound in lanes.h
};

// Lanes: 0 is the point's own cube, 1..26 the neighbours (in visiting order,
// or nearest first: LaneTables says which lane holds which cube), 27..31
// unused (they hold no points).
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

// The order in which the sequential search visits the neighbours.
constexpr CubeOrder visiting_order() {
    return CubeOrder{{
        {0, 0, 0},    {-1, 0, 0},  {0, -1, 0},  {0, 0, -1},  {1, 0, 0},   {0, 1, 0},    {0, 0, 1},
        {-1, -1, 0},  {-1, 0, -1}, {0, -1, -1}, {1, 1, 0},   {1, 0, 1},   {0, 1, 1},    {-1, 1, 0},
        {-1, 0, 1},   {0, -1, 1},  {1, -1, 0},  {1, 0, -1},  {0, 1, -1},  {-1, -1, -1}, {-1, -1, 1},
        {-1, 1, -1},  {-1, 1, 1},  {1, -1, -1}, {1, -1, 1},  {1, 1, -1},  {1, 1, 1},
    }};
}

// The cubes nearest a point first, for a point in the lower half of its cube
// on every axis (its near faces are the lower ones): the own cube and the
// seven others that meet at the point's nearest corner; then the cubes past
// one far face, those with fewer near offsets first; then past two far
// faces; then the far corner. Nearer cubes are the likelier to be reached,
// so lanes that no point reaches gather in the last vectors, which the
// search then skips. (The bound of a cube past a far face is at least 1/4.)
constexpr CubeOrder near_first_order() {
    return CubeOrder{{
        {0, 0, 0},   {-1, 0, 0},  {0, -1, 0},  {0, 0, -1}, {-1, -1, 0}, {-1, 0, -1}, {0, -1, -1}, {-1, -1, -1},
        {1, 0, 0},   {0, 1, 0},   {0, 0, 1},   {1, -1, 0}, {1, 0, -1},  {-1, 1, 0},  {0, 1, -1},  {-1, 0, 1},
        {0, -1, 1},  {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}, {1, 1, 0},  {1, 0, 1},   {0, 1, 1},   {1, 1, -1},
        {1, -1, 1},  {-1, 1, 1},  {1, 1, 1},
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
            if (visiting.d[v][0] == order.d[n][0] && visiting.d[v][1] == order.d[n][1] && visiting.d[v][2] == order.d[n][2])
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

// Lanes in visiting order: the power bounds, the searches for arrays, and
// the per-point searches of kernels that keep this order.
inline constexpr LaneTables kLaneTables = make_lane_tables(visiting_order());

// Lanes nearest first, one table per half of the cube the point lies in on
// each axis (index: bit 0 x, 1 y, 2 z set for the upper half): the
// per-point searches of metrics 1-3 where the kernel asks for them (kNearFirst).
struct NearFirstTables {
    LaneTables mirror[8];
};

constexpr NearFirstTables make_near_first_tables() {
    NearFirstTables n{};
    for (int m = 0; m < 8; ++m) n.mirror[m] = make_lane_tables(mirrored(near_first_order(), m));
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

// What power_bounds hands to the sequential search.
struct PowerBounds {
    SearchStart start;
    uint32_t own_hash;  // hash of the point's own cube
    // Lower bound of the value of point j of each lane's cube; +inf where
    // the cube has no such point, -inf where it must be measured exactly.
    alignas(64) float lower[lattice::kMaxPointsPerCube][kCubeLanes];
    alignas(64) float least[kCubeLanes];  // the smallest of the cube's bounds
    alignas(64) float r[kCubeLanes];      // culling bound rounded down; -inf for lane 0
};

// Fills *out for the point (x, y, z).
using PowerBoundsKernel = void (*)(PowerMetric metric, const PowerWeights& w, float x, float y, float z,
                                   PowerBounds* out);

extern const NearestTwoSearches nearest_two_searches_avx2;
extern const NearestTwoSearches nearest_two_searches_avx512;
void nearest_two_batch_avx2(LaneMetric metric, const Vector3& w, const Vector3* points, std::size_t count, float* F);
void nearest_two_batch_avx512(LaneMetric metric, const Vector3& w, const Vector3* points, std::size_t count, float* F);
void power_bounds_avx2(PowerMetric metric, const PowerWeights& w, float x, float y, float z, PowerBounds* out);
void power_bounds_avx512(PowerMetric metric, const PowerWeights& w, float x, float y, float z, PowerBounds* out);

// Functions with internal linkage, calling no inline function of the
// standard library (scalar_math.h): every translation unit, compiled for its
// own instruction set, keeps its own copy, and the linker can never hand a
// wide-instruction copy to code that runs on an older CPU. A test lists the
// wide objects' symbols to hold this (check_wide_objects.cmake).
namespace {

// The lane tables a search points to, one copy in each translation unit
// (data with internal linkage, like the functions here).
constexpr NearFirstTables kNearFirstTables = make_near_first_tables();
constexpr LaneTables kVisitingTables = kLaneTables;

// Index of the lowest set bit of a non-zero word.
inline int lowest_set_bit(uint32_t bits) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanForward(&index, bits);
    return static_cast<int>(index);
#else
    return __builtin_ctz(bits);
#endif
}

inline SearchStart start_search(float x, float y, float z) {
    SearchStart s;
    s.at = Vector3{x * DENSITY_SCALE, y * DENSITY_SCALE, z * DENSITY_SCALE};
    s.ix = lattice::cube_coordinate(s.at.x);
    s.iy = lattice::cube_coordinate(s.at.y);
    s.iz = lattice::cube_coordinate(s.at.z);
    const double fx = s.at.x - static_cast<float>(s.ix);
    const double fy = s.at.y - static_cast<float>(s.iy);
    const double fz = s.at.z - static_cast<float>(s.iz);
    s.dx2 = fx * fx, s.mx2 = (1.0 - fx) * (1.0 - fx);
    s.dy2 = fy * fy, s.my2 = (1.0 - fy) * (1.0 - fy);
    s.dz2 = fz * fz, s.mz2 = (1.0 - fz) * (1.0 - fz);
    return s;
}

// The start mirrored onto the lower half of its cube on each axis where the
// point lies nearer the upper face (the two face terms swap), for the lanes
// nearest first, and in *mirror the index of those axes (bit 0 x, 1 y, 2 z).
// Any index would give the same result; this one only makes the search
// cheaper. Selects, not branches: the halves are a coin toss per point.
inline SearchStart mirror_start(const SearchStart& s, int* mirror) {
    const bool x = s.dx2 > s.mx2, y = s.dy2 > s.my2, z = s.dz2 > s.mz2;
    SearchStart m = s;
    m.dx2 = x ? s.mx2 : s.dx2, m.mx2 = x ? s.dx2 : s.mx2;
    m.dy2 = y ? s.my2 : s.dy2, m.my2 = y ? s.dy2 : s.my2;
    m.dz2 = z ? s.mz2 : s.dz2, m.mz2 = z ? s.dz2 : s.mz2;
    *mirror = static_cast<int>(x) | static_cast<int>(y) << 1 | static_cast<int>(z) << 2;
    return m;
}

// The culling bound of neighbour n (1..26) from the squared distances to the
// faces of the point's cube, T = {unused, dx2, mx2, dy2, my2, dz2, mz2}: its
// terms (BoundTerms) summed with `add` in the fixed order, x before y before
// z. Every search forms its bounds here, lane by lane or one at a time.
template <class D, class Add>
inline D culling_bound(const D* terms, int n, Add add) {
    const BoundTerms& b = kBoundTerms;
    D sum = terms[b.t1[n]];
    if (b.t2[n] != 0) sum = add(sum, terms[b.t2[n]]);
    if (b.t3[n] != 0) sum = add(sum, terms[b.t3[n]]);
    return sum;
}

// The same bounds for every neighbour n = 1..26, out(n, bound) for each,
// unrolled with the terms known at compile time: no table reads, and the
// faces add nothing.
template <class D, class Add, class Out, int... kN>
inline void each_culling_bound(const D* terms, Add add, Out out, std::integer_sequence<int, kN...>) {
    constexpr BoundTerms b = kBoundTerms;
    auto one = [&](auto n) {
        constexpr int k = decltype(n)::value;
        D sum = terms[b.t1[k]];
        if constexpr (b.t2[k] != 0) sum = add(sum, terms[b.t2[k]]);
        if constexpr (b.t3[k] != 0) sum = add(sum, terms[b.t3[k]]);
        out(k, sum);
    };
    (one(std::integral_constant<int, kN + 1>{}), ...);
}
template <class D, class Add, class Out>
inline void each_culling_bound(const D* terms, Add add, Out out) {
    each_culling_bound(terms, add, out, std::make_integer_sequence<int, kCubes - 1>{});
}

// Merges candidate neighbours into the pair kept so far, shared by the
// kernels: a[n] <= b[n] are the two smallest values of cube n and r[n] its
// bound as a float rounded down; the candidates (bits of `candidates`) are
// taken in lane order, which is visiting order, and each is merged only if
// the pair's second value still exceeds its bound. Branch-free but for the
// loop over the few candidates: the values ride in vector registers (lane 0
// counts), because the scalar form's two selects on one comparison
// (an < f0 ? an : f0 and an < f0 ? f0 : an) compiled into a branch, which
// mispredicted on about every other candidate.
template <class V>
inline void merge_candidates(const float* a, const float* b, const float* r, uint32_t candidates, NearestTwo* f) {
    using F = typename V::F;
    F f0 = V::set(f->f0), f1 = V::set(f->f1);
    while (candidates != 0) {
        const int n = lowest_set_bit(candidates);
        candidates &= candidates - 1;
        const F an = V::set(a[n]), bn = V::set(b[n]);
        // Two smallest of {f0, f1, an, bn}, with f0 <= f1 and an <= bn
        // (min(x, y) = x < y ? x : y, max(x, y) = x > y ? x : y).
        const F m0 = V::min(an, f0);
        const F hi = V::max(f0, an);
        const F m1 = V::min(hi, V::min(bn, f1));
        const typename V::M visit = V::lt(V::set(r[n]), f1);  // f1 > r[n]
        f0 = V::select(visit, m0, f0);
        f1 = V::select(visit, m1, f1);
    }
    *f = NearestTwo{V::lane0(f0), V::lane0(f1)};
}

}  // namespace

}  // namespace detail
}  // namespace tulo

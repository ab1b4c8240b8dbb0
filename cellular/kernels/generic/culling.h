// The start of a search and its culling bounds, per target (see
// generic/target.h): the point scaled onto the lattice, the squared
// distances to its cube's faces, and the bound of each neighbour.
#pragma once

#include <cstdint>
#include <utility>

#include "cellular/kernels/generic/target.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
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
// Any index would give the same result (start_mirrored); this one only
// makes the search cheaper. Selects, not branches: the halves are a coin
// toss per point.
inline SearchStart mirror_start(const SearchStart& s, int* mirror) {
    const bool x = s.dx2 > s.mx2, y = s.dy2 > s.my2, z = s.dz2 > s.mz2;
    SearchStart m = s;
    m.dx2 = x ? s.mx2 : s.dx2, m.mx2 = x ? s.dx2 : s.mx2;
    m.dy2 = y ? s.my2 : s.dy2, m.my2 = y ? s.dy2 : s.my2;
    m.dz2 = z ? s.mz2 : s.dz2, m.mz2 = z ? s.dz2 : s.mz2;
    *mirror = static_cast<int>(x) | static_cast<int>(y) << 1 | static_cast<int>(z) << 2;
    return m;
}

// The start mirrored on the axes of a given index, whichever half the
// point lies in: the lanes nearest first mirrored the same way give the
// same result as any other mirror (invariant 6), only the culling may skip
// fewer cubes. Taken for a whole stay in one cube, where the index stays
// the same and a branch on it is predicted.
inline SearchStart start_mirrored(const SearchStart& s, int mirror) {
    SearchStart m = s;
    if ((mirror & 1) != 0) m.dx2 = s.mx2, m.mx2 = s.dx2;
    if ((mirror & 2) != 0) m.dy2 = s.my2, m.my2 = s.dy2;
    if ((mirror & 4) != 0) m.dz2 = s.mz2, m.mz2 = s.dz2;
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

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

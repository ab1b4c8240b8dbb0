// The vocabulary of lane operations: what every target's `Lanes` type
// (kernels/<target>/lanes.h) provides, each with one meaning on every
// target (docs/search.md, invariant 17). The generic searches are written
// in these operations alone; check_lane_ops<Lanes>() makes a missing or
// mistyped operation a compile error that names it.
//
// Types and constants
//   F, I, M         float lanes, 32-bit integer lanes, a mask of lanes
//   kWidth          lanes per vector: 4, 8 or 16 (a divisor of 32)
//   kNearFirst      the cube-lanes searches of metrics 1-3 put the cubes
//                   nearest the point in the first lanes (a tuning choice)
//   kMaskRegisters  M is a mask register, so select() folds into the
//                   instruction it follows (a tuning choice)
//   kCheapSelect    select() is one instruction (a tuning choice)
//   kKeptApart      a sample's search is compiled twice, once reading a
//                   kept neighbourhood and once forming it, rather than
//                   asking per vector (a tuning choice)
//   kEmulated       the lanes are plain C++, one after the other: arrays
//                   then go point by point through the sequential search,
//                   which visits fewer cubes (a tuning choice)
//
// Floats, each lane an IEEE single-precision operation rounded to nearest
// (the searches run in the default floating-point environment)
//   set(f)                    f in every lane
//   load(p), store(p, a)      kWidth floats at p, aligned to 4 * kWidth bytes
//   add, sub, mul(a, b)       a + b, a - b, a * b, each rounded once
//   min(a, b)                 a < b ? a : b: b where either is NaN, and
//                             min(-0, +0) = +0, min(+0, -0) = -0
//   max(a, b)                 a > b ? a : b, likewise
//   sqrt(a)                   correctly rounded square root
//   abs(a)                    a with its sign bit clear (a NaN stays NaN)
//   fma_exact(a, b, c)        a * b + c rounded once; used only where a * b
//                             is exact, so a separate multiply and add give
//                             the same bits
//   floor(a)                  floorf: NaN, infinities and -0 kept
//   lane0(a)                  the first lane as a float
//   lt, le, ge, eq(a, b)      ordered comparisons: false where either is NaN
//   nge(a, b)                 not (a >= b): true where either is NaN
//   select(m, a, b)           m ? a : b lane by lane
//   nan_where(m, a)           a NaN (any) where m, a elsewhere
// Masks
//   mask_and, mask_or(m, n)   lane-wise and, or
//   none(m)                   no lane set
//   bits(m)                   lane i as bit i of a 32-bit word
// Integers, 32-bit lanes, arithmetic modulo 2^32
//   seti(v)                   v in every lane
//   loadi(p), storei(p, a)    kWidth integers at p, aligned to 4 * kWidth bytes
//   addi, muli(a, b)          a + b, the low 32 bits of a * b
//   andi, ori, xori(a, b)     bitwise and, or, exclusive or
//   shift_left(a, n)          a << n, 0 <= n < 32
//   shift_right(a, n)         logical a >> n, 0 <= n < 32
//   gti(a, b)                 signed a > b, as a mask
//   selecti(m, a, b)          m ? a : b lane by lane
//   lane0i(a)                 the first lane as an int32_t
// Conversions
//   to_float(a)               signed integer to the nearest float
//   unsigned_to_float(a)      the lanes as unsigned integers, to the nearest
//                             float, one rounding (invariant 11)
//   truncate(a)               float to int32 toward zero; NaN, infinite and
//                             out-of-range lanes give INT32_MIN
// Blocks of the searches
//   load_points(p, &x, &y, &z)  x, y and z of the kWidth points at p
//   point_counts(hash)        cube_point_counts[hash >> 24] lane by lane
//   bounds<T>(start, r)       the cube lanes' culling bounds from a search's
//                             start, for the lane order of BoundTerms T: lane
//                             n of the kCubeLanes / kWidth vectors r gets the
//                             largest float not above (t1 + t2) + t3 summed in
//                             double (invariant 4); lane 0 gets -inf, lanes
//                             past the 27 cubes +inf
//   lane_bounds(fx, fy, fz, r)  the point lanes' culling bounds: r[n] for
//                             neighbour n = 1..26 of the visiting order, from
//                             each lane's offsets in its cube (fx, fy, fz),
//                             the bound in double rounded down as above
//   store_results(lo, hi, out)  out[2i] = sqrtf(lo_i) * DENSITY_UNSCALE and
//                             out[2i + 1] the same of hi_i, for every lane i
//                             (out need not be aligned)
//   two_smallest(lo, hi)      the two smallest values of all lanes' pairs
//                             lo_i <= hi_i (no NaN), merged as invariant 1
//                             merges pairs
#pragma once

#include <cstdint>
#include <type_traits>

#include "cellular/kernels/neighbourhood.h"

// The detectors name vector types (__m128, ...) as template arguments, whose
// alignment attributes GCC then reports as ignored: harmless for a check of
// types.
#if defined(__GNUC__) && !defined(__clang__)
#    pragma GCC diagnostic push
#    pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

namespace tulo {
namespace kernels {
namespace lane_ops {

// has_<op><V>: whether V has a static member `op` of exactly this type.
#define TULO_LANE_OP(op, result, ...)     \
    template <class V, class = void>      \
    struct has_##op : std::false_type {}; \
    template <class V>                    \
    struct has_##op<V, std::void_t<decltype(static_cast<result (*)(__VA_ARGS__)>(&V::op))>> : std::true_type {};

#define TULO_F typename V::F
#define TULO_I typename V::I
#define TULO_M typename V::M

TULO_LANE_OP(set, TULO_F, float)
TULO_LANE_OP(load, TULO_F, const float*)
TULO_LANE_OP(store, void, float*, TULO_F)
TULO_LANE_OP(add, TULO_F, TULO_F, TULO_F)
TULO_LANE_OP(sub, TULO_F, TULO_F, TULO_F)
TULO_LANE_OP(mul, TULO_F, TULO_F, TULO_F)
TULO_LANE_OP(min, TULO_F, TULO_F, TULO_F)
TULO_LANE_OP(max, TULO_F, TULO_F, TULO_F)
TULO_LANE_OP(sqrt, TULO_F, TULO_F)
TULO_LANE_OP(abs, TULO_F, TULO_F)
TULO_LANE_OP(fma_exact, TULO_F, TULO_F, TULO_F, TULO_F)
TULO_LANE_OP(floor, TULO_F, TULO_F)
TULO_LANE_OP(lane0, float, TULO_F)
TULO_LANE_OP(lt, TULO_M, TULO_F, TULO_F)
TULO_LANE_OP(le, TULO_M, TULO_F, TULO_F)
TULO_LANE_OP(ge, TULO_M, TULO_F, TULO_F)
TULO_LANE_OP(eq, TULO_M, TULO_F, TULO_F)
TULO_LANE_OP(nge, TULO_M, TULO_F, TULO_F)
TULO_LANE_OP(select, TULO_F, TULO_M, TULO_F, TULO_F)
TULO_LANE_OP(nan_where, TULO_F, TULO_M, TULO_F)
TULO_LANE_OP(mask_and, TULO_M, TULO_M, TULO_M)
TULO_LANE_OP(mask_or, TULO_M, TULO_M, TULO_M)
TULO_LANE_OP(none, bool, TULO_M)
TULO_LANE_OP(bits, uint32_t, TULO_M)
TULO_LANE_OP(seti, TULO_I, int32_t)
TULO_LANE_OP(loadi, TULO_I, const int32_t*)
TULO_LANE_OP(storei, void, int32_t*, TULO_I)
TULO_LANE_OP(addi, TULO_I, TULO_I, TULO_I)
TULO_LANE_OP(muli, TULO_I, TULO_I, TULO_I)
TULO_LANE_OP(andi, TULO_I, TULO_I, TULO_I)
TULO_LANE_OP(ori, TULO_I, TULO_I, TULO_I)
TULO_LANE_OP(xori, TULO_I, TULO_I, TULO_I)
TULO_LANE_OP(shift_left, TULO_I, TULO_I, int)
TULO_LANE_OP(shift_right, TULO_I, TULO_I, int)
TULO_LANE_OP(gti, TULO_M, TULO_I, TULO_I)
TULO_LANE_OP(selecti, TULO_I, TULO_M, TULO_I, TULO_I)
TULO_LANE_OP(lane0i, int32_t, TULO_I)
TULO_LANE_OP(to_float, TULO_F, TULO_I)
TULO_LANE_OP(unsigned_to_float, TULO_F, TULO_I)
TULO_LANE_OP(truncate, TULO_I, TULO_F)
TULO_LANE_OP(load_points, void, const Vector3*, TULO_F*, TULO_F*, TULO_F*)
TULO_LANE_OP(point_counts, TULO_I, TULO_I)
TULO_LANE_OP(lane_bounds, void, TULO_F, TULO_F, TULO_F, TULO_F*)
TULO_LANE_OP(store_results, void, TULO_F, TULO_F, float*)
TULO_LANE_OP(two_smallest, NearestTwo, TULO_F, TULO_F)

// bounds<T> for the two orders the searches use.
template <class V, class = void>
struct has_bounds : std::false_type {};
template <class V>
struct has_bounds<
    V, std::void_t<decltype(static_cast<void (*)(const SearchStart&, TULO_F*)>(&V::template bounds<kBoundTerms>)),
                   decltype(static_cast<void (*)(const SearchStart&, TULO_F*)>(
                       &V::template bounds<kNearFirstBoundTerms>))>> : std::true_type {};

template <class V, class = void>
struct has_constants : std::false_type {};
template <class V>
struct has_constants<
    V, std::void_t<decltype(static_cast<int>(V::kWidth)), decltype(static_cast<bool>(V::kNearFirst)),
                   decltype(static_cast<bool>(V::kMaskRegisters)), decltype(static_cast<bool>(V::kCheapSelect)),
                   decltype(static_cast<bool>(V::kKeptApart)), decltype(static_cast<bool>(V::kEmulated)), typename V::F,
                   typename V::I, typename V::M>> : std::true_type {};

#undef TULO_F
#undef TULO_I
#undef TULO_M
#undef TULO_LANE_OP

}  // namespace lane_ops

// True when V provides the whole vocabulary; otherwise a compile error for
// each operation missing or of another type, naming it.
template <class V>
constexpr bool check_lane_ops() {
    using namespace lane_ops;
    static_assert(has_constants<V>::value,
                  "lane types F, I, M or constants kWidth, kNearFirst, kMaskRegisters, kCheapSelect, kKeptApart, "
                  "kEmulated missing");
    static_assert(has_set<V>::value, "lane operation missing or mistyped: static F set(float)");
    static_assert(has_load<V>::value, "lane operation missing or mistyped: static F load(const float*)");
    static_assert(has_store<V>::value, "lane operation missing or mistyped: static void store(float*, F)");
    static_assert(has_add<V>::value, "lane operation missing or mistyped: static F add(F, F)");
    static_assert(has_sub<V>::value, "lane operation missing or mistyped: static F sub(F, F)");
    static_assert(has_mul<V>::value, "lane operation missing or mistyped: static F mul(F, F)");
    static_assert(has_min<V>::value, "lane operation missing or mistyped: static F min(F, F)");
    static_assert(has_max<V>::value, "lane operation missing or mistyped: static F max(F, F)");
    static_assert(has_sqrt<V>::value, "lane operation missing or mistyped: static F sqrt(F)");
    static_assert(has_abs<V>::value, "lane operation missing or mistyped: static F abs(F)");
    static_assert(has_fma_exact<V>::value, "lane operation missing or mistyped: static F fma_exact(F, F, F)");
    static_assert(has_floor<V>::value, "lane operation missing or mistyped: static F floor(F)");
    static_assert(has_lane0<V>::value, "lane operation missing or mistyped: static float lane0(F)");
    static_assert(has_lt<V>::value, "lane operation missing or mistyped: static M lt(F, F)");
    static_assert(has_le<V>::value, "lane operation missing or mistyped: static M le(F, F)");
    static_assert(has_ge<V>::value, "lane operation missing or mistyped: static M ge(F, F)");
    static_assert(has_eq<V>::value, "lane operation missing or mistyped: static M eq(F, F)");
    static_assert(has_nge<V>::value, "lane operation missing or mistyped: static M nge(F, F)");
    static_assert(has_select<V>::value, "lane operation missing or mistyped: static F select(M, F, F)");
    static_assert(has_nan_where<V>::value, "lane operation missing or mistyped: static F nan_where(M, F)");
    static_assert(has_mask_and<V>::value, "lane operation missing or mistyped: static M mask_and(M, M)");
    static_assert(has_mask_or<V>::value, "lane operation missing or mistyped: static M mask_or(M, M)");
    static_assert(has_none<V>::value, "lane operation missing or mistyped: static bool none(M)");
    static_assert(has_bits<V>::value, "lane operation missing or mistyped: static uint32_t bits(M)");
    static_assert(has_seti<V>::value, "lane operation missing or mistyped: static I seti(int32_t)");
    static_assert(has_loadi<V>::value, "lane operation missing or mistyped: static I loadi(const int32_t*)");
    static_assert(has_storei<V>::value, "lane operation missing or mistyped: static void storei(int32_t*, I)");
    static_assert(has_addi<V>::value, "lane operation missing or mistyped: static I addi(I, I)");
    static_assert(has_muli<V>::value, "lane operation missing or mistyped: static I muli(I, I)");
    static_assert(has_andi<V>::value, "lane operation missing or mistyped: static I andi(I, I)");
    static_assert(has_ori<V>::value, "lane operation missing or mistyped: static I ori(I, I)");
    static_assert(has_xori<V>::value, "lane operation missing or mistyped: static I xori(I, I)");
    static_assert(has_shift_left<V>::value, "lane operation missing or mistyped: static I shift_left(I, int)");
    static_assert(has_shift_right<V>::value, "lane operation missing or mistyped: static I shift_right(I, int)");
    static_assert(has_gti<V>::value, "lane operation missing or mistyped: static M gti(I, I)");
    static_assert(has_selecti<V>::value, "lane operation missing or mistyped: static I selecti(M, I, I)");
    static_assert(has_lane0i<V>::value, "lane operation missing or mistyped: static int32_t lane0i(I)");
    static_assert(has_to_float<V>::value, "lane operation missing or mistyped: static F to_float(I)");
    static_assert(has_unsigned_to_float<V>::value, "lane operation missing or mistyped: static F unsigned_to_float(I)");
    static_assert(has_truncate<V>::value, "lane operation missing or mistyped: static I truncate(F)");
    static_assert(has_load_points<V>::value,
                  "lane operation missing or mistyped: static void load_points(const Vector3*, F*, F*, F*)");
    static_assert(has_point_counts<V>::value, "lane operation missing or mistyped: static I point_counts(I)");
    static_assert(has_bounds<V>::value,
                  "lane operation missing or mistyped: template <const BoundTerms&> static void bounds(const "
                  "SearchStart&, F*)");
    static_assert(has_lane_bounds<V>::value,
                  "lane operation missing or mistyped: static void lane_bounds(F, F, F, F*)");
    static_assert(has_store_results<V>::value,
                  "lane operation missing or mistyped: static void store_results(F, F, float*)");
    static_assert(has_two_smallest<V>::value,
                  "lane operation missing or mistyped: static NearestTwo two_smallest(F, F)");
    static_assert(kCubeLanes % V::kWidth == 0, "kWidth must divide the 32 cube lanes");
    return true;
}

}  // namespace kernels
}  // namespace tulo

#if defined(__GNUC__) && !defined(__clang__)
#    pragma GCC diagnostic pop
#endif

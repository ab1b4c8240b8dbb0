// The portable kernel's lanes on x86-64 (and WebAssembly, whose compilers
// translate SSE2): the lane operations of lane_ops.h on 4 float lanes with
// SSE2, the instruction set of every x86-64 CPU. Operations SSE2 lacks (a
// 32-bit multiply, floor, gathers, double lanes worth the while) are
// composed from it or formed lane by lane. On WebAssembly the few whose
// SSE2 translation is slow (a conversion formed lane by lane, a multiply
// and floor composed of several instructions) use WebAssembly's own
// instructions, with the same results.
#pragma once

#include <emmintrin.h>
#if defined(__wasm_simd128__)
#    include <wasm_simd128.h>
#    define TULO_WASM_LANES 1
#else
#    define TULO_WASM_LANES 0
#endif

#include <cmath>
#include <cstdint>

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/scalar_bounds.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {
namespace portable {
namespace {

struct Lanes {
    static constexpr int kWidth = 4;
    static constexpr bool kNearFirst = false;
    static constexpr bool kMaskRegisters = false;
    static constexpr bool kCheapSelect = false;
    static constexpr bool kKeptApart = false;
    static constexpr bool kEmulated = false;
    using F = __m128;
    using I = __m128i;
    using M = __m128;  // all-ones lanes

    static F set(float v) { return _mm_set1_ps(v); }
    static F load(const float* p) { return _mm_load_ps(p); }
    static void store(float* p, F v) { _mm_store_ps(p, v); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
#if TULO_WASM_LANES
    // pmin(x, y) is y < x ? y : x, pmax(x, y) is x < y ? y : x.
    static F min(F a, F b) { return wasm_f32x4_pmin(b, a); }
    static F max(F a, F b) { return wasm_f32x4_pmax(b, a); }
#else
    static F min(F a, F b) { return _mm_min_ps(a, b); }
    static F max(F a, F b) { return _mm_max_ps(a, b); }
#endif
    static F sqrt(F a) { return _mm_sqrt_ps(a); }
    static F abs(F a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
    // Without a fused instruction: the product is exact where this is used,
    // so the addition's rounding is the only one either way.
    static F fma_exact(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    // Below 2^23 in size: the truncation, one lower where it lies above a,
    // with a's sign (so that -0 stays -0); from 2^23 on (and NaN) a itself,
    // already whole.
    static F floor(F a) {
#if TULO_WASM_LANES
        return wasm_f32x4_floor(a);
#else
        const F sign = _mm_and_ps(a, _mm_set1_ps(-0.0f));
        const F small = _mm_cmplt_ps(abs(a), _mm_set1_ps(8388608.0f));
        const F whole = _mm_cvtepi32_ps(_mm_cvttps_epi32(a));
        const F lowered = _mm_or_ps(_mm_sub_ps(whole, _mm_and_ps(_mm_cmpgt_ps(whole, a), _mm_set1_ps(1.0f))), sign);
        return select(small, lowered, a);
#endif
    }
    static float lane0(F a) { return _mm_cvtss_f32(a); }
    static M lt(F a, F b) { return _mm_cmplt_ps(a, b); }
    static M le(F a, F b) { return _mm_cmple_ps(a, b); }
    static M ge(F a, F b) { return _mm_cmpge_ps(a, b); }
    static M eq(F a, F b) { return _mm_cmpeq_ps(a, b); }
    static M nge(F a, F b) { return _mm_cmpnge_ps(a, b); }
#if TULO_WASM_LANES
    static F select(M m, F a, F b) { return wasm_v128_bitselect(a, b, m); }
#else
    static F select(M m, F a, F b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); }
#endif
    static F nan_where(M m, F a) { return _mm_or_ps(a, m); }  // all-ones is a NaN

    static M mask_and(M a, M b) { return _mm_and_ps(a, b); }
    static M mask_or(M a, M b) { return _mm_or_ps(a, b); }
    static bool none(M m) { return _mm_movemask_ps(m) == 0; }
    static uint32_t bits(M m) { return static_cast<uint32_t>(_mm_movemask_ps(m)); }

    static I seti(int32_t v) { return _mm_set1_epi32(v); }
    static I loadi(const int32_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static void storei(int32_t* p, I a) { _mm_store_si128(reinterpret_cast<__m128i*>(p), a); }
    static I addi(I a, I b) { return _mm_add_epi32(a, b); }
    // The low halves of the 64-bit products of the even and of the odd lanes.
    static I muli(I a, I b) {
#if TULO_WASM_LANES
        return wasm_i32x4_mul(a, b);
#else
        const __m128i even = _mm_mul_epu32(a, b);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
        return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                  _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
#endif
    }
    static I andi(I a, I b) { return _mm_and_si128(a, b); }
    static I ori(I a, I b) { return _mm_or_si128(a, b); }
    static I xori(I a, I b) { return _mm_xor_si128(a, b); }
    static I shift_left(I a, int n) { return _mm_sll_epi32(a, _mm_cvtsi32_si128(n)); }
    static I shift_right(I a, int n) { return _mm_srl_epi32(a, _mm_cvtsi32_si128(n)); }
    static M gti(I a, I b) { return _mm_castsi128_ps(_mm_cmpgt_epi32(a, b)); }
    static I selecti(M m, I a, I b) {
#if TULO_WASM_LANES
        return wasm_v128_bitselect(a, b, m);
#else
        const I mi = _mm_castps_si128(m);
        return _mm_or_si128(_mm_and_si128(mi, a), _mm_andnot_si128(mi, b));
#endif
    }
    static int32_t lane0i(I a) { return _mm_cvtsi128_si32(a); }

    static F to_float(I a) { return _mm_cvtepi32_ps(a); }
    // invariant 11
    static F unsigned_to_float(I a) {
        const F high = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srli_epi32(a, 16)), _mm_set1_ps(65536.0f));
        const F low = _mm_cvtepi32_ps(_mm_and_si128(a, _mm_set1_epi32(0xFFFF)));
        return _mm_add_ps(high, low);
    }
    // NaN and out-of-range lanes convert to INT32_MIN (the "integer indefinite").
    static I truncate(F a) {
#if TULO_WASM_LANES
        // Saturating, 0 for NaN: lanes outside [-2^31, 2^31) and NaN replaced.
        const v128_t in = wasm_v128_and(wasm_f32x4_ge(a, wasm_f32x4_splat(-2147483648.0f)),
                                        wasm_f32x4_lt(a, wasm_f32x4_splat(2147483648.0f)));
        return wasm_v128_bitselect(wasm_i32x4_trunc_sat_f32x4(a), wasm_i32x4_splat(INT32_MIN), in);
#else
        return _mm_cvttps_epi32(a);
#endif
    }

    static void load_points(const Vector3* p, F* x, F* y, F* z) {
        *x = _mm_setr_ps(p[0].x, p[1].x, p[2].x, p[3].x);
        *y = _mm_setr_ps(p[0].y, p[1].y, p[2].y, p[3].y);
        *z = _mm_setr_ps(p[0].z, p[1].z, p[2].z, p[3].z);
    }
    static I point_counts(I hash) {
        alignas(16) uint32_t h[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(h), hash);
        return _mm_setr_epi32(cube_point_counts[h[0] >> 24], cube_point_counts[h[1] >> 24],
                              cube_point_counts[h[2] >> 24], cube_point_counts[h[3] >> 24]);
    }
    template <const BoundTerms& T>
    static void bounds(const SearchStart& s, F* r) {
        alignas(16) float b[kCubeLanes];
        scalar_cube_bounds<T>(s, b);
        for (int v = 0; v < kCubeLanes / kWidth; ++v) r[v] = load(b + kWidth * v);
    }
    // Two double bounds as the low two floats, rounded toward minus
    // infinity: the nearest float, one step lower where it lies above the
    // bound (the bounds are never negative, so the step is one less in the
    // bit pattern; invariant 4).
    static __m128 round_down(__m128d bound) {
        const __m128 nearest = _mm_cvtpd_ps(bound);
        const __m128d above = _mm_cmpgt_pd(_mm_cvtps_pd(nearest), bound);
        const __m128i step = _mm_shuffle_epi32(_mm_castpd_si128(above), _MM_SHUFFLE(3, 3, 2, 0));
        return _mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(nearest), step));
    }
    // Per lane, in double precision, two lanes at a time.
    static void lane_bounds(F fx, F fy, F fz, F* r) {
        __m128 half[2][kCubes];
        for (int h = 0; h < 2; ++h) {
            auto widen = [h](F v) { return _mm_cvtps_pd(h == 0 ? v : _mm_movehl_ps(v, v)); };
            const __m128d one = _mm_set1_pd(1.0);
            const __m128d x = widen(fx), y = widen(fy), z = widen(fz);
            const __m128d mx = _mm_sub_pd(one, x), my = _mm_sub_pd(one, y), mz = _mm_sub_pd(one, z);
            const __m128d terms[7] = {_mm_setzero_pd(),   _mm_mul_pd(x, x), _mm_mul_pd(mx, mx), _mm_mul_pd(y, y),
                                      _mm_mul_pd(my, my), _mm_mul_pd(z, z), _mm_mul_pd(mz, mz)};
            each_culling_bound(
                terms, [](__m128d a, __m128d b) { return _mm_add_pd(a, b); },
                [&](int n, __m128d bound) { half[h][n] = round_down(bound); });
        }
        for (int n = 1; n < kCubes; ++n) r[n] = _mm_movelh_ps(half[0][n], half[1][n]);
    }
    // sqrtf(v) * DENSITY_UNSCALE of every lane, interleaved.
    static void store_results(F lo, F hi, float* out) {
        const F unscale = set(DENSITY_UNSCALE);
        lo = mul(sqrt(lo), unscale);
        hi = mul(sqrt(hi), unscale);
        _mm_storeu_ps(out, _mm_unpacklo_ps(lo, hi));
        _mm_storeu_ps(out + 4, _mm_unpackhi_ps(lo, hi));
    }
    // Pairs merge in a tree: lane i with lane i + 2, then + 1 (invariant 1).
    static NearestTwo two_smallest(F lo, F hi) {
        auto merge = [&](F lo2, F hi2) {
            const F second = min(max(lo, lo2), min(hi, hi2));
            lo = min(lo, lo2);
            hi = second;
        };
        merge(_mm_shuffle_ps(lo, lo, _MM_SHUFFLE(1, 0, 3, 2)), _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(1, 0, 3, 2)));
        merge(_mm_shuffle_ps(lo, lo, _MM_SHUFFLE(2, 3, 0, 1)), _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(2, 3, 0, 1)));
        return NearestTwo{lane0(lo), lane0(hi)};
    }
};

}  // namespace
}  // namespace portable
}  // namespace kernels
}  // namespace tulo

#undef TULO_WASM_LANES

// AVX2 with FMA: the lane operations of lane_ops.h on 8 float lanes, for
// 32 cube lanes in four 256-bit vectors. Compiled with AVX2 and FMA enabled
// and only ever run on a CPU that has them (kernels.cpp).
#pragma once

#include <immintrin.h>

#include <cmath>

#if defined(TULO_KERNEL_TARGET)
#    error "one kernel's lanes per translation unit"
#endif
#define TULO_KERNEL_TARGET avx2

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {
namespace avx2 {
namespace {

// Each culling bound is (t1 + t2) + t3 over the terms table of BoundTerms,
// {0, dx2, mx2, dy2 | my2, dz2, mz2, +inf}, held as two vectors of four
// doubles. For four lanes (a half vector) a term's indices are known at
// compile time, so it is one or two immediate permutes and a blend; a term
// that is 0 in all four lanes is left out (adding 0 changes no bound).
template <const BoundTerms& T, int kTerm>
constexpr int64_t bound_term(int lane) {
    return kTerm == 0 ? T.t1[lane] : kTerm == 1 ? T.t2[lane] : T.t3[lane];
}

template <const BoundTerms& T, int kHalf, int kTerm>
constexpr int term_permute() {  // index within its table vector, two bits a lane
    int imm = 0;
    for (int k = 0; k < 4; ++k) imm |= static_cast<int>(bound_term<T, kTerm>(4 * kHalf + k) & 3) << (2 * k);
    return imm;
}

template <const BoundTerms& T, int kHalf, int kTerm>
constexpr int term_upper() {  // lanes whose term lies in the upper table vector
    int mask = 0;
    for (int k = 0; k < 4; ++k) mask |= (bound_term<T, kTerm>(4 * kHalf + k) >= 4 ? 1 : 0) << k;
    return mask;
}

template <const BoundTerms& T, int kHalf, int kTerm>
constexpr bool term_all_zero() {
    for (int k = 0; k < 4; ++k) {
        if (bound_term<T, kTerm>(4 * kHalf + k) != 0) return false;
    }
    return true;
}

template <const BoundTerms& T, int kHalf, int kTerm>
inline __m256d bound_term_vector(__m256d lower, __m256d upper) {
    constexpr int kPermute = term_permute<T, kHalf, kTerm>(), kUpper = term_upper<T, kHalf, kTerm>();
    if constexpr (kUpper == 0) {
        return _mm256_permute4x64_pd(lower, kPermute);
    } else if constexpr (kUpper == 15) {
        return _mm256_permute4x64_pd(upper, kPermute);
    } else {
        return _mm256_blend_pd(_mm256_permute4x64_pd(lower, kPermute), _mm256_permute4x64_pd(upper, kPermute), kUpper);
    }
}

// The four bounds of half vector kHalf, summed in double as BoundTerms says.
template <const BoundTerms& T, int kHalf>
inline __m256d half_bound_sum(__m256d lower, __m256d upper) {
    __m256d sum = bound_term_vector<T, kHalf, 0>(lower, upper);
    if constexpr (!term_all_zero<T, kHalf, 1>()) sum = _mm256_add_pd(sum, bound_term_vector<T, kHalf, 1>(lower, upper));
    if constexpr (!term_all_zero<T, kHalf, 2>()) sum = _mm256_add_pd(sum, bound_term_vector<T, kHalf, 2>(lower, upper));
    return sum;
}

struct Lanes {
    static constexpr int kWidth = 8;
    static constexpr bool kNearFirst = true;  // throughput binds: each vector skipped pays
    static constexpr bool kMaskRegisters = false;
    static constexpr bool kCheapSelect = true;
    static constexpr bool kKeptApart = true;
    static constexpr bool kEmulated = false;
    using F = __m256;
    using I = __m256i;
    using M = __m256;  // all-ones lanes

    static F set(float v) { return _mm256_set1_ps(v); }
    static F load(const float* p) { return _mm256_load_ps(p); }
    static void store(float* p, F v) { _mm256_store_ps(p, v); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F min(F a, F b) { return _mm256_min_ps(a, b); }
    static F max(F a, F b) { return _mm256_max_ps(a, b); }
    static F sqrt(F a) { return _mm256_sqrt_ps(a); }
    static F abs(F a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    static F fma_exact(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static M lt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static M le(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    static M ge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static M nge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NGE_UQ); }  // not a >= b: true where either is NaN
    static M eq(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    static F select(M m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
    static F nan_where(M m, F a) { return _mm256_or_ps(a, m); }  // all-ones is a NaN
    static float lane0(F a) { return _mm256_cvtss_f32(a); }

    static I seti(int32_t v) { return _mm256_set1_epi32(v); }
    static I loadi(const int32_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static I addi(I a, I b) { return _mm256_add_epi32(a, b); }
    static I andi(I a, I b) { return _mm256_and_si256(a, b); }
    static M gti(I a, I b) { return _mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b)); }
    static I selecti(M m, I a, I b) { return _mm256_blendv_epi8(b, a, _mm256_castps_si256(m)); }
    static F to_float(I a) { return _mm256_cvtepi32_ps(a); }
    // Both halves convert exactly and the high one scales exactly, so only
    // the fused addition rounds: the correctly rounded float of the value.
    static F unsigned_to_float(I a) {
        const F high = _mm256_cvtepi32_ps(_mm256_srli_epi32(a, 16));
        const F low = _mm256_cvtepi32_ps(_mm256_and_si256(a, _mm256_set1_epi32(0xFFFF)));
        return fma_exact(high, _mm256_set1_ps(65536.0f), low);
    }

    static F floor(F a) { return _mm256_floor_ps(a); }
    // NaN and out-of-range lanes convert to INT32_MIN (the "integer indefinite").
    static I truncate(F a) { return _mm256_cvttps_epi32(a); }
    static I muli(I a, I b) { return _mm256_mullo_epi32(a, b); }
    static I ori(I a, I b) { return _mm256_or_si256(a, b); }
    static I xori(I a, I b) { return _mm256_xor_si256(a, b); }
    static int32_t lane0i(I a) { return _mm256_cvtsi256_si32(a); }
    static I shift_left(I a, int n) { return _mm256_slli_epi32(a, n); }
    static I shift_right(I a, int n) { return _mm256_srli_epi32(a, n); }
    static void storei(int32_t* p, I a) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), a); }
    static F gather(const float* base, I index) { return _mm256_i32gather_ps(base, index, 4); }
    // x, y and z of 8 consecutive points.
    static void load_points(const Vector3* p, F* x, F* y, F* z) {
        const I index = _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21);
        *x = gather(&p->x, index);
        *y = gather(&p->x + 1, index);
        *z = gather(&p->x + 2, index);
    }

    static M mask_and(M a, M b) { return _mm256_and_ps(a, b); }
    static M mask_or(M a, M b) { return _mm256_or_ps(a, b); }
    static bool none(M m) { return _mm256_testz_ps(m, m) != 0; }
    static uint32_t bits(M m) { return static_cast<uint32_t>(_mm256_movemask_ps(m)); }

    static I point_counts(I hash) { return _mm256_i32gather_epi32(cube_point_counts, _mm256_srli_epi32(hash, 24), 4); }

    // Four double bounds as floats rounded toward minus infinity: the nearest
    // float, lowered by one step where it lies above the bound (the bounds
    // are never negative, so the step is one less in the bit pattern).
    static __m128 round_down(__m256d bound) {
        const __m128 nearest = _mm256_cvtpd_ps(bound);
        const __m256d above = _mm256_cmp_pd(_mm256_cvtps_pd(nearest), bound, _CMP_GT_OQ);
        const __m128i step = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(above), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
        return _mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(nearest), step));
    }

    template <const BoundTerms& T>
    static void bounds(const SearchStart& s, F* r) {
        const __m256d lower = _mm256_setr_pd(0.0, s.dx2, s.mx2, s.dy2);
        const __m256d upper = _mm256_setr_pd(s.my2, s.dz2, s.mz2, HUGE_VAL);
        r[0] = _mm256_set_m128(round_down(half_bound_sum<T, 1>(lower, upper)),
                               round_down(half_bound_sum<T, 0>(lower, upper)));
        r[1] = _mm256_set_m128(round_down(half_bound_sum<T, 3>(lower, upper)),
                               round_down(half_bound_sum<T, 2>(lower, upper)));
        r[2] = _mm256_set_m128(round_down(half_bound_sum<T, 5>(lower, upper)),
                               round_down(half_bound_sum<T, 4>(lower, upper)));
        // Lanes 27..31 stand for no cube: +inf, never visited.
        static_assert(kCubes == 27 && kCubeLanes == 32, "the last half vector holds no cube");
        r[3] = _mm256_set_m128(_mm_set1_ps(HUGE_VALF), round_down(half_bound_sum<T, 6>(lower, upper)));
        r[0] = _mm256_blend_ps(r[0], _mm256_set1_ps(-HUGE_VALF), 1);  // the own cube
    }

    // Per lane, in double precision, four lanes at a time.
    static void lane_bounds(F fx, F fy, F fz, F* r) {
        __m128 half[2][kCubes];
        for (int h = 0; h < 2; ++h) {
            auto widen = [h](F v) {
                return _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
            };
            const __m256d one = _mm256_set1_pd(1.0);
            const __m256d x = widen(fx), y = widen(fy), z = widen(fz);
            const __m256d mx = _mm256_sub_pd(one, x), my = _mm256_sub_pd(one, y), mz = _mm256_sub_pd(one, z);
            const __m256d terms[7] = {_mm256_setzero_pd(),  _mm256_mul_pd(x, x),   _mm256_mul_pd(mx, mx),
                                      _mm256_mul_pd(y, y),  _mm256_mul_pd(my, my), _mm256_mul_pd(z, z),
                                      _mm256_mul_pd(mz, mz)};
            each_culling_bound(
                terms, [](__m256d a, __m256d b) { return _mm256_add_pd(a, b); },
                [&](int n, __m256d bound) { half[h][n] = round_down(bound); });
        }
        for (int n = 1; n < kCubes; ++n) r[n] = _mm256_set_m128(half[1][n], half[0][n]);
    }

    // sqrtf(v) * DENSITY_UNSCALE of every lane, interleaved.
    static void store_results(F lo, F hi, float* out) {
        const F unscale = set(DENSITY_UNSCALE);
        lo = mul(sqrt(lo), unscale);
        hi = mul(sqrt(hi), unscale);
        // unpack interleaves within 128-bit halves: lanes 0-1, 4-5 and 2-3, 6-7.
        const F a = _mm256_unpacklo_ps(lo, hi), b = _mm256_unpackhi_ps(lo, hi);
        _mm256_storeu_ps(out, _mm256_permute2f128_ps(a, b, 0x20));
        _mm256_storeu_ps(out + 8, _mm256_permute2f128_ps(a, b, 0x31));
    }

    // Pairs merge in a tree: lane i with lane i + 4, then + 2, + 1.
    static NearestTwo two_smallest(F lo, F hi) {
        auto merge = [&](F lo2, F hi2) {
            const F second = min(max(lo, lo2), min(hi, hi2));
            lo = min(lo, lo2);
            hi = second;
        };
        merge(_mm256_permute2f128_ps(lo, lo, 1), _mm256_permute2f128_ps(hi, hi, 1));
        merge(_mm256_permute_ps(lo, _MM_SHUFFLE(1, 0, 3, 2)), _mm256_permute_ps(hi, _MM_SHUFFLE(1, 0, 3, 2)));
        merge(_mm256_permute_ps(lo, _MM_SHUFFLE(2, 3, 0, 1)), _mm256_permute_ps(hi, _MM_SHUFFLE(2, 3, 0, 1)));
        return NearestTwo{lane0(lo), lane0(hi)};
    }
};

}  // namespace
}  // namespace avx2
}  // namespace kernels
}  // namespace tulo

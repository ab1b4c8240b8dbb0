// AVX-512 (F, BW, DQ, VL): the lane operations of lane_ops.h on 16 float
// lanes, for 32 cube lanes in two 512-bit vectors. Compiled with AVX-512
// enabled and only ever run on a CPU that has it (kernels.cpp).
#pragma once

#include <immintrin.h>

#include <cmath>

#if defined(TULO_KERNEL_TARGET)
#    error "one kernel's lanes per translation unit"
#endif
#define TULO_KERNEL_TARGET avx512

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {
namespace avx512 {
namespace {

// The count table packed eight 4-bit entries to a 32-bit word, 32 words in
// two registers: the top 5 bits of a hash pick the word, the next 3 the entry.
struct PackedCounts {
    alignas(64) uint32_t words[32];
};

constexpr PackedCounts pack_counts() {
    PackedCounts p{};
    for (int i = 0; i < 256; ++i) p.words[i / 8] |= static_cast<uint32_t>(cube_point_counts[i]) << (4 * (i % 8));
    return p;
}

constexpr PackedCounts kPackedCounts = pack_counts();

struct Lanes {
    static constexpr int kWidth = 16;
    static constexpr bool kNearFirst = false;  // latency binds: the longer start costs more than skipping saves
    static constexpr bool kMaskRegisters = true;
    static constexpr bool kCheapSelect = true;
    static constexpr bool kKeptApart = false;
    static constexpr bool kEmulated = false;
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;

    static F set(float v) { return _mm512_set1_ps(v); }
    static F load(const float* p) { return _mm512_load_ps(p); }
    static void store(float* p, F v) { _mm512_store_ps(p, v); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F min(F a, F b) { return _mm512_min_ps(a, b); }
    static F max(F a, F b) { return _mm512_max_ps(a, b); }
    static F sqrt(F a) { return _mm512_sqrt_ps(a); }
    static F abs(F a) {
        return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7FFFFFFF)));
    }
    static F fma_exact(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static M lt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static M le(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
    static M ge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
    static M nge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NGE_UQ); }  // not a >= b: true where either is NaN
    static M eq(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
    static F select(M m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
    static F nan_where(M m, F a) { return _mm512_mask_mov_ps(a, m, _mm512_set1_ps(NAN)); }
    static float lane0(F a) { return _mm512_cvtss_f32(a); }

    static I seti(int32_t v) { return _mm512_set1_epi32(v); }
    static I loadi(const int32_t* p) { return _mm512_load_si512(p); }
    static I addi(I a, I b) { return _mm512_add_epi32(a, b); }
    static I andi(I a, I b) { return _mm512_and_si512(a, b); }
    static M gti(I a, I b) { return _mm512_cmpgt_epi32_mask(a, b); }
    static I selecti(M m, I a, I b) { return _mm512_mask_blend_epi32(m, b, a); }
    static F to_float(I a) { return _mm512_cvtepi32_ps(a); }
    static F unsigned_to_float(I a) { return _mm512_cvtepu32_ps(a); }
    static F floor(F a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // NaN and out-of-range lanes convert to INT32_MIN (the "integer indefinite").
    static I truncate(F a) { return _mm512_cvttps_epi32(a); }
    static I muli(I a, I b) { return _mm512_mullo_epi32(a, b); }
    static I ori(I a, I b) { return _mm512_or_si512(a, b); }
    static I xori(I a, I b) { return _mm512_xor_si512(a, b); }
    static int32_t lane0i(I a) { return _mm_cvtsi128_si32(_mm512_castsi512_si128(a)); }
    static I shift_left(I a, int n) { return _mm512_slli_epi32(a, static_cast<unsigned>(n)); }
    static I shift_right(I a, int n) { return _mm512_srli_epi32(a, static_cast<unsigned>(n)); }
    static void storei(int32_t* p, I a) { _mm512_store_si512(p, a); }
    // x, y and z of 16 consecutive points.
    static void load_points(const Vector3* p, F* x, F* y, F* z) {
        const float* f = &p->x;
        const F a = _mm512_loadu_ps(f), b = _mm512_loadu_ps(f + 16), c = _mm512_loadu_ps(f + 32);
        // Lane i of x is float 3i of a:b:c, of y 3i + 1, of z 3i + 2.
        const I ab_x = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 0, 0, 0, 0, 0);
        const I ab_y = _mm512_setr_epi32(1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 0, 0, 0, 0, 0);
        const I ab_z = _mm512_setr_epi32(2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 0, 0, 0, 0, 0, 0);
        const I c_x = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 20, 23, 26, 29);
        const I c_y = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 21, 24, 27, 30);
        const I c_z = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 19, 22, 25, 28, 31);
        *x = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ab_x, b), c_x, c);
        *y = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ab_y, b), c_y, c);
        *z = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ab_z, b), c_z, c);
    }

    static M mask_and(M a, M b) { return static_cast<M>(a & b); }
    static M mask_or(M a, M b) { return static_cast<M>(a | b); }
    static bool none(M m) { return m == 0; }
    static uint32_t bits(M m) { return m; }

    static I point_counts(I hash) {
        const I word = _mm512_permutex2var_epi32(_mm512_load_si512(kPackedCounts.words), _mm512_srli_epi32(hash, 27),
                                                 _mm512_load_si512(kPackedCounts.words + 16));
        const I shift = _mm512_and_si512(_mm512_srli_epi32(hash, 22), _mm512_set1_epi32(28));
        return _mm512_and_si512(_mm512_srlv_epi32(word, shift), _mm512_set1_epi32(0xF));
    }

    // The terms table in one register, each lane's terms picked by index;
    // the float conversion rounds toward minus infinity itself.
    template <const BoundTerms& T>
    static void bounds(const SearchStart& s, F* r) {
        const BoundTerms& b = T;
        const __m512d terms = _mm512_setr_pd(0.0, s.dx2, s.mx2, s.dy2, s.my2, s.dz2, s.mz2, HUGE_VAL);
        __m256 half[kCubeLanes / 8];
        for (int g = 0; g < kCubeLanes / 8; ++g) {
            const __m512d t1 = _mm512_permutexvar_pd(_mm512_load_si512(b.t1 + 8 * g), terms);
            const __m512d t2 = _mm512_permutexvar_pd(_mm512_load_si512(b.t2 + 8 * g), terms);
            const __m512d t3 = _mm512_permutexvar_pd(_mm512_load_si512(b.t3 + 8 * g), terms);
            half[g] = _mm512_cvt_roundpd_ps(_mm512_add_pd(_mm512_add_pd(t1, t2), t3),
                                            _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        }
        for (int v = 0; v < kCubeLanes / kWidth; ++v) {
            r[v] = _mm512_insertf32x8(_mm512_castps256_ps512(half[2 * v]), half[2 * v + 1], 1);
        }
        r[0] = _mm512_mask_mov_ps(r[0], 1, _mm512_set1_ps(-HUGE_VALF));  // the own cube
    }

    // Per lane, in double precision; the conversion to float rounds toward
    // minus infinity itself.
    static void lane_bounds(F fx, F fy, F fz, F* r) {
        __m256 half[2][kCubes];
        for (int h = 0; h < 2; ++h) {
            auto widen = [h](F v) {
                return _mm512_cvtps_pd(h == 0 ? _mm512_castps512_ps256(v) : _mm512_extractf32x8_ps(v, 1));
            };
            const __m512d one = _mm512_set1_pd(1.0);
            const __m512d x = widen(fx), y = widen(fy), z = widen(fz);
            const __m512d mx = _mm512_sub_pd(one, x), my = _mm512_sub_pd(one, y), mz = _mm512_sub_pd(one, z);
            const __m512d terms[7] = {_mm512_setzero_pd(),  _mm512_mul_pd(x, x),   _mm512_mul_pd(mx, mx),
                                      _mm512_mul_pd(y, y),  _mm512_mul_pd(my, my), _mm512_mul_pd(z, z),
                                      _mm512_mul_pd(mz, mz)};
            each_culling_bound(
                terms, [](__m512d a, __m512d b) { return _mm512_add_pd(a, b); },
                [&](int n, __m512d bound) {
                    half[h][n] = _mm512_cvt_roundpd_ps(bound, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
                });
        }
        for (int n = 1; n < kCubes; ++n) r[n] = _mm512_insertf32x8(_mm512_castps256_ps512(half[0][n]), half[1][n], 1);
    }

    // sqrtf(v) * DENSITY_UNSCALE of every lane, interleaved.
    static void store_results(F lo, F hi, float* out) {
        const F unscale = set(DENSITY_UNSCALE);
        lo = mul(sqrt(lo), unscale);
        hi = mul(sqrt(hi), unscale);
        const I first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const I second = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        _mm512_storeu_ps(out, _mm512_permutex2var_ps(lo, first, hi));
        _mm512_storeu_ps(out + 16, _mm512_permutex2var_ps(lo, second, hi));
    }

    // Pairs merge in a tree: lane i with lane i + 8, then + 4, + 2, + 1.
    static NearestTwo two_smallest(F lo, F hi) {
        auto merge = [&](F lo2, F hi2) {
            const F second = min(max(lo, lo2), min(hi, hi2));
            lo = min(lo, lo2);
            hi = second;
        };
        merge(_mm512_shuffle_f32x4(lo, lo, _MM_SHUFFLE(1, 0, 3, 2)),
              _mm512_shuffle_f32x4(hi, hi, _MM_SHUFFLE(1, 0, 3, 2)));
        merge(_mm512_shuffle_f32x4(lo, lo, _MM_SHUFFLE(2, 3, 0, 1)),
              _mm512_shuffle_f32x4(hi, hi, _MM_SHUFFLE(2, 3, 0, 1)));
        merge(_mm512_permute_ps(lo, _MM_SHUFFLE(1, 0, 3, 2)), _mm512_permute_ps(hi, _MM_SHUFFLE(1, 0, 3, 2)));
        merge(_mm512_permute_ps(lo, _MM_SHUFFLE(2, 3, 0, 1)), _mm512_permute_ps(hi, _MM_SHUFFLE(2, 3, 0, 1)));
        return NearestTwo{lane0(lo), lane0(hi)};
    }
};

}  // namespace
}  // namespace avx512
}  // namespace kernels
}  // namespace tulo

// The lane formulas' traits for SSE2 (see lanes.h): four lanes, the
// instruction set of every x86-64 CPU, used by the portable kernel.
#pragma once

#include <emmintrin.h>

#include "cellular/lanes.h"

namespace tulo {
namespace detail {
namespace {

// The lane formulas' traits for SSE2 (see lanes.h).
struct Sse2 {
    static constexpr int kWidth = 4;
    using F = __m128;
    using I = __m128i;
    using M = __m128;  // all-ones lanes

    static F set(float v) { return _mm_set1_ps(v); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F max(F a, F b) { return _mm_max_ps(a, b); }
    static F sqrt(F a) { return _mm_sqrt_ps(a); }
    static F abs(F a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
    // Without a fused instruction: the product is exact where this is used,
    // so the addition's rounding is the only one either way.
    static F fma_exact(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static M le(F a, F b) { return _mm_cmple_ps(a, b); }
    static M ge(F a, F b) { return _mm_cmpge_ps(a, b); }
    static M eq(F a, F b) { return _mm_cmpeq_ps(a, b); }
    static F select(M m, F a, F b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); }
    static M mask_and(M a, M b) { return _mm_and_ps(a, b); }
    static M mask_or(M a, M b) { return _mm_or_ps(a, b); }
    // Both halves convert exactly and the high one scales exactly, so only
    // the addition rounds: the correctly rounded float of the value.
    static F unsigned_to_float(I a) {
        const F high = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srli_epi32(a, 16)), _mm_set1_ps(65536.0f));
        const F low = _mm_cvtepi32_ps(_mm_and_si128(a, _mm_set1_epi32(0xFFFF)));
        return _mm_add_ps(high, low);
    }
};

}  // namespace
}  // namespace detail
}  // namespace tulo

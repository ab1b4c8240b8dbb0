// NEON (aarch64 Advanced SIMD): the lane operations of lane_ops.h on 4
// float lanes. Where an instruction's rule differs from the vocabulary's
// the operation is composed: NEON's min and max propagate NaN, so min and
// max are a comparison and a select; its float-to-integer conversion
// saturates, so out-of-range and NaN lanes are replaced by INT32_MIN.
#pragma once

#include <arm_neon.h>

#include <cmath>
#include <cstdint>

#if defined(TULO_KERNEL_TARGET)
#    error "one kernel's lanes per translation unit"
#endif
#define TULO_KERNEL_TARGET neon

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/scalar_bounds.h"
#include "cellular/kernels/neighbourhood.h"

namespace tulo {
namespace kernels {
namespace neon {
namespace {

struct Lanes {
    static constexpr int kWidth = 4;
    static constexpr bool kNearFirst = false;
    static constexpr bool kMaskRegisters = false;
    static constexpr bool kCheapSelect = true;
    static constexpr bool kKeptApart = false;
    static constexpr bool kEmulated = false;
    using F = float32x4_t;
    using I = int32x4_t;
    using M = uint32x4_t;  // all-ones lanes

    static F set(float v) { return vdupq_n_f32(v); }
    static F load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, F v) { vst1q_f32(p, v); }
    static F add(F a, F b) { return vaddq_f32(a, b); }
    static F sub(F a, F b) { return vsubq_f32(a, b); }
    static F mul(F a, F b) { return vmulq_f32(a, b); }
    static F min(F a, F b) { return vbslq_f32(vcltq_f32(a, b), a, b); }
    static F max(F a, F b) { return vbslq_f32(vcgtq_f32(a, b), a, b); }
    static F sqrt(F a) { return vsqrtq_f32(a); }
    static F abs(F a) { return vabsq_f32(a); }
    // The product is exact where this is used: one rounding, fused or not.
    static F fma_exact(F a, F b, F c) { return vfmaq_f32(c, a, b); }
    static F floor(F a) { return vrndmq_f32(a); }
    static float lane0(F a) { return vgetq_lane_f32(a, 0); }
    static M lt(F a, F b) { return vcltq_f32(a, b); }
    static M le(F a, F b) { return vcleq_f32(a, b); }
    static M ge(F a, F b) { return vcgeq_f32(a, b); }
    static M eq(F a, F b) { return vceqq_f32(a, b); }
    static M nge(F a, F b) { return vmvnq_u32(vcgeq_f32(a, b)); }
    static F select(M m, F a, F b) { return vbslq_f32(m, a, b); }
    static F nan_where(M m, F a) { return vreinterpretq_f32_u32(vorrq_u32(vreinterpretq_u32_f32(a), m)); }

    static M mask_and(M a, M b) { return vandq_u32(a, b); }
    static M mask_or(M a, M b) { return vorrq_u32(a, b); }
    static bool none(M m) { return vmaxvq_u32(m) == 0; }
    static uint32_t bits(M m) {
        const uint32x4_t weights = {1u, 2u, 4u, 8u};
        return vaddvq_u32(vandq_u32(m, weights));
    }

    static I seti(int32_t v) { return vdupq_n_s32(v); }
    static I loadi(const int32_t* p) { return vld1q_s32(p); }
    static void storei(int32_t* p, I a) { vst1q_s32(p, a); }
    static I addi(I a, I b) { return vaddq_s32(a, b); }
    // The low 32 bits of each product, as unsigned arithmetic wraps.
    static I muli(I a, I b) {
        return vreinterpretq_s32_u32(vmulq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b)));
    }
    static I andi(I a, I b) { return vandq_s32(a, b); }
    static I ori(I a, I b) { return vorrq_s32(a, b); }
    static I xori(I a, I b) { return veorq_s32(a, b); }
    static I shift_left(I a, int n) {
        return vreinterpretq_s32_u32(vshlq_u32(vreinterpretq_u32_s32(a), vdupq_n_s32(n)));
    }
    // A negative shift count shifts an unsigned lane right, filling zeros.
    static I shift_right(I a, int n) {
        return vreinterpretq_s32_u32(vshlq_u32(vreinterpretq_u32_s32(a), vdupq_n_s32(-n)));
    }
    static M gti(I a, I b) { return vcgtq_s32(a, b); }
    static I selecti(M m, I a, I b) { return vbslq_s32(m, a, b); }
    static int32_t lane0i(I a) { return vgetq_lane_s32(a, 0); }

    static F to_float(I a) { return vcvtq_f32_s32(a); }
    static F unsigned_to_float(I a) { return vcvtq_f32_u32(vreinterpretq_u32_s32(a)); }
    // The conversion saturates (and gives 0 for NaN): lanes outside
    // [-2^31, 2^31), NaN among them, become INT32_MIN.
    static I truncate(F a) {
        const M inside = vandq_u32(vcgeq_f32(a, vdupq_n_f32(-2147483648.0f)), vcltq_f32(a, vdupq_n_f32(2147483648.0f)));
        return vbslq_s32(inside, vcvtq_s32_f32(a), vdupq_n_s32(INT32_MIN));
    }

    static void load_points(const Vector3* p, F* x, F* y, F* z) {
        const float32x4x3_t xyz = vld3q_f32(&p->x);
        *x = xyz.val[0];
        *y = xyz.val[1];
        *z = xyz.val[2];
    }
    static I point_counts(I hash) {
        const uint32x4_t top = vshrq_n_u32(vreinterpretq_u32_s32(hash), 24);
        const int32_t c[4] = {cube_point_counts[vgetq_lane_u32(top, 0)], cube_point_counts[vgetq_lane_u32(top, 1)],
                              cube_point_counts[vgetq_lane_u32(top, 2)], cube_point_counts[vgetq_lane_u32(top, 3)]};
        return vld1q_s32(c);
    }
    template <const BoundTerms& T>
    static void bounds(const SearchStart& s, F* r) {
        alignas(16) float b[kCubeLanes];
        scalar_cube_bounds<T>(s, b);
        for (int v = 0; v < kCubeLanes / kWidth; ++v) r[v] = load(b + kWidth * v);
    }
    static void lane_bounds(F fx, F fy, F fz, F* r) {
        alignas(16) float x[kWidth], y[kWidth], z[kWidth];
        store(x, fx), store(y, fy), store(z, fz);
        alignas(16) float b[kCubes][kWidth];
        for (int lane = 0; lane < kWidth; ++lane) {
            float bound[kCubes];
            scalar_lane_bounds(x[lane], y[lane], z[lane], bound);
            for (int n = 1; n < kCubes; ++n) b[n][lane] = bound[n];
        }
        for (int n = 1; n < kCubes; ++n) r[n] = load(b[n]);
    }
    // sqrtf(v) * DENSITY_UNSCALE of every lane, interleaved.
    static void store_results(F lo, F hi, float* out) {
        const F unscale = set(DENSITY_UNSCALE);
        const float32x4x2_t pairs = {{mul(sqrt(lo), unscale), mul(sqrt(hi), unscale)}};
        vst2q_f32(out, pairs);
    }
    // Pairs merge in a tree: lane i with lane i + 2, then + 1 (invariant 1).
    static NearestTwo two_smallest(F lo, F hi) {
        auto merge = [&](F lo2, F hi2) {
            const F second = min(max(lo, lo2), min(hi, hi2));
            lo = min(lo, lo2);
            hi = second;
        };
        merge(vextq_f32(lo, lo, 2), vextq_f32(hi, hi, 2));
        merge(vextq_f32(lo, lo, 1), vextq_f32(hi, hi, 1));
        return NearestTwo{lane0(lo), lane0(hi)};
    }
};

}  // namespace
}  // namespace neon
}  // namespace kernels
}  // namespace tulo

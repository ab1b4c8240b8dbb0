// The portable kernel's lanes where there is no SSE2: the lane operations of
// lane_ops.h on 4 float lanes written as plain C++, one lane after the
// other (a compiler may vectorise them; every lane's operation is the
// scalar one either way).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <climits>

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/scalar_bounds.h"
#include "cellular/kernels/neighbourhood.h"
#include "cellular/scalar_math.h"

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
    static constexpr bool kEmulated = true;
    struct F {
        float v[4];
    };
    struct I {
        int32_t v[4];
    };
    struct M {
        bool v[4];
    };

    template <class Op>
    static F each(Op op) {
        F r;
        for (int i = 0; i < 4; ++i) r.v[i] = op(i);
        return r;
    }
    template <class Op>
    static I each_int(Op op) {
        I r;
        for (int i = 0; i < 4; ++i) r.v[i] = op(i);
        return r;
    }
    template <class Op>
    static M each_mask(Op op) {
        M r;
        for (int i = 0; i < 4; ++i) r.v[i] = op(i);
        return r;
    }
    static uint32_t bits_of(float f) {
        uint32_t u;
        std::memcpy(&u, &f, sizeof(u));
        return u;
    }
    static float float_of(uint32_t u) {
        float f;
        std::memcpy(&f, &u, sizeof(f));
        return f;
    }

    // One operation a line.
    // clang-format off
    static F set(float v) { return each([&](int) { return v; }); }
    static F load(const float* p) { return each([&](int i) { return p[i]; }); }
    static void store(float* p, F a) { std::memcpy(p, a.v, sizeof(a.v)); }
    static F add(F a, F b) { return each([&](int i) { return a.v[i] + b.v[i]; }); }
    static F sub(F a, F b) { return each([&](int i) { return a.v[i] - b.v[i]; }); }
    static F mul(F a, F b) { return each([&](int i) { return a.v[i] * b.v[i]; }); }
    static F min(F a, F b) { return each([&](int i) { return a.v[i] < b.v[i] ? a.v[i] : b.v[i]; }); }
    static F max(F a, F b) { return each([&](int i) { return a.v[i] > b.v[i] ? a.v[i] : b.v[i]; }); }
    static F sqrt(F a) { return each([&](int i) { return detail::sqrt_f(a.v[i]); }); }
    static F abs(F a) { return each([&](int i) { return float_of(bits_of(a.v[i]) & 0x7FFFFFFFu); }); }
    // The product is exact where this is used: one rounding either way.
    static F fma_exact(F a, F b, F c) { return each([&](int i) { return a.v[i] * b.v[i] + c.v[i]; }); }
    static F floor(F a) { return each([&](int i) { return detail::floor_f(a.v[i]); }); }
    static float lane0(F a) { return a.v[0]; }
    static M lt(F a, F b) { return each_mask([&](int i) { return a.v[i] < b.v[i]; }); }
    static M le(F a, F b) { return each_mask([&](int i) { return a.v[i] <= b.v[i]; }); }
    static M ge(F a, F b) { return each_mask([&](int i) { return a.v[i] >= b.v[i]; }); }
    static M eq(F a, F b) { return each_mask([&](int i) { return a.v[i] == b.v[i]; }); }
    static M nge(F a, F b) { return each_mask([&](int i) { return !(a.v[i] >= b.v[i]); }); }
    static F select(M m, F a, F b) { return each([&](int i) { return m.v[i] ? a.v[i] : b.v[i]; }); }
    static F nan_where(M m, F a) { return each([&](int i) { return m.v[i] ? float_of(0x7FC00000u) : a.v[i]; }); }

    static M mask_and(M a, M b) { return each_mask([&](int i) { return a.v[i] && b.v[i]; }); }
    static M mask_or(M a, M b) { return each_mask([&](int i) { return a.v[i] || b.v[i]; }); }
    static bool none(M m) { return !(m.v[0] || m.v[1] || m.v[2] || m.v[3]); }
    static uint32_t bits(M m) {
        uint32_t b = 0;
        for (int i = 0; i < 4; ++i) b |= static_cast<uint32_t>(m.v[i]) << i;
        return b;
    }

    static I seti(int32_t v) { return each_int([&](int) { return v; }); }
    static I loadi(const int32_t* p) { return each_int([&](int i) { return p[i]; }); }
    static void storei(int32_t* p, I a) { std::memcpy(p, a.v, sizeof(a.v)); }
    // Unsigned arithmetic wraps by definition; the results convert back to
    // int32_t modulo 2^32 on every compiler this library supports.
    static int32_t wrap(uint32_t u) { return static_cast<int32_t>(u); }
    static I addi(I a, I b) {
        return each_int([&](int i) { return wrap(static_cast<uint32_t>(a.v[i]) + static_cast<uint32_t>(b.v[i])); });
    }
    static I muli(I a, I b) {
        return each_int([&](int i) { return wrap(static_cast<uint32_t>(a.v[i]) * static_cast<uint32_t>(b.v[i])); });
    }
    static I andi(I a, I b) { return each_int([&](int i) { return a.v[i] & b.v[i]; }); }
    static I ori(I a, I b) { return each_int([&](int i) { return a.v[i] | b.v[i]; }); }
    static I xori(I a, I b) { return each_int([&](int i) { return a.v[i] ^ b.v[i]; }); }
    static I shift_left(I a, int n) { return each_int([&](int i) { return wrap(static_cast<uint32_t>(a.v[i]) << n); }); }
    static I shift_right(I a, int n) { return each_int([&](int i) { return wrap(static_cast<uint32_t>(a.v[i]) >> n); }); }
    static M gti(I a, I b) { return each_mask([&](int i) { return a.v[i] > b.v[i]; }); }
    static I selecti(M m, I a, I b) { return each_int([&](int i) { return m.v[i] ? a.v[i] : b.v[i]; }); }
    static int32_t lane0i(I a) { return a.v[0]; }

    static F to_float(I a) { return each([&](int i) { return static_cast<float>(a.v[i]); }); }
    static F unsigned_to_float(I a) { return each([&](int i) { return static_cast<float>(static_cast<uint32_t>(a.v[i])); }); }
    // clang-format on
    static I truncate(F a) {
        return each_int([&](int i) {
            const float f = a.v[i];
            return f >= -2147483648.0f && f < 2147483648.0f ? static_cast<int32_t>(f) : INT32_MIN;
        });
    }

    static void load_points(const Vector3* p, F* x, F* y, F* z) {
        *x = each([&](int i) { return p[i].x; });
        *y = each([&](int i) { return p[i].y; });
        *z = each([&](int i) { return p[i].z; });
    }
    static I point_counts(I hash) {
        return each_int([&](int i) { return cube_point_counts[static_cast<uint32_t>(hash.v[i]) >> 24]; });
    }
    template <const BoundTerms& T>
    static void bounds(const SearchStart& s, F* r) {
        float b[kCubeLanes];
        scalar_cube_bounds<T>(s, b);
        for (int v = 0; v < kCubeLanes / kWidth; ++v) r[v] = load(b + kWidth * v);
    }
    static void lane_bounds(F fx, F fy, F fz, F* r) {
        for (int lane = 0; lane < kWidth; ++lane) {
            float bound[kCubes];
            scalar_lane_bounds(fx.v[lane], fy.v[lane], fz.v[lane], bound);
            for (int n = 1; n < kCubes; ++n) r[n].v[lane] = bound[n];
        }
    }
    static void store_results(F lo, F hi, float* out) {
        for (int i = 0; i < kWidth; ++i) {
            out[2 * i] = detail::sqrt_f(lo.v[i]) * DENSITY_UNSCALE;
            out[2 * i + 1] = detail::sqrt_f(hi.v[i]) * DENSITY_UNSCALE;
        }
    }
    // Pairs merge in a tree: lane i with lane i + 2, then + 1 (invariant 1).
    static NearestTwo two_smallest(F lo, F hi) {
        float a[4], b[4];
        store(a, lo), store(b, hi);
        // min(x, y) = x < y ? x : y and max(x, y) = x > y ? x : y, as the
        // vocabulary defines them.
        auto merge = [](float* l, float* h, float l2, float h2) {
            const float larger_first = *l > l2 ? *l : l2;
            const float smaller_second = *h < h2 ? *h : h2;
            *h = larger_first < smaller_second ? larger_first : smaller_second;
            *l = *l < l2 ? *l : l2;
        };
        for (int i = 0; i < 2; ++i) merge(&a[i], &b[i], a[i + 2], b[i + 2]);
        merge(&a[0], &b[0], a[1], b[1]);
        return NearestTwo{a[0], b[0]};
    }
};

}  // namespace
}  // namespace portable
}  // namespace kernels
}  // namespace tulo

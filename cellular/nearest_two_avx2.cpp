// The shader's search on all 27 cubes at once with AVX2 and FMA: 32 lanes
// in four 256-bit vectors, one cube per lane. This file is compiled with
// AVX2 and FMA enabled and is only ever called on a CPU that has them.
//
// Every lane performs exactly the scalar search's single-precision
// operations in the same order. Fused multiply-adds appear only where the
// product is exact (a multiplication by a power of two), so that their one
// rounding is the specified addition's:
// - the unsigned 32-bit seed becomes a float from two exact halves,
//   fma(float(seed >> 16), 2^16, float(seed & 0xFFFF)), rounded once;
// - the coordinate (float(seed) + 0.5) * 2^-32 is fma(float(seed), 2^-32,
//   2^-33).
#include <immintrin.h>

#include "cellular/nearest_two.h"

namespace tulo {
namespace detail {
namespace {

constexpr int kVectors = kCubeLanes / 8;

inline __m256 abs_ps(__m256 v) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v); }

// The weighted distance of 8 offsets, the metric's formula lane by lane.
template <LaneMetric M>
inline __m256 distance(__m256 dx, __m256 dy, __m256 dz, __m256 wx, __m256 wy, __m256 wz) {
    if constexpr (M == LaneMetric::euclidian) {
        const __m256 x = _mm256_mul_ps(_mm256_mul_ps(dx, wx), dx);
        const __m256 y = _mm256_mul_ps(_mm256_mul_ps(dy, wy), dy);
        const __m256 z = _mm256_mul_ps(_mm256_mul_ps(dz, wz), dz);
        return _mm256_add_ps(_mm256_add_ps(x, y), z);
    } else if constexpr (M == LaneMetric::manhattan) {
        const __m256 x = abs_ps(_mm256_mul_ps(dx, wx));
        const __m256 y = abs_ps(_mm256_mul_ps(dy, wy));
        const __m256 z = abs_ps(_mm256_mul_ps(dz, wz));
        return _mm256_add_ps(_mm256_add_ps(x, y), z);
    } else {
        // max(a, b) = a > b ? a : b is exactly what vmaxps computes.
        const __m256 x = abs_ps(_mm256_mul_ps(dx, wx));
        const __m256 y = abs_ps(_mm256_mul_ps(dy, wy));
        const __m256 z = abs_ps(_mm256_mul_ps(dz, wz));
        return _mm256_max_ps(x, _mm256_max_ps(y, z));
    }
}

// float(seed) for unsigned seeds, correctly rounded: both halves convert
// exactly and the high one scales exactly, so only the sum rounds.
inline __m256 unsigned_to_float(__m256i seed) {
    const __m256 high = _mm256_cvtepi32_ps(_mm256_srli_epi32(seed, 16));
    const __m256 low = _mm256_cvtepi32_ps(_mm256_and_si256(seed, _mm256_set1_epi32(0xFFFF)));
    return _mm256_fmadd_ps(high, _mm256_set1_ps(65536.0f), low);
}

// Four double bounds as floats rounded toward minus infinity: the nearest
// float, lowered by one step where it lies above the bound (the bounds are
// never negative, so the step is one less in the bit pattern).
inline __m128 round_down(__m256d bound) {
    const __m128 nearest = _mm256_cvtpd_ps(bound);
    const __m256d above = _mm256_cmp_pd(_mm256_cvtps_pd(nearest), bound, _CMP_GT_OQ);
    const __m128i step = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(_mm256_castpd_si256(above), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    return _mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(nearest), step));
}

// What every vector of one search shares.
struct Search {
    SearchStart start;
    __m256 atx, aty, atz, wx, wy, wz;
    __m256i hash0;
    __m256 r[kVectors];  // bounds rounded down, per lane
    // Generator state k of the point's own cube, mul[k] * h0 + add[k].
    alignas(32) uint32_t base[16];
};

// The two smallest values lo <= hi of each cube of lanes 8v..8v+7 (FAR for
// cubes with fewer points).
template <LaneMetric M>
inline void cube_pairs(const Search& s, int v, __m256* lo_out, __m256* hi_out) {
    const LaneTables& t = kLaneTables;
    const int lane = 8 * v;
    auto load = [lane](const void* p) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(static_cast<const int32_t*>(p) + lane));
    };
    const __m256 scale = _mm256_set1_ps(lattice::kPointScale);
    const __m256 half_scale = _mm256_set1_ps(lattice::kPointOffset * lattice::kPointScale);
    const __m256i hash = _mm256_add_epi32(s.hash0, load(t.hash_offset));
    const __m256i count =
        _mm256_and_si256(_mm256_i32gather_epi32(cube_point_counts, _mm256_srli_epi32(hash, 24), 4), load(t.used));
    // Cube corners as floats (coordinates wrap around in 32 bits).
    const __m256 corner[3] = {_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(s.start.ix), load(t.dx))),
                              _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(s.start.iy), load(t.dy))),
                              _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(s.start.iz), load(t.dz)))};
    const __m256 at[3] = {s.atx, s.aty, s.atz};

    // Every lane runs all five points, masked: cheaper than a branch on
    // whether any cube holds a fifth one, which no predictor can guess.
    __m256 lo = _mm256_set1_ps(FAR_DISTANCE), hi = lo;
    for (int j = 0; j < lattice::kMaxPointsPerCube; ++j) {
        const __m256 has = _mm256_castsi256_ps(_mm256_cmpgt_epi32(count, _mm256_set1_epi32(j)));
        __m256 d[3];
        for (int c = 0; c < 3; ++c) {
            const int k = 3 * j + c;
            const __m256i seed = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(s.base[k])), load(t.seed_offset[k]));
            const __m256 p = _mm256_fmadd_ps(unsigned_to_float(seed), scale, half_scale);
            d[c] = _mm256_sub_ps(_mm256_add_ps(corner[c], p), at[c]);
        }
        const __m256 dist = distance<M>(d[0], d[1], d[2], s.wx, s.wy, s.wz);
        // Insert: a NaN distance leaves both (second operand returned).
        const __m256 new_hi = _mm256_max_ps(lo, _mm256_min_ps(dist, hi));
        lo = _mm256_blendv_ps(lo, _mm256_min_ps(dist, lo), has);
        hi = _mm256_blendv_ps(hi, new_hi, has);
    }
    *lo_out = lo;
    *hi_out = hi;
}

// Two smallest of the pairs (lo, hi) of 8 lanes: pairs merge in a tree,
// lane i with lane i + 4, then + 2, + 1.
inline NearestTwo two_smallest(__m256 lo, __m256 hi) {
    auto merge = [&](__m256 lo2, __m256 hi2) {
        const __m256 second = _mm256_min_ps(_mm256_max_ps(lo, lo2), _mm256_min_ps(hi, hi2));
        lo = _mm256_min_ps(lo, lo2);
        hi = second;
    };
    merge(_mm256_permute2f128_ps(lo, lo, 1), _mm256_permute2f128_ps(hi, hi, 1));
    merge(_mm256_permute_ps(lo, _MM_SHUFFLE(1, 0, 3, 2)), _mm256_permute_ps(hi, _MM_SHUFFLE(1, 0, 3, 2)));
    merge(_mm256_permute_ps(lo, _MM_SHUFFLE(2, 3, 0, 1)), _mm256_permute_ps(hi, _MM_SHUFFLE(2, 3, 0, 1)));
    return NearestTwo{_mm256_cvtss_f32(lo), _mm256_cvtss_f32(hi)};
}

// The term tables of BoundTerms in the form AVX2 can look them up: a term
// index i selects double i & 3 of the lower (i < 4) or upper half of the
// table, as the float pair 2(i & 3), 2(i & 3) + 1.
struct TermLookup {
    alignas(32) int32_t pair[3][kCubeLanes * 2];
    alignas(32) int64_t upper[3][kCubeLanes];
};

constexpr TermLookup make_term_lookup() {
    TermLookup l{};
    for (int term = 0; term < 3; ++term) {
        for (int n = 0; n < kCubeLanes; ++n) {
            const int64_t i = term == 0 ? kBoundTerms.t1[n] : term == 1 ? kBoundTerms.t2[n] : kBoundTerms.t3[n];
            l.pair[term][2 * n] = static_cast<int32_t>(2 * (i & 3));
            l.pair[term][2 * n + 1] = static_cast<int32_t>(2 * (i & 3) + 1);
            l.upper[term][n] = i >= 4 ? -1 : 0;
        }
    }
    return l;
}

constexpr TermLookup kTermLookup = make_term_lookup();

// The bound of every lane (see BoundTerms), rounded down to a float.
inline void bounds(Search& s) {
    const __m256 lower = _mm256_castpd_ps(_mm256_setr_pd(0.0, s.start.dx2, s.start.mx2, s.start.dy2));
    const __m256 upper = _mm256_castpd_ps(_mm256_setr_pd(s.start.my2, s.start.dz2, s.start.mz2, __builtin_huge_val()));
    auto term = [&](int which, int lane) {
        const __m256i pair = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTermLookup.pair[which] + 2 * lane));
        const __m256d high = _mm256_load_pd(reinterpret_cast<const double*>(kTermLookup.upper[which] + lane));
        return _mm256_blendv_pd(_mm256_castps_pd(_mm256_permutevar8x32_ps(lower, pair)),
                                _mm256_castps_pd(_mm256_permutevar8x32_ps(upper, pair)), high);
    };
    for (int v = 0; v < kVectors; ++v) {
        __m128 half[2];
        for (int h = 0; h < 2; ++h) {
            const int lane = 8 * v + 4 * h;
            half[h] = round_down(_mm256_add_pd(_mm256_add_pd(term(0, lane), term(1, lane)), term(2, lane)));
        }
        s.r[v] = _mm256_set_m128(half[1], half[0]);
    }
    // The own cube is always visited.
    s.r[0] = _mm256_blend_ps(s.r[0], _mm256_set1_ps(-__builtin_huge_valf()), 1);
}

template <LaneMetric M>
bool search(const Vector3& w, float x, float y, float z, NearestTwo* out) {
    Search s;
    s.start = start_search(x, y, z);
    const LaneTables& t = kLaneTables;
    s.atx = _mm256_set1_ps(s.start.at.x), s.aty = _mm256_set1_ps(s.start.at.y), s.atz = _mm256_set1_ps(s.start.at.z);
    s.wx = _mm256_set1_ps(w.x), s.wy = _mm256_set1_ps(w.y), s.wz = _mm256_set1_ps(w.z);
    const uint32_t h0 = lattice::cube_hash(s.start.ix, s.start.iy, s.start.iz);
    s.hash0 = _mm256_set1_epi32(static_cast<int>(h0));
    // Scalar stores, read back one by one: a vector store read in pieces
    // would stall the loads that forward from it.
    for (int k = 0; k < kCoordinateSteps; ++k) s.base[k] = t.mul[k] * h0 + t.add[k];
    bounds(s);

    // The point's cube, the faces and the first edge; each further eight
    // cubes only when one of them can be visited: when its bound lies below
    // the second value of the point's own cube, which later visits only
    // lower.
    const __m256 inf = _mm256_set1_ps(__builtin_huge_valf());
    __m256 lo[kVectors], hi[kVectors], reach[kVectors];
    cube_pairs<M>(s, 0, &lo[0], &hi[0]);
    const __m256 own_second = _mm256_set1_ps(_mm256_cvtss_f32(hi[0]));
    // The two smallest of every cube that can be visited, lane by lane.
    reach[0] = _mm256_cmp_ps(s.r[0], own_second, _CMP_LT_OQ);
    __m256 all_lo = _mm256_blendv_ps(inf, lo[0], reach[0]), all_hi = _mm256_blendv_ps(inf, hi[0], reach[0]);
    for (int v = 1; v < kVectors; ++v) {
        reach[v] = _mm256_cmp_ps(s.r[v], own_second, _CMP_LT_OQ);
        if (_mm256_testz_ps(reach[v], reach[v])) {
            lo[v] = hi[v] = inf;
            continue;
        }
        cube_pairs<M>(s, v, &lo[v], &hi[v]);
        const __m256 lo2 = _mm256_blendv_ps(inf, lo[v], reach[v]), hi2 = _mm256_blendv_ps(inf, hi[v], reach[v]);
        const __m256 second = _mm256_min_ps(_mm256_max_ps(all_lo, lo2), _mm256_min_ps(all_hi, hi2));
        all_lo = _mm256_min_ps(all_lo, lo2);
        all_hi = second;
    }
    // The result, unless a cube holding a value not above the second one
    // has a bound that would stop its visit (see nearest_two.h).
    NearestTwo f = two_smallest(all_lo, all_hi);
    const __m256 second = _mm256_set1_ps(f.f1);
    __m256 stopped = _mm256_setzero_ps();
    for (int v = 0; v < kVectors; ++v) {
        stopped = _mm256_or_ps(stopped, _mm256_and_ps(_mm256_and_ps(reach[v], _mm256_cmp_ps(lo[v], second, _CMP_LE_OQ)),
                                                      _mm256_cmp_ps(s.r[v], second, _CMP_GE_OQ)));
    }
    if (!_mm256_testz_ps(stopped, stopped)) {
        // Rare: visit cube by cube in order from the own cube's pair.
        alignas(32) float a[kCubeLanes], b[kCubeLanes], r[kCubeLanes];
        uint32_t cubes = 0;
        for (int v = 0; v < kVectors; ++v) {
            _mm256_store_ps(a + 8 * v, lo[v]);
            _mm256_store_ps(b + 8 * v, hi[v]);
            _mm256_store_ps(r + 8 * v, s.r[v]);
            cubes |= static_cast<uint32_t>(_mm256_movemask_ps(reach[v])) << (8 * v);
        }
        f = NearestTwo{a[0], b[0]};
        merge_candidates(a, b, r, cubes & ~1u, &f);
    }
    *out = f;
    return f.f0 != 0.0f && f.f1 != 0.0f;
}

}  // namespace

bool nearest_two_avx2(LaneMetric metric, const Vector3& w, float x, float y, float z, NearestTwo* out) {
    switch (metric) {
        case LaneMetric::euclidian: return search<LaneMetric::euclidian>(w, x, y, z, out);
        case LaneMetric::manhattan: return search<LaneMetric::manhattan>(w, x, y, z, out);
        default: return search<LaneMetric::chessboard>(w, x, y, z, out);
    }
}

}  // namespace detail
}  // namespace tulo

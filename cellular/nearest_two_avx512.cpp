// The shader's search on all 27 cubes at once with AVX-512 (F, BW, DQ, VL):
// 32 lanes in two 512-bit vectors, one cube per lane. This file is compiled
// with AVX-512 enabled and is only ever called on a CPU that has it.
//
// Every lane performs exactly the scalar search's single-precision
// operations in the same order. The one fused multiply-add forms a point
// coordinate, (float(seed) + 0.5) * 2^-32, as fma(float(seed), 2^-32,
// 2^-33): the product by a power of two is exact, so its single rounding is
// the rounding of the addition, as in the scalar code.
#include <immintrin.h>

#include "cellular/nearest_two.h"

namespace tulo {
namespace detail {
namespace {

constexpr int kVectors = kCubeLanes / 16;

// |v|: the sign bit cleared, as fabs does (NaN included).
inline __m512 abs_ps(__m512 v) {
    return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7FFFFFFF)));
}

// The weighted distance of 16 offsets, the metric's formula lane by lane.
template <LaneMetric M>
inline __m512 distance(__m512 dx, __m512 dy, __m512 dz, __m512 wx, __m512 wy, __m512 wz) {
    if constexpr (M == LaneMetric::euclidian) {
        const __m512 x = _mm512_mul_ps(_mm512_mul_ps(dx, wx), dx);
        const __m512 y = _mm512_mul_ps(_mm512_mul_ps(dy, wy), dy);
        const __m512 z = _mm512_mul_ps(_mm512_mul_ps(dz, wz), dz);
        return _mm512_add_ps(_mm512_add_ps(x, y), z);
    } else if constexpr (M == LaneMetric::manhattan) {
        const __m512 x = abs_ps(_mm512_mul_ps(dx, wx));
        const __m512 y = abs_ps(_mm512_mul_ps(dy, wy));
        const __m512 z = abs_ps(_mm512_mul_ps(dz, wz));
        return _mm512_add_ps(_mm512_add_ps(x, y), z);
    } else {
        // max(a, b) = a > b ? a : b is exactly what vmaxps computes.
        const __m512 x = abs_ps(_mm512_mul_ps(dx, wx));
        const __m512 y = abs_ps(_mm512_mul_ps(dy, wy));
        const __m512 z = abs_ps(_mm512_mul_ps(dz, wz));
        return _mm512_max_ps(x, _mm512_max_ps(y, z));
    }
}

// Number of points of each lane's cube: the count table packed eight 4-bit
// entries to a 32-bit word (32 words in two registers); the top 5 bits of
// the hash pick the word, the next 3 the entry.
struct PackedCounts {
    alignas(64) uint32_t words[32];
};

constexpr PackedCounts pack_counts() {
    PackedCounts p{};
    for (int i = 0; i < 256; ++i) p.words[i / 8] |= static_cast<uint32_t>(cube_point_counts[i]) << (4 * (i % 8));
    return p;
}

constexpr PackedCounts kPackedCounts = pack_counts();

inline __m512i point_counts(__m512i hash, __m512i table_lo, __m512i table_hi) {
    const __m512i word = _mm512_permutex2var_epi32(table_lo, _mm512_srli_epi32(hash, 27), table_hi);
    const __m512i shift = _mm512_and_si512(_mm512_srli_epi32(hash, 22), _mm512_set1_epi32(28));
    return _mm512_and_si512(_mm512_srlv_epi32(word, shift), _mm512_set1_epi32(0xF));
}

// What every vector of one search shares.
struct Search {
    SearchStart start;
    __m512 atx, aty, atz, wx, wy, wz;
    __m512i hash0, table_lo, table_hi;
    __m512 r[kVectors];  // bounds rounded down, per lane
    // Generator state k of the point's own cube, mul[k] * h0 + add[k].
    alignas(64) uint32_t base[16];
};

// The two smallest values lo <= hi of each cube of lanes 16v..16v+15 (FAR
// for cubes with fewer points).
template <LaneMetric M>
inline void cube_pairs(const Search& s, int v, __m512* lo_out, __m512* hi_out) {
    const LaneTables& t = kLaneTables;
    const int lane = 16 * v;
    const __m512 scale = _mm512_set1_ps(lattice::kPointScale);
    const __m512 half_scale = _mm512_set1_ps(lattice::kPointOffset * lattice::kPointScale);
    const __m512i hash = _mm512_add_epi32(s.hash0, _mm512_load_si512(t.hash_offset + lane));
    const __m512i count = _mm512_and_si512(point_counts(hash, s.table_lo, s.table_hi), _mm512_load_si512(t.used + lane));
    // Cube corners as floats (coordinates wrap around in 32 bits).
    const __m512 corner[3] = {
        _mm512_cvtepi32_ps(_mm512_add_epi32(_mm512_set1_epi32(s.start.ix), _mm512_load_si512(t.dx + lane))),
        _mm512_cvtepi32_ps(_mm512_add_epi32(_mm512_set1_epi32(s.start.iy), _mm512_load_si512(t.dy + lane))),
        _mm512_cvtepi32_ps(_mm512_add_epi32(_mm512_set1_epi32(s.start.iz), _mm512_load_si512(t.dz + lane)))};
    const __m512 at[3] = {s.atx, s.aty, s.atz};

    // Every lane runs all five points, masked: cheaper than a branch on
    // whether any cube holds a fifth one, which no predictor can guess.
    __m512 lo = _mm512_set1_ps(FAR_DISTANCE), hi = lo;
    for (int j = 0; j < lattice::kMaxPointsPerCube; ++j) {
        const __mmask16 has = _mm512_cmpgt_epi32_mask(count, _mm512_set1_epi32(j));
        __m512 d[3];
        for (int c = 0; c < 3; ++c) {
            const int k = 3 * j + c;
            const __m512i seed = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(s.base[k])),
                                                  _mm512_load_si512(t.seed_offset[k] + lane));
            const __m512 p = _mm512_fmadd_ps(_mm512_cvtepu32_ps(seed), scale, half_scale);
            d[c] = _mm512_sub_ps(_mm512_add_ps(corner[c], p), at[c]);
        }
        const __m512 dist = distance<M>(d[0], d[1], d[2], s.wx, s.wy, s.wz);
        // Insert: a NaN distance leaves both (second operand returned).
        const __m512 new_hi = _mm512_max_ps(lo, _mm512_min_ps(dist, hi));
        lo = _mm512_mask_min_ps(lo, has, dist, lo);
        hi = _mm512_mask_mov_ps(hi, has, new_hi);
    }
    *lo_out = lo;
    *hi_out = hi;
}

// Two smallest of the pairs (lo, hi) of 16 lanes: pairs merge in a tree,
// lane i with lane i + 8, then + 4, + 2, + 1.
inline NearestTwo two_smallest(__m512 lo, __m512 hi) {
    auto merge = [&](__m512 lo2, __m512 hi2) {
        const __m512 second = _mm512_min_ps(_mm512_max_ps(lo, lo2), _mm512_min_ps(hi, hi2));
        lo = _mm512_min_ps(lo, lo2);
        hi = second;
    };
    merge(_mm512_shuffle_f32x4(lo, lo, _MM_SHUFFLE(1, 0, 3, 2)), _mm512_shuffle_f32x4(hi, hi, _MM_SHUFFLE(1, 0, 3, 2)));
    merge(_mm512_shuffle_f32x4(lo, lo, _MM_SHUFFLE(2, 3, 0, 1)), _mm512_shuffle_f32x4(hi, hi, _MM_SHUFFLE(2, 3, 0, 1)));
    merge(_mm512_permute_ps(lo, _MM_SHUFFLE(1, 0, 3, 2)), _mm512_permute_ps(hi, _MM_SHUFFLE(1, 0, 3, 2)));
    merge(_mm512_permute_ps(lo, _MM_SHUFFLE(2, 3, 0, 1)), _mm512_permute_ps(hi, _MM_SHUFFLE(2, 3, 0, 1)));
    return NearestTwo{_mm512_cvtss_f32(lo), _mm512_cvtss_f32(hi)};
}

// The bound of every lane (see BoundTerms), rounded down to a float.
inline void bounds(Search& s) {
    const BoundTerms& b = kBoundTerms;
    const __m512d T = _mm512_setr_pd(0.0, s.start.dx2, s.start.mx2, s.start.dy2, s.start.my2, s.start.dz2,
                                     s.start.mz2, __builtin_huge_val());
    __m256 r[4];
    for (int g = 0; g < 4; ++g) {
        const __m512d t1 = _mm512_permutexvar_pd(_mm512_load_si512(b.t1 + 8 * g), T);
        const __m512d t2 = _mm512_permutexvar_pd(_mm512_load_si512(b.t2 + 8 * g), T);
        const __m512d t3 = _mm512_permutexvar_pd(_mm512_load_si512(b.t3 + 8 * g), T);
        r[g] = _mm512_cvt_roundpd_ps(_mm512_add_pd(_mm512_add_pd(t1, t2), t3), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    s.r[0] = _mm512_insertf32x8(_mm512_castps256_ps512(r[0]), r[1], 1);
    s.r[1] = _mm512_insertf32x8(_mm512_castps256_ps512(r[2]), r[3], 1);
    // The own cube is always visited.
    s.r[0] = _mm512_mask_mov_ps(s.r[0], 1, _mm512_set1_ps(-__builtin_huge_valf()));
}

template <LaneMetric M>
bool search(const Vector3& w, float x, float y, float z, NearestTwo* out) {
    Search s;
    s.start = start_search(x, y, z);
    const LaneTables& t = kLaneTables;
    s.atx = _mm512_set1_ps(s.start.at.x), s.aty = _mm512_set1_ps(s.start.at.y), s.atz = _mm512_set1_ps(s.start.at.z);
    s.wx = _mm512_set1_ps(w.x), s.wy = _mm512_set1_ps(w.y), s.wz = _mm512_set1_ps(w.z);
    s.table_lo = _mm512_load_si512(kPackedCounts.words);
    s.table_hi = _mm512_load_si512(kPackedCounts.words + 16);
    const uint32_t h0 = lattice::cube_hash(s.start.ix, s.start.iy, s.start.iz);
    s.hash0 = _mm512_set1_epi32(static_cast<int>(h0));
    // Scalar stores, read back one by one: a vector store read in pieces
    // would stall the loads that forward from it.
    for (int k = 0; k < kCoordinateSteps; ++k) s.base[k] = t.mul[k] * h0 + t.add[k];
    // Read them back from memory, so that each one becomes the broadcast
    // operand of its vector addition instead of a register broadcast.
    __asm__ volatile("" : : "r"(s.base) : "memory");
    bounds(s);

    // The point's cube, the faces and the first nine edges; the other cubes
    // only when one of them can be visited: when its bound lies below the
    // second value of the point's own cube, which later visits only lower.
    __m512 lo[kVectors], hi[kVectors];
    cube_pairs<M>(s, 0, &lo[0], &hi[0]);
    const __m512 own_second = _mm512_set1_ps(_mm512_cvtss_f32(hi[0]));
    __mmask16 reach[kVectors];
    for (int v = 0; v < kVectors; ++v) reach[v] = _mm512_cmplt_ps_mask(s.r[v], own_second);
    const __m512 inf = _mm512_set1_ps(__builtin_huge_valf());
    if (reach[1] != 0) {
        cube_pairs<M>(s, 1, &lo[1], &hi[1]);
    } else {
        lo[1] = hi[1] = inf;
    }
    // The two smallest of every cube that can be visited: the result,
    // unless a cube holding a value not above the second one has a bound
    // that would stop its visit (see nearest_two.h).
    const __m512 lo0 = _mm512_mask_mov_ps(inf, reach[0], lo[0]), hi0 = _mm512_mask_mov_ps(inf, reach[0], hi[0]);
    const __m512 lo1 = _mm512_mask_mov_ps(inf, reach[1], lo[1]), hi1 = _mm512_mask_mov_ps(inf, reach[1], hi[1]);
    NearestTwo f = two_smallest(_mm512_min_ps(lo0, lo1), _mm512_min_ps(_mm512_max_ps(lo0, lo1), _mm512_min_ps(hi0, hi1)));
    const __m512 second = _mm512_set1_ps(f.f1);
    __mmask16 stopped = 0;
    for (int v = 0; v < kVectors; ++v) {
        stopped |= _mm512_mask_cmp_ps_mask(_mm512_mask_cmp_ps_mask(reach[v], lo[v], second, _CMP_LE_OQ), s.r[v], second,
                                           _CMP_GE_OQ);
    }
    if (stopped != 0) {
        // Rare: visit cube by cube in order from the own cube's pair.
        alignas(64) float a[kCubeLanes], b[kCubeLanes], r[kCubeLanes];
        for (int v = 0; v < kVectors; ++v) {
            _mm512_store_ps(a + 16 * v, lo[v]);
            _mm512_store_ps(b + 16 * v, hi[v]);
            _mm512_store_ps(r + 16 * v, s.r[v]);
        }
        f = NearestTwo{a[0], b[0]};
        merge_candidates(a, b, r, (static_cast<uint32_t>(reach[0]) & ~1u) | (static_cast<uint32_t>(reach[1]) << 16), &f);
    }
    *out = f;
    return f.f0 != 0.0f && f.f1 != 0.0f;
}

}  // namespace

bool nearest_two_avx512(LaneMetric metric, const Vector3& w, float x, float y, float z, NearestTwo* out) {
    switch (metric) {
        case LaneMetric::euclidian: return search<LaneMetric::euclidian>(w, x, y, z, out);
        case LaneMetric::manhattan: return search<LaneMetric::manhattan>(w, x, y, z, out);
        default: return search<LaneMetric::chessboard>(w, x, y, z, out);
    }
}

}  // namespace detail
}  // namespace tulo

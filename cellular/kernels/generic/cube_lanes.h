// The cube-lanes search: the 27 cubes of one point in vector lanes, for
// N = 2 with metrics 1-3 (nearest_two, one point or a group of up to
// kSearchGroup searched together) and the lower bounds of the power metrics
// for the sequential search (power_bounds). Written once in the vocabulary
// of lane_ops.h. Why the result is the sequential search's: docs/search.md,
// invariants 1 to 6.
#pragma once

#include <cmath>

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/lane_formulas.h"
#include "cellular/kernels/generic/target.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

// Merges candidate neighbours into the pair kept so far (invariant 5): a[n]
// <= b[n] are the two smallest values of cube n and r[n] its bound as a
// float rounded down; the candidates (bits of `candidates`) are taken in
// lane order, which is visiting order, and each is merged only if the pair's
// second value still exceeds its bound. The values ride in vector registers
// (lane 0 counts): the scalar form's two selects on one comparison compile
// into a branch that no predictor can guess.
template <class V>
inline void merge_candidates(const float* a, const float* b, const float* r, uint32_t candidates, NearestTwo* f) {
    using F = typename V::F;
    F f0 = V::set(f->f0), f1 = V::set(f->f1);
    while (candidates != 0) {
        const int n = lowest_set_bit(candidates);
        candidates &= candidates - 1;
        const F an = V::set(a[n]), bn = V::set(b[n]);
        // Two smallest of {f0, f1, an, bn}, with f0 <= f1 and an <= bn
        // (min(x, y) = x < y ? x : y, max(x, y) = x > y ? x : y).
        const F m0 = V::min(an, f0);
        const F hi = V::max(f0, an);
        const F m1 = V::min(hi, V::min(bn, f1));
        const typename V::M visit = V::lt(V::set(r[n]), f1);  // f1 > r[n]
        f0 = V::select(visit, m0, f0);
        f1 = V::select(visit, m1, f1);
    }
    *f = NearestTwo{V::lane0(f0), V::lane0(f1)};
}

// Where a search's points come from: the generator, the thread's kept
// neighbourhood, or either (asked per vector).
enum class PointSource { either, formed, kept };

// What the vectors of one search share.
template <class V>
struct CubeLanes {
    using F = typename V::F;
    using I = typename V::I;
    using M = typename V::M;
    static constexpr int kVectors = kCubeLanes / V::kWidth;

    uint32_t own_hash;
    F at[3];
    int32_t cube[3];  // the point's cube
    I hash0;
    F r[kVectors];  // culling bounds rounded down
    // The cubes of the lanes: nearest first for the searches of metrics
    // 1-3 where the kernel asks for it (kNearFirst), else in visiting order.
    const LaneTables* tables;
    // Generator state k of the point's own cube, mul[k] * h0 + add[k].
    alignas(64) uint32_t base[16];
    // Where the points are read from instead, when a thread kept them
    // (invariant 18); null: formed from the generator.
    const KeptNeighbourhood* kept = nullptr;

    enum class Lanes { visiting, near_first };
    // The lanes of the per-point searches of metrics 1-3.
    static constexpr Lanes kSearchLanes = V::kNearFirst ? Lanes::near_first : Lanes::visiting;

    CubeLanes() = default;  // begin() before use

    // Returns the point's start (for the sequential search that follows
    // power_bounds); no member keeps it, since the searches do not read it.
    template <Lanes kLanes>
    TULO_ALWAYS_INLINE inline SearchStart begin(float x, float y, float z) {
        const SearchStart local = start_search(x, y, z);
        place<kLanes>(local);
        begin_generator(local.ix, local.iy, local.iz);
        return local;
    }

    // The same, reading the points from `kept` where it holds this cube's
    // neighbourhood in a lane order this search can take, and keeping them
    // there from the kKeepFrom-th sample in a row in the cube on, or from
    // the first where the stay in the cube before lasted that long
    // (invariant 18). In the lanes nearest first, a sample in the kept cube
    // takes the kept mirror, whichever half it lies in (invariant 6: any
    // mirror gives the same result), so that a row of samples crossing the
    // middle of a cube keeps reading its points.
    template <Lanes kLanes>
    TULO_ALWAYS_INLINE inline void begin(float x, float y, float z, KeptNeighbourhood* keep) {
        // The key from the start's registers (see place).
        const SearchStart local = start_search(x, y, z);
        const bool same_cube = keep->cube[0] == local.ix && keep->cube[1] == local.iy && keep->cube[2] == local.iz;
        int32_t order;
        if constexpr (kLanes == Lanes::near_first) {
            // In the kept cube, the kept mirror.
            const uint32_t kept_mirror = static_cast<uint32_t>(keep->order - kKeptNearFirst);
            if (same_cube && kept_mirror < kMirrors) {
                const int mirror = static_cast<int>(kept_mirror);
                place_mirrored(start_mirrored(local, mirror), mirror, local);
                order = keep->order;
            } else {
                order = place<kLanes>(local);
            }
        } else {
            order = place<kLanes>(local);
        }
        if (same_cube && keep->order == order) {
            if (keep->filled != 0) {
                if (keep->seen < kKeepFrom) ++keep->seen;
                kept = keep;
                return;
            }
            begin_generator(local.ix, local.iy, local.iz);
            if (++keep->seen == kKeepFrom) keep_formed(keep);
            return;
        }
        // A stay long enough to keep predicts the next one: keep from its
        // first sample.
        const bool keep_now = keep->seen >= kKeepFrom;
        keep->cube[0] = local.ix, keep->cube[1] = local.iy, keep->cube[2] = local.iz;
        keep->order = order;
        keep->seen = 1;
        keep->filled = 0;
        begin_generator(local.ix, local.iy, local.iz);
        if (keep_now) keep_formed(keep);
    }

private:
    // The point's place: its position on the lattice, its cube, the culling
    // bounds and the lane order; returns the lane order's key. Everything
    // the search reads is formed from the start's registers (the mirrored
    // start too, made by value). Read back from memory, a field would wait
    // for a wide store, or a wide load for the smaller stores that formed
    // it: a failed store forward on every search. No member keeps the
    // start: the searches do not read it.
    template <Lanes kLanes>
    TULO_ALWAYS_INLINE inline int32_t place(const SearchStart& local) {
        if constexpr (kLanes == Lanes::near_first) {
            int mirror;
            const SearchStart m = mirror_start(local, &mirror);
            place_mirrored(m, mirror, local);
            return kKeptNearFirst + mirror;
        } else {
            V::template bounds<kBoundTerms>(local, r);
            tables = &kVisitingTables;
            place_point(local);
            return kKeptVisiting;
        }
    }

    // The same in the lanes nearest first mirrored on `mirror`, from the
    // start mirrored so (`m`).
    TULO_ALWAYS_INLINE inline void place_mirrored(const SearchStart& m, int mirror, const SearchStart& local) {
        V::template bounds<kNearFirstBoundTerms>(m, r);
        tables = &kNearFirstTables.mirror[mirror];
        place_point(local);
    }

    TULO_ALWAYS_INLINE inline void place_point(const SearchStart& local) {
        at[0] = V::set(local.at.x), at[1] = V::set(local.at.y), at[2] = V::set(local.at.z);
        cube[0] = local.ix, cube[1] = local.iy, cube[2] = local.iz;
    }

    // Forms every cube's points into `keep` and reads them from there.
    TULO_ALWAYS_INLINE inline void keep_formed(KeptNeighbourhood* keep) {
        for (int v = 0; v < kVectors; ++v) {
            const int lane = V::kWidth * v;
            formed_points(v, [&](int j, I count, F px, F py, F pz) {
                if (j == 0) V::storei(keep->count + lane, count);
                V::store(keep->point[3 * j] + lane, px);
                V::store(keep->point[3 * j + 1] + lane, py);
                V::store(keep->point[3 * j + 2] + lane, pz);
            });
        }
        keep->filled = 1;
        kept = keep;
    }

    // The generator states of the point's own cube, from which every cube's
    // points are formed.
    TULO_ALWAYS_INLINE inline void begin_generator(int32_t ix, int32_t iy, int32_t iz) {
        const LaneTables& t = kLaneTables;  // mul and add: the same in every order
        own_hash = lattice::cube_hash(ix, iy, iz);
        hash0 = V::seti(static_cast<int32_t>(own_hash));
        // One scalar store each, read back from memory, so that each becomes
        // the broadcast operand of its vector addition: a vector store read in
        // pieces would stall the loads forwarding from it (hence the empty asm
        // that keeps the compiler from vectorising the loop), and a register
        // broadcast costs more.
        for (int k = 0; k < kCoordinateSteps; ++k) {
            uint32_t state = t.mul[k] * own_hash + t.add[k];
            TULO_OPAQUE(state);
            base[k] = state;
        }
        TULO_OPAQUE_MEMORY(base);
    }

    // Calls visit(j, count, px, py, pz) for j = 0..4 with point j of every
    // cube of vector v as the search forms it from the generator (corner
    // plus unit coordinates), `count` being each cube's number of points.
    template <class Visit>
    TULO_ALWAYS_INLINE inline void formed_points(int v, Visit&& visit) const {
        // Known at compile time where every search takes the visiting order.
        const LaneTables& t = V::kNearFirst ? *tables : kVisitingTables;
        const int lane = V::kWidth * v;
        auto table = [lane](const auto* p) { return V::loadi(reinterpret_cast<const int32_t*>(p) + lane); };
        const I hash = V::addi(hash0, table(t.hash_offset));
        const I count = V::andi(V::point_counts(hash), table(t.used));
        // Cube corners as floats (coordinates wrap around in 32 bits).
        const F corner[3] = {V::to_float(V::addi(V::seti(cube[0]), table(t.dx))),
                             V::to_float(V::addi(V::seti(cube[1]), table(t.dy))),
                             V::to_float(V::addi(V::seti(cube[2]), table(t.dz)))};
        for (int j = 0; j < lattice::kMaxPointsPerCube; ++j) {
            F p[3];
            for (int c = 0; c < 3; ++c) {
                const int k = 3 * j + c;
                p[c] = V::add(corner[c], unit_coordinates<V>(
                                             V::addi(V::seti(static_cast<int32_t>(base[k])), table(t.seed_offset[k]))));
            }
            visit(j, count, p[0], p[1], p[2]);
        }
    }

public:
    // Calls visit(j, count, dx, dy, dz) for j = 0..4 with the offsets of
    // point j of every cube of vector v, `count` being each cube's number of
    // points (point j exists where count > j). Every cube runs all five,
    // masked: cheaper than a branch on whether any cube holds a fifth point,
    // which no predictor can guess.
    // kFrom says where the points come from, when the caller knows.
    template <PointSource kFrom = PointSource::either, class Visit>
    void points(int v, Visit&& visit) const {
        if (kFrom == PointSource::kept || (kFrom == PointSource::either && kept != nullptr)) {
            const int lane = V::kWidth * v;
            const I count = V::loadi(kept->count + lane);
            for (int j = 0; j < lattice::kMaxPointsPerCube; ++j) {
                visit(j, count, V::sub(V::load(kept->point[3 * j] + lane), at[0]),
                      V::sub(V::load(kept->point[3 * j + 1] + lane), at[1]),
                      V::sub(V::load(kept->point[3 * j + 2] + lane), at[2]));
            }
            return;
        }
        formed_points(v, [&](int j, I count, F px, F py, F pz) {
            visit(j, count, V::sub(px, at[0]), V::sub(py, at[1]), V::sub(pz, at[2]));
        });
    }
};

// Inserts point j's distance into each lane's pair (a <= b) where the cube
// has point j (count > j), by min and max (invariant 1); the first point
// updates a alone (invariant 2). With mask registers the masked forms cost
// nothing extra; otherwise the distance of a missing point is made NaN,
// which drops out, cheaper than two selects.
template <class V>
inline void insert_point(typename V::I count, int j, typename V::F dist, typename V::F* a, typename V::F* b) {
    if constexpr (V::kMaskRegisters) {
        const typename V::M has = V::gti(count, V::seti(j));
        if (j == 0) {
            *a = V::select(has, V::min(dist, *a), *a);
            return;
        }
        const typename V::F new_b = V::max(*a, V::min(dist, *b));
        *a = V::select(has, V::min(dist, *a), *a);
        *b = V::select(has, new_b, *b);
    } else {
        dist = V::nan_where(V::gti(V::seti(j + 1), count), dist);
        if (j != 0) *b = V::max(*a, V::min(dist, *b));
        *a = V::min(dist, *a);
    }
}

// The two smallest values lo <= hi of each cube of vector v (FAR for cubes
// with fewer points). With kUnitWeights the caller vouches that every
// weight is 1.0 (see lane_distance).
template <class V, LaneMetric Metric, bool kUnitWeights, PointSource kFrom = PointSource::either>
inline void cube_pairs(const CubeLanes<V>& s, int v, const typename V::F* w, typename V::F* lo_out,
                       typename V::F* hi_out) {
    using F = typename V::F;
    F lo = V::set(FAR_DISTANCE), hi = lo;
    s.template points<kFrom>(v, [&](int j, typename V::I count, F dx, F dy, F dz) {
        insert_point<V>(count, j, lane_distance<V, Metric, kUnitWeights>(dx, dy, dz, w[0], w[1], w[2]), &lo, &hi);
    });
    *lo_out = lo;
    *hi_out = hi;
}

// The two smallest of the pairs (lo, hi) and (lo2, hi2), lane by lane (no
// value is NaN: NaN distances drop out on insertion).
template <class V>
inline void merge_pairs(typename V::F* lo, typename V::F* hi, typename V::F lo2, typename V::F hi2) {
    const typename V::F second = V::min(V::max(*lo, lo2), V::min(*hi, hi2));
    *lo = V::min(*lo, lo2);
    *hi = second;
}

// The reachable cubes merged one by one in visiting order from the own
// cube's pair, as the sequential search merges them (invariant 5).
template <class V>
NearestTwo merge_in_order(const CubeLanes<V>& s, const typename V::F* lo, const typename V::F* hi,
                          const typename V::M* reach) {
    constexpr int kVectors = CubeLanes<V>::kVectors;
    alignas(64) float a[kCubeLanes], b[kCubeLanes], r[kCubeLanes];
    const typename V::F own_second = V::set(V::lane0(hi[0]));
    uint32_t lanes = 0;
    for (int v = 0; v < kVectors; ++v) {
        V::store(a + V::kWidth * v, lo[v]);
        V::store(b + V::kWidth * v, hi[v]);
        V::store(r + V::kWidth * v, s.r[v]);
        lanes |= V::bits(V::mask_and(reach[v], V::lt(lo[v], own_second))) << (V::kWidth * v);
    }
    NearestTwo f{a[0], b[0]};
    if constexpr (CubeLanes<V>::kSearchLanes == CubeLanes<V>::Lanes::visiting) {
        // Lane n holds the cube visited n-th.
        merge_candidates<V>(a, b, r, lanes & ~1u, &f);
    } else {
        // The candidates' pairs and bounds by their place in the visiting order.
        alignas(64) float va[kCubes], vb[kCubes], vr[kCubes];
        uint32_t candidates = 0;
        for (uint32_t rest = lanes & ~1u; rest != 0; rest &= rest - 1) {
            const int lane = lowest_set_bit(rest), n = s.tables->visit[lane];
            va[n] = a[lane], vb[n] = b[lane], vr[n] = r[lane];
            candidates |= 1u << n;
        }
        merge_candidates<V>(va, vb, vr, candidates, &f);
    }
    return f;
}

// The result from the pairs of the cubes that can be visited (lo[v] and
// hi[v] where reach[v]), g being the two smallest of them all: g stands
// unless a cube holding a value not above g's second one may go unvisited,
// checked against g's second value, then against the cube's own floor, and
// only where both fail the cubes are merged in order (invariant 5).
template <class V>
TULO_ALWAYS_INLINE inline NearestTwo finish_search_inlined(const CubeLanes<V>& s, const typename V::F* lo,
                                                           const typename V::F* hi, const typename V::M* reach,
                                                           NearestTwo g) {
    using F = typename V::F;
    constexpr int W = V::kWidth;
    constexpr int kVectors = CubeLanes<V>::kVectors;
    const F second = V::set(g.f1);
    uint32_t unsure = 0;
    for (int v = 0; v < kVectors; ++v) {
        unsure |= V::bits(V::mask_and(V::mask_and(reach[v], V::le(lo[v], second)), V::ge(s.r[v], second))) << (W * v);
    }
    if (unsure == 0) return g;
    alignas(64) float r[kCubeLanes];
    for (int v = 0; v < kVectors; ++v) V::store(r + W * v, s.r[v]);
    const F inf = V::set(HUGE_VALF);
    for (; unsure != 0; unsure &= unsure - 1) {
        const int lane = lowest_set_bit(unsure);
        const typename V::I place = V::seti(s.tables->visit[lane]);
        F floor_lo = inf, floor_hi = inf;
        for (int v = 0; v < kVectors; ++v) {
            const typename V::M before = V::mask_and(reach[v], V::gti(place, V::loadi(s.tables->visit + W * v)));
            merge_pairs<V>(&floor_lo, &floor_hi, V::select(before, lo[v], inf), V::select(before, hi[v], inf));
        }
        if (!(r[lane] < V::two_smallest(floor_lo, floor_hi).f1)) return merge_in_order<V>(s, lo, hi, reach);
    }
    return g;
}

// The same, one copy for the group searches (six inlined copies would
// crowd the instruction cache).
template <class V>
NearestTwo finish_search(const CubeLanes<V>& s, const typename V::F* lo, const typename V::F* hi,
                         const typename V::M* reach, NearestTwo g) {
    return finish_search_inlined<V>(s, lo, hi, reach, g);
}

// The search of one point once begun, its points from kFrom.
template <class V, LaneMetric Metric, bool kUnitWeights, PointSource kFrom>
TULO_ALWAYS_INLINE inline NearestTwo search_begun(const CubeLanes<V>& s, const Vector3& weights) {
    using F = typename V::F;
    using M = typename V::M;
    constexpr int kVectors = CubeLanes<V>::kVectors;
    const F w[3] = {V::set(weights.x), V::set(weights.y), V::set(weights.z)};
    const F inf = V::set(HUGE_VALF);

    // The point's own cube and the first cubes after it; each further vector
    // of cubes only when one of them can be visited: when its bound lies
    // below the second value of the own cube, which later visits only lower.
    F lo[kVectors], hi[kVectors];
    M reach[kVectors];
    cube_pairs<V, Metric, kUnitWeights, kFrom>(s, 0, w, &lo[0], &hi[0]);
    const F own_second = V::set(V::lane0(hi[0]));
    // The two smallest of every cube that can be visited, lane by lane.
    // The own cube (the lane whose bound is -inf) always counts, even when
    // its second value is -inf itself (infinite negative weights).
    reach[0] = V::mask_or(V::lt(s.r[0], own_second), V::eq(s.r[0], V::set(-HUGE_VALF)));
    F all_lo = V::select(reach[0], lo[0], inf), all_hi = V::select(reach[0], hi[0], inf);
    for (int v = 1; v < kVectors; ++v) {
        reach[v] = V::lt(s.r[v], own_second);
        if (V::none(reach[v])) {
            lo[v] = hi[v] = inf;
            continue;
        }
        cube_pairs<V, Metric, kUnitWeights, kFrom>(s, v, w, &lo[v], &hi[v]);
        const F lo2 = V::select(reach[v], lo[v], inf), hi2 = V::select(reach[v], hi[v], inf);
        const F second = V::min(V::max(all_lo, lo2), V::min(all_hi, hi2));
        all_lo = V::min(all_lo, lo2);
        all_hi = second;
    }
    return finish_search_inlined<V>(s, lo, hi, reach, V::two_smallest(all_lo, all_hi));
}

// With kKeep, `keep` is the thread's kept neighbourhood for this point
// (invariant 18); with kKeptApart a search of each kind, chosen once, so
// that neither asks per vector where its points come from.
template <class V, LaneMetric Metric, bool kUnitWeights, bool kKeep>
void nearest_two(const Vector3& weights, float x, float y, float z, NearestTwo* out, KeptNeighbourhood* keep) {
    CubeLanes<V> s;
    if constexpr (kKeep) {
        s.template begin<CubeLanes<V>::kSearchLanes>(x, y, z, keep);
        if constexpr (V::kKeptApart) {
            *out = s.kept != nullptr ? search_begun<V, Metric, kUnitWeights, PointSource::kept>(s, weights)
                                     : search_begun<V, Metric, kUnitWeights, PointSource::formed>(s, weights);
        } else {
            *out = search_begun<V, Metric, kUnitWeights, PointSource::either>(s, weights);
        }
    } else {
        s.template begin<CubeLanes<V>::kSearchLanes>(x, y, z);
        *out = search_begun<V, Metric, kUnitWeights, PointSource::formed>(s, weights);
    }
}

// The searches of several points once begun, stage by stage: each stage
// (own vector, reach, each further vector, reduction, check) runs for every
// point of the group in turn. The points' searches are independent chains,
// so the core overlaps them, where one search alone waits on its own
// latencies. Each point's result is exactly what nearest_two gives it: the
// stages are the same operations on the same values, only interleaved.
template <class V, LaneMetric Metric, bool kUnitWeights, PointSource kFrom>
void group_begun(const CubeLanes<V>* s, const Vector3& weights, int count, NearestTwo* out) {
    using F = typename V::F;
    using M = typename V::M;
    constexpr int kVectors = CubeLanes<V>::kVectors;
    const F w[3] = {V::set(weights.x), V::set(weights.y), V::set(weights.z)};
    const F inf = V::set(HUGE_VALF);

    F lo[kSearchGroup][kVectors], hi[kSearchGroup][kVectors];
    M reach[kSearchGroup][kVectors];
    F own_second[kSearchGroup], all_lo[kSearchGroup], all_hi[kSearchGroup];
    for (int i = 0; i < count; ++i) cube_pairs<V, Metric, kUnitWeights, kFrom>(s[i], 0, w, &lo[i][0], &hi[i][0]);
    for (int i = 0; i < count; ++i) {
        own_second[i] = V::set(V::lane0(hi[i][0]));
        reach[i][0] = V::mask_or(V::lt(s[i].r[0], own_second[i]), V::eq(s[i].r[0], V::set(-HUGE_VALF)));
        all_lo[i] = V::select(reach[i][0], lo[i][0], inf);
        all_hi[i] = V::select(reach[i][0], hi[i][0], inf);
    }
    for (int v = 1; v < kVectors; ++v) {
        for (int i = 0; i < count; ++i) {
            reach[i][v] = V::lt(s[i].r[v], own_second[i]);
            if (V::none(reach[i][v])) {
                lo[i][v] = hi[i][v] = inf;
                continue;
            }
            cube_pairs<V, Metric, kUnitWeights, kFrom>(s[i], v, w, &lo[i][v], &hi[i][v]);
            const F lo2 = V::select(reach[i][v], lo[i][v], inf), hi2 = V::select(reach[i][v], hi[i][v], inf);
            const F second = V::min(V::max(all_lo[i], lo2), V::min(all_hi[i], hi2));
            all_lo[i] = V::min(all_lo[i], lo2);
            all_hi[i] = second;
        }
    }
    for (int i = 0; i < count; ++i)
        out[i] = finish_search<V>(s[i], lo[i], hi[i], reach[i], V::two_smallest(all_lo[i], all_hi[i]));
}

// With kKeep, keep[i] is the thread's kept neighbourhood for points[i].
// The first point (the shader's octave 0, the coarsest) gates the rest:
// where it reads no kept neighbourhood (it left the cube of the sample
// before after a stay too short to keep, or has not stayed long enough
// yet), the samples are taken as not in a renderer's order, and the other
// points are searched without their kept neighbourhoods, which stay as
// they were (right whenever their key matches, however old: invariant 18). Random samples thus pay one
// key's compare and store per group, not one per point, and a group none
// of whose points was kept runs the search that forms its points without
// asking per vector.
template <class V, LaneMetric Metric, bool kUnitWeights, bool kKeep>
void nearest_two_group(const Vector3& weights, const Vector3* points, int count, NearestTwo* out,
                       KeptNeighbourhood* keep) {
    CubeLanes<V> s[kSearchGroup];
    bool any_kept = false;
    int unkept = 0;  // points from here on begin without their kept neighbourhoods
    if constexpr (kKeep) {
        s[0].template begin<CubeLanes<V>::kSearchLanes>(points[0].x, points[0].y, points[0].z, keep);
        any_kept = s[0].kept != nullptr;
        unkept = any_kept ? count : 1;
        for (int i = 1; i < unkept; ++i) {
            s[i].template begin<CubeLanes<V>::kSearchLanes>(points[i].x, points[i].y, points[i].z, keep + i);
            any_kept |= s[i].kept != nullptr;
        }
    }
    for (int i = unkept; i < count; ++i)
        s[i].template begin<CubeLanes<V>::kSearchLanes>(points[i].x, points[i].y, points[i].z);
    if (any_kept) return group_begun<V, Metric, kUnitWeights, PointSource::either>(s, weights, count, out);
    group_begun<V, Metric, kUnitWeights, PointSource::formed>(s, weights, count, out);
}

// With kKeep, keep[i] is the thread's kept neighbourhood for points[i].
template <class V, LaneMetric Metric, bool kUnitWeights, bool kKeep = false>
void nearest_two(const Vector3& w, const Vector3* points, int count, NearestTwo* out,
                 KeptNeighbourhood* keep = nullptr) {
    // One point (the shader at octave 0): the search written for one.
    if (count == 1) return nearest_two<V, Metric, kUnitWeights, kKeep>(w, points->x, points->y, points->z, out, keep);
    nearest_two_group<V, Metric, kUnitWeights, kKeep>(w, points, count, out, keep);
}

template <class V, PowerMetric Metric>
void power_bounds(const PowerWeights& pw, float x, float y, float z, PowerBounds* out) {
    using F = typename V::F;
    CubeLanes<V> s;
    const SearchStart start = s.template begin<CubeLanes<V>::Lanes::visiting>(x, y, z);
    out->start = start;
    out->own_hash = s.own_hash;
    const F inf = V::set(HUGE_VALF);
    const bool ordinary = ordinary_operands(pw, start.at);
    for (int v = 0; v < CubeLanes<V>::kVectors; ++v) {
        const int lane = V::kWidth * v;
        F least = inf;
        s.template points<PointSource::formed>(v, [&](int j, typename V::I count, F dx, F dy, F dz) {
            const F bound = V::select(V::gti(count, V::seti(j)),
                                      ordinary ? power_lower_bound<V, Metric, false>(dx, dy, dz, pw)
                                               : power_lower_bound<V, Metric, true>(dx, dy, dz, pw),
                                      inf);
            V::store(out->lower[j] + lane, bound);
            least = V::min(bound, least);
        });
        V::store(out->least + lane, least);
        V::store(out->r + lane, s.r[v]);
    }
}

template <class V>
void power_bounds(PowerMetric metric, const PowerWeights& w, float x, float y, float z, PowerBounds* out) {
    if (metric == PowerMetric::minkowski) {
        power_bounds<V, PowerMetric::minkowski>(w, x, y, z, out);
    } else {
        power_bounds<V, PowerMetric::superquadratic>(w, x, y, z, out);
    }
}

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

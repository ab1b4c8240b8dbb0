// The point-lanes search: one point in each vector lane, for arrays with
// N = 2 and metrics 1-3, each lane following its own point's sequential
// search (docs/search.md, invariant 7), cubes left out where their floors
// show they cannot matter (invariants 8, 9). Written once in the vocabulary
// of lane_ops.h.
#pragma once

#include <cstring>

#include "cellular/kernels/generic/culling.h"
#include "cellular/kernels/generic/lane_formulas.h"
#include "cellular/kernels/generic/lattices.h"
#include "cellular/kernels/generic/target.h"

namespace tulo {
namespace kernels {
namespace TULO_KERNEL_TARGET {
namespace {

// Floors that decide alone (invariant 9): Manhattan with weights of size 1
// or more, where every lane's offsets in its cube lie this far inside it.
// The culling bounds are then not formed.
constexpr float kFloorsDecideMargin = 0x1p-16f;

// Whether the floors decide alone for metric M with weights w (see above),
// given the vector's offsets in the cube: the weights' part.
template <LaneMetric M>
inline bool weights_let_floors_decide(const Vector3& w) {
    return M == LaneMetric::manhattan && fabs_f(w.x) >= 1.0f && fabs_f(w.y) >= 1.0f && fabs_f(w.z) >= 1.0f;
}

// The offsets' part: every lane's offsets in [2^-16, 1 - 2^-16].
template <class V>
inline bool offsets_let_floors_decide(const typename V::F* inside) {
    using F = typename V::F;
    const F low = V::set(kFloorsDecideMargin), high = V::set(1.0f - kFloorsDecideMargin);
    typename V::M ok = V::eq(low, low);
    for (int axis = 0; axis < 3; ++axis)
        ok = V::mask_and(ok, V::mask_and(V::ge(inside[axis], low), V::le(inside[axis], high)));
    return V::bits(ok) == V::bits(V::eq(low, low));
}

// Where the kept points themselves are asked for (offsets or ids), each
// lane also tracks which candidate holds each of its two values, as the
// float of a code: the candidate's cube as its step from the point's cube,
// each axis's step + 1 in two bits (x lowest), plus its number in the cube
// times kCandidatePoint; -1 for none. Insertion is then the strict
// sequential rule spelled out with masks, a new value below the first
// moving it down, one below the second taking its place, which keeps the
// same values as min and max (invariant 1) and the generation order among
// ties; a cube's pair joins the lane's by inserting its first then its
// second value. After the search each lane's two points are formed from
// their codes, all lanes at once (keep_point in search_lanes).
constexpr int kCandidatePoint = 64;

inline float candidate_code(const LaneTables& t, int n, int j) {
    return static_cast<float>((t.dx[n] + 1) | (t.dy[n] + 1) << 2 | (t.dz[n] + 1) << 4 | kCandidatePoint * j);
}

// With kPoints, the offsets (times DENSITY_UNSCALE) and ids of the points
// that hold each lane's two values; NaN offsets and id 0 where none does.
// The offsets are formed only where the caller asks for them.
template <class V>
struct KeptPoints {
    bool offsets;               // set by the caller
    typename V::F delta[2][3];  // [value][axis]
    typename V::I id[2];
};

template <class V>
TULO_ALWAYS_INLINE inline void insert_tracked(typename V::M in, typename V::F dist, typename V::F candidate,
                                              typename V::F* a, typename V::F* b, typename V::F* ca,
                                              typename V::F* cb) {
    const typename V::M first = V::mask_and(in, V::lt(dist, *a));
    const typename V::M take = V::mask_and(in, V::lt(dist, *b));
    *b = V::select(first, *a, V::select(take, dist, *b));
    *cb = V::select(first, *ca, V::select(take, candidate, *cb));
    *a = V::select(first, dist, *a);
    *ca = V::select(first, candidate, *ca);
}

// The same for a value offered to every lane, a NaN where the lane has
// none: the values by min and max (the same bits as the selects above, a
// NaN dropping out by the operand order), the candidates by selects.
template <class V>
TULO_ALWAYS_INLINE inline void insert_tracked_all(typename V::F dist, typename V::F candidate, typename V::F* a,
                                                  typename V::F* b, typename V::F* ca, typename V::F* cb) {
    const typename V::M first = V::lt(dist, *a);
    const typename V::M take = V::lt(dist, *b);
    *cb = V::select(first, *ca, V::select(take, candidate, *cb));
    *ca = V::select(first, candidate, *ca);
    *b = V::max(*a, V::min(dist, *b));
    *a = V::min(dist, *a);
}

// The two nearest values (lo <= hi, before square root and scale) of the
// points in the lanes of px, py, pz; weights_let_floors is the weights' part
// of that test (above). With kPoints, also which candidates hold them
// (kept, formed as the sequential search forms them: invariants 10 and 12).
template <class V, LaneMetric Metric, bool kUnitWeights, bool kPoints, class L>
inline void search_lanes(typename V::F px, typename V::F py, typename V::F pz, const typename V::F* w,
                         const typename V::F* fw, bool weights_let_floors, typename V::F* lo_out, typename V::F* hi_out,
                         KeptPoints<V>* kept, const L& lattice) {
    using F = typename V::F;
    using I = typename V::I;
    using M = typename V::M;
    const LaneTables& t = kLaneTables;
    const F scale = V::set(DENSITY_SCALE);
    const F at[3] = {V::mul(px, scale), V::mul(py, scale), V::mul(pz, scale)};
    const I cube[3] = {V::truncate(V::floor(at[0])), V::truncate(V::floor(at[1])), V::truncate(V::floor(at[2]))};

    const F inside[3] = {V::sub(at[0], V::to_float(cube[0])), V::sub(at[1], V::to_float(cube[1])),
                         V::sub(at[2], V::to_float(cube[2]))};
    // Corners of the cubes one below, at and one above the point's cube, per
    // axis (32-bit wrap-around, as the sequential search forms them).
    F corner[3][3];
    for (int axis = 0; axis < 3; ++axis) {
        for (int step = -1; step <= 1; ++step) corner[axis][step + 1] = V::to_float(V::addi(cube[axis], V::seti(step)));
    }
    // Every neighbour's floor (invariant 8): where it is not below a lane's
    // second value, the cube changes nothing there and goes unvisited. With
    // unit weights Euclidian's floors are its culling bounds, rounded
    // otherwise, and save nothing.
    constexpr bool kFloors = Metric != LaneMetric::euclidian || !kUnitWeights;
    F floor[kCubes];
    if constexpr (kFloors) each_cube_floor<V, Metric, kUnitWeights>(corner, at, fw, [&](int n, F f) { floor[n] = f; });
    // The culling bounds, unless the floors decide alone (r is then unset).
    F r[kCubes];
    const bool floors_alone = kFloors && weights_let_floors && offsets_let_floors_decide<V>(inside);
    if (!floors_alone) V::lane_bounds(inside[0], inside[1], inside[2], r);
    // The own cube's hash and generator states (invariant 12): cube n's state
    // k is base[k] + seed_offset[k][n]. Formed only where the lanes' cubes
    // differ (the shared path forms each point once, in scalar arithmetic).
    // On a periodic lattice a neighbour past the period's edge wraps to the
    // other side: its hash then differs from own + hash_offset by
    // -+ kHash * period along that axis, in the lanes at the edge
    // (wrap[axis][step + 1], step -1 or +1; 0 for step 0).
    I own_hash;
    I base[kCoordinateSteps];
    I wrap[3][3];
    auto form_own_hash = [&]() TULO_ALWAYS_INLINE {
        if constexpr (L::kPlugin) {
            own_hash = V::addi(V::addi(V::muli(cube[0], V::seti(static_cast<int32_t>(lattice::kHashX))),
                                       V::muli(cube[1], V::seti(static_cast<int32_t>(lattice::kHashY)))),
                               V::muli(cube[2], V::seti(static_cast<int32_t>(lattice::kHashZ))));
        } else {
            alignas(64) int32_t c[3][V::kWidth], hash[V::kWidth], edge[3][3][V::kWidth];
            for (int axis = 0; axis < 3; ++axis) V::storei(c[axis], cube[axis]);
            constexpr uint32_t kHash[3] = {lattice::kHashX, lattice::kHashY, lattice::kHashZ};
            for (int lane = 0; lane < V::kWidth; ++lane) {
                // The linear hash of the wrapped cube; scrambled per cube below.
                hash[lane] =
                    static_cast<int32_t>(lattice::cube_hash(lattice::lattice_cell(c[0][lane], 0, lattice.l.period[0]),
                                                            lattice::lattice_cell(c[1][lane], 0, lattice.l.period[1]),
                                                            lattice::lattice_cell(c[2][lane], 0, lattice.l.period[2])));
                for (int axis = 0; axis < 3; ++axis) {
                    const uint32_t period = lattice.l.period[axis];
                    const int32_t wrapped = lattice::lattice_cell(c[axis][lane], 0, period);
                    const uint32_t jump = kHash[axis] * period;
                    edge[axis][0][lane] = period != 0 && wrapped == 0 ? static_cast<int32_t>(jump) : 0;
                    edge[axis][1][lane] = 0;
                    edge[axis][2][lane] = period != 0 && static_cast<uint32_t>(wrapped) == period - 1
                                              ? static_cast<int32_t>(0u - jump)
                                              : 0;
                }
            }
            own_hash = V::loadi(hash);
            for (int axis = 0; axis < 3; ++axis)
                for (int step = 0; step < 3; ++step) wrap[axis][step] = V::loadi(edge[axis][step]);
        }
    };
    auto form_states = [&]() TULO_ALWAYS_INLINE {
        form_own_hash();
        if constexpr (L::kPlugin) {
            for (int k = 0; k < kCoordinateSteps; ++k) {
                base[k] = V::addi(V::muli(own_hash, V::seti(static_cast<int32_t>(t.mul[k]))),
                                  V::seti(static_cast<int32_t>(t.add[k])));
            }
        }  // (on another lattice each cube's states come from its own hash)
    };
    // On another lattice, a wrapped linear hash scrambled for a seed
    // (lattice.h, seeded_hash).
    auto scrambled = [&](I h) TULO_ALWAYS_INLINE {
        if constexpr (!L::kPlugin) {
            if (lattice.l.key != 0) {
                h = V::xori(h, V::seti(static_cast<int32_t>(lattice.l.key)));
                h = V::muli(V::xori(h, V::shift_right(h, 16)), V::seti(static_cast<int32_t>(0x85EBCA6Bu)));
                h = V::muli(V::xori(h, V::shift_right(h, 13)), V::seti(static_cast<int32_t>(0xC2B2AE35u)));
                h = V::xori(h, V::shift_right(h, 16));
            }
        }
        return h;
    };
    // On another lattice, cube n's hash.
    auto other_hash = [&](int n) TULO_ALWAYS_INLINE {
        return scrambled(V::addi(V::addi(own_hash, V::seti(static_cast<int32_t>(t.hash_offset[n]))),
                                 V::addi(V::addi(wrap[0][t.dx[n] + 1], wrap[1][t.dy[n] + 1]), wrap[2][t.dz[n] + 1])));
    };

    F lo = V::set(FAR_DISTANCE), hi = lo;
    F clo = V::set(-1.0f), chi = clo;  // with kPoints: the candidates holding lo and hi
    // (The lambdas share the search's state by reference: always inlined,
    // see TULO_ALWAYS_INLINE.)
    // Cube n's points, each inserted where the lane visits the cube. With
    // wide vectors every slot is computed: a branch on whether any lane
    // needs one costs more in mispredictions than the slot. With 4 lanes a
    // slot no lane needs (a third to a fifth point) is skipped.
    auto visit_cube = [&](int n, M visit) TULO_ALWAYS_INLINE {
        I hash;
        if constexpr (L::kPlugin) {
            hash = V::addi(own_hash, V::seti(static_cast<int32_t>(t.hash_offset[n])));
        } else {
            hash = other_hash(n);
        }
        const I count = V::point_counts(hash);
        const F c[3] = {corner[0][t.dx[n] + 1], corner[1][t.dy[n] + 1], corner[2][t.dz[n] + 1]};
        // The cube's own two smallest values first, a chain of its own that
        // overlaps with the cubes before it; then merged where the lane visits.
        F a = V::set(FAR_DISTANCE), b = a;
        F ca = V::set(-1.0f), cb = ca;
        for (int j = 0; j < lattice::kMaxPointsPerCube; ++j) {
            const M has = V::gti(count, V::seti(j));
            if constexpr (V::kWidth <= 4) {
                if (j >= 2 && V::none(has)) break;
            }
            F d[3];
            for (int axis = 0; axis < 3; ++axis) {
                const int k = 3 * j + axis;
                I state;
                if constexpr (L::kPlugin) {
                    state = V::addi(base[k], V::seti(static_cast<int32_t>(t.seed_offset[k][n])));
                } else {
                    state = V::addi(V::muli(hash, V::seti(static_cast<int32_t>(t.mul[k]))),
                                    V::seti(static_cast<int32_t>(t.add[k])));
                }
                d[axis] = offset<V>(c[axis], state, at[axis]);
            }
            F dist = lane_distance<V, Metric, kUnitWeights>(d[0], d[1], d[2], w[0], w[1], w[2]);
            // Insert by min and max (invariant 1); the first point updates a
            // alone (invariant 2). A missing point is left out by selects
            // where a select is one instruction, else by a NaN distance,
            // which min and max drop.
            if constexpr (kPoints) {
                dist = V::nan_where(V::gti(V::seti(j + 1), count), dist);
                insert_tracked_all<V>(dist, V::set(candidate_code(t, n, j)), &a, &b, &ca, &cb);
            } else if constexpr (V::kCheapSelect) {
                if (j == 0) {
                    a = V::select(has, V::min(dist, a), a);
                    continue;
                }
                const F new_b = V::max(a, V::min(dist, b));
                a = V::select(has, V::min(dist, a), a);
                b = V::select(has, new_b, b);
            } else {
                dist = V::nan_where(V::gti(V::seti(j + 1), count), dist);
                if (j != 0) b = V::max(a, V::min(dist, b));
                a = V::min(dist, a);
            }
        }
        if constexpr (kPoints) {
            insert_tracked<V>(visit, a, ca, &lo, &hi, &clo, &chi);
            insert_tracked<V>(visit, b, cb, &lo, &hi, &clo, &chi);
            return;
        }
        const F second = V::min(V::max(lo, a), V::min(hi, b));
        lo = V::select(visit, V::min(a, lo), lo);
        hi = V::select(visit, second, hi);
    };
    // All lanes in one cube (most vectors of an image row): every lane sees
    // the same feature points, so each point's corner + coordinate is formed
    // once, in scalar arithmetic (the same single-precision operations), and
    // only the offset from each lane's point is per lane; a cube's missing
    // points are skipped for all lanes at once.
    const int32_t own[3] = {V::lane0i(cube[0]), V::lane0i(cube[1]), V::lane0i(cube[2])};
    bool shared = true;
    for (int axis = 0; axis < 3; ++axis) {
        const I lane0 = V::seti(own[axis]);
        shared = shared && V::none(V::gti(cube[axis], lane0)) && V::none(V::gti(lane0, cube[axis]));
    }
    auto visit_shared = [&](int n, M visit) TULO_ALWAYS_INLINE {
        const int32_t step[3] = {t.dx[n], t.dy[n], t.dz[n]};
        float c[3];
        for (int axis = 0; axis < 3; ++axis) c[axis] = static_cast<float>(lattice::wrap_add(own[axis], step[axis]));
        const uint32_t hash =
            L::kPlugin ? lattice::cube_hash(own[0], own[1], own[2]) + t.hash_offset[n] : lattice.hash(own, step);
        const int count = cube_point_counts[hash >> 24];
        F a = V::set(FAR_DISTANCE), b = a;
        F ca = V::set(-1.0f), cb = ca;
        for (int j = 0; j < count; ++j) {
            F d[3];
            for (int axis = 0; axis < 3; ++axis) {
                const int k = 3 * j + axis;
                const float p = c[axis] + lattice::unit_coordinate(t.mul[k] * hash + t.add[k]);
                d[axis] = V::sub(V::set(p), at[axis]);
            }
            const F dist = lane_distance<V, Metric, kUnitWeights>(d[0], d[1], d[2], w[0], w[1], w[2]);
            if constexpr (kPoints) {
                insert_tracked_all<V>(dist, V::set(candidate_code(t, n, j)), &a, &b, &ca, &cb);
                continue;
            }
            const F new_b = V::max(a, V::min(dist, b));
            a = V::min(dist, a);
            b = new_b;
        }
        if constexpr (kPoints) {
            insert_tracked<V>(visit, a, ca, &lo, &hi, &clo, &chi);
            insert_tracked<V>(visit, b, cb, &lo, &hi, &clo, &chi);
            return;
        }
        const F second = V::min(V::max(lo, a), V::min(hi, b));
        lo = V::select(visit, V::min(a, lo), lo);
        hi = V::select(visit, second, hi);
    };
    // Lanes that visit cube n and can find in it a value below their second
    // one.
    auto useful_bounded = [&](int n) TULO_ALWAYS_INLINE {
        if constexpr (kFloors)
            return V::mask_and(V::lt(r[n], hi), V::nge(floor[n], hi));
        else
            return V::lt(r[n], hi);
    };
    // The same where the floors decide alone.
    auto useful_floored = [&](int n) TULO_ALWAYS_INLINE { return V::nge(floor[n], hi); };
    auto search = [&](auto&& visit_one, auto&& useful) TULO_ALWAYS_INLINE {
        // The own cube and its six face neighbours: nearly every vector has a
        // lane that uses each of them, and a branch would cost more.
        visit_one(0, V::eq(lo, lo));
        for (int n = 1; n <= kFaceNeighbours; ++n) visit_one(n, useful(n));
        // The edge and corner neighbours that some lane can still use, as
        // the second value stands now (it only decreases): one loop over
        // their list.
        uint32_t reachable = 0;
        for (int n = kFaceNeighbours + 1; n < kCubes; ++n) reachable |= static_cast<uint32_t>(!V::none(useful(n))) << n;
        while (reachable != 0) {
            const int n = lowest_set_bit(reachable);
            reachable &= reachable - 1;
            visit_one(n, useful(n));
        }
    };
    auto search_with = [&](auto&& useful) TULO_ALWAYS_INLINE {
        if (shared) {
            search(visit_shared, useful);
        } else {
            form_states();
            search(visit_cube, useful);
        }
    };
    if (floors_alone) {
        search_with(useful_floored);
    } else {
        search_with(useful_bounded);
    }
    *lo_out = lo;
    *hi_out = hi;
    if constexpr (kPoints) {
        // The point of each lane's candidate c (a code, see kCandidatePoint):
        // its cube's hash, corner and generator states as the search formed
        // them, for every point number some lane holds.
        auto keep_point = [&](F c, int value) TULO_ALWAYS_INLINE {
            const M filled = V::ge(c, V::set(0.0f));
            const I code = V::truncate(c);
            const I zero = V::seti(0);
            I step[3];
            for (int axis = 0; axis < 3; ++axis) {
                step[axis] = V::addi(V::andi(V::shift_right(code, 2 * axis), V::seti(3)), V::seti(-1));
            }
            I hash =
                V::addi(own_hash, V::addi(V::muli(step[0], V::seti(static_cast<int32_t>(lattice::kHashX))),
                                          V::addi(V::muli(step[1], V::seti(static_cast<int32_t>(lattice::kHashY))),
                                                  V::muli(step[2], V::seti(static_cast<int32_t>(lattice::kHashZ))))));
            if constexpr (!L::kPlugin) {
                for (int axis = 0; axis < 3; ++axis) {
                    hash = V::addi(hash, V::selecti(V::gti(step[axis], zero), wrap[axis][2],
                                                    V::selecti(V::gti(zero, step[axis]), wrap[axis][0], zero)));
                }
                hash = scrambled(hash);
            }
            F corner_of[3];
            for (int axis = 0; axis < 3; ++axis) corner_of[axis] = V::to_float(V::addi(cube[axis], step[axis]));
            const F number = V::to_float(V::shift_right(code, 6));
            F d[3] = {V::set(kUnfilledOffset), V::set(kUnfilledOffset), V::set(kUnfilledOffset)};
            I id = V::seti(static_cast<int32_t>(kUnfilledId));
            for (int j = 0; j < lattice::kMaxPointsPerCube; ++j) {
                const F jf = V::set(static_cast<float>(j));
                if (V::none(V::mask_and(filled, V::ge(number, jf)))) break;
                const M is = V::mask_and(filled, V::eq(number, jf));
                if (V::none(is)) continue;
                const int id_step = 1 + lattice::kStepsPerPoint * j;
                id = V::selecti(is,
                                V::addi(V::muli(hash, V::seti(static_cast<int32_t>(lattice::kSteps.mul[id_step]))),
                                        V::seti(static_cast<int32_t>(lattice::kSteps.add[id_step]))),
                                id);
                for (int axis = 0; axis < 3 && kept->offsets; ++axis) {
                    const int k = 3 * j + axis;
                    const I state = V::addi(V::muli(hash, V::seti(static_cast<int32_t>(t.mul[k]))),
                                            V::seti(static_cast<int32_t>(t.add[k])));
                    d[axis] = V::select(
                        is, V::mul(offset<V>(corner_of[axis], state, at[axis]), V::set(DENSITY_UNSCALE)), d[axis]);
                }
            }
            for (int axis = 0; axis < 3; ++axis) kept->delta[value][axis] = d[axis];
            kept->id[value] = id;
        };
        if (shared) form_own_hash();
        keep_point(clo, 0);
        keep_point(chi, 1);
    } else {
        static_cast<void>(kept), static_cast<void>(clo), static_cast<void>(chi);
    }
}

// Points go into lanes in an order that keeps alike points together: a
// vector whose lanes lie at about the same place in their cubes visits
// mostly the same neighbours, so more whole cubes go unvisited by every
// lane. Points that arrive coherent (an image row, a volume's scanlines)
// already are; points in no such order are sorted, block by block, by where
// they lie in their cube (invariant 7: the order never changes a result).
//
// A sorted block is copied into its new order and its results come back
// through a buffer, so that the vectors read and write whole vectors and the
// caller's arrays are read and written in order: gathering the lanes from
// the caller's array, and storing them back one by one, waits on memory.
constexpr std::size_t kSortBlock = 2048;  // points sorted together
constexpr int kPlaceCells = 64;           // places in a cube: 4 x 4 x 4 cells
// The block's buffers live on the stack, within what the array call's
// contract promises (cellular_batch.h): place, order, sorted, pairs.
static_assert((kSortBlock + 16) * (sizeof(int32_t) + sizeof(uint32_t) + sizeof(Vector3) + 2 * sizeof(float)) <=
                  64 * 1024,
              "the sorting buffers outgrow the stack the array call promises");

// The cell of its cube that each lane's point lies in, numbered in Morton
// order so that consecutive numbers are mostly neighbouring cells. NaN and
// infinite coordinates fall into cell 0 of their axis.
template <class V>
inline typename V::I place_in_cube(typename V::F x, typename V::F y, typename V::F z) {
    const typename V::F scale = V::set(DENSITY_SCALE), four = V::set(4.0f);
    auto quarter = [&](typename V::F v) {
        const typename V::F scaled = V::mul(v, scale);
        // (scaled - floor) * 4 lies in [0, 4) or is NaN, which truncates to
        // INT32_MIN: the mask keeps 0 of it.
        return V::andi(V::truncate(V::mul(V::sub(scaled, V::floor(scaled)), four)), V::seti(3));
    };
    const typename V::I qx = quarter(x), qy = quarter(y), qz = quarter(z);
    const typename V::I one = V::seti(1);
    const typename V::I low =
        V::ori(V::ori(V::andi(qx, one), V::shift_left(V::andi(qy, one), 1)), V::shift_left(V::andi(qz, one), 2));
    const typename V::I high = V::ori(V::ori(V::shift_right(qx, 1), V::shift_left(V::shift_right(qy, 1), 1)),
                                      V::shift_left(V::shift_right(qz, 1), 2));
    return V::ori(low, V::shift_left(high, 3));
}

// x, y and z of points[first..first + kWidth), the points past `count`
// repeating the last one.
template <class V>
inline void load_padded(const Vector3* points, std::size_t first, std::size_t count, typename V::F* x, typename V::F* y,
                        typename V::F* z) {
    constexpr std::size_t W = V::kWidth;
    if (count - first >= W) return V::load_points(points + first, x, y, z);
    Vector3 tail[W];
    for (std::size_t l = 0; l < W; ++l) tail[l] = points[first + l < count ? first + l : count - 1];
    V::load_points(tail, x, y, z);
}

// Asks for the cache lines of bytes [from, from + size) of an array of
// `total` bytes, clamped to the array (a hint: never a fault, no effect on
// results).
inline void prefetch_bytes(const void* array, std::size_t total, std::size_t from, std::size_t size) {
#if defined(__GNUC__) || defined(__clang__)
    constexpr std::size_t kLine = 64;
    const char* base = static_cast<const char*>(array);
    for (std::size_t at = from; at < from + size && at < total; at += kLine) __builtin_prefetch(base + at);
#else
    static_cast<void>(array), static_cast<void>(total), static_cast<void>(from), static_cast<void>(size);
#endif
}

// F[2i], F[2i + 1] for points[0..count), and with kPoints the offsets
// (delta, when not null) and ids (ID, when not null) of the same points.
template <class V, LaneMetric Metric, bool kUnitWeights, bool kPoints, class L>
void nearest_two_points(const Vector3& weights, const Vector3* points, std::size_t count, float* F, Vector3* delta,
                        uint32_t* ID, const L& lattice) {
    using F_ = typename V::F;
    constexpr std::size_t W = V::kWidth;
    const F_ w[3] = {V::set(weights.x), V::set(weights.y), V::set(weights.z)};
    const Vector3 floor_w = floor_weights<Metric>(weights);
    const F_ fw[3] = {V::set(floor_w.x), V::set(floor_w.y), V::set(floor_w.z)};
    const bool weights_let_floors = weights_let_floors_decide<Metric>(weights);
    alignas(64) int32_t place[kSortBlock + W];      // after the sort: where each point of the block went
    uint32_t order[kSortBlock];                     // with kPoints: the block's point at each sorted place
    Vector3 sorted[kSortBlock + W];                 // the block in its sorted order, padded
    alignas(64) float pairs[2 * (kSortBlock + W)];  // their results, in that order
    // With kPoints: the kept points of `lanes` lanes, lane l's going to
    // point index(l) of the array.
    auto store_points = [&](const KeptPoints<V>& kept, std::size_t lanes, auto&& index) TULO_ALWAYS_INLINE {
        alignas(64) float d[2][3][W];
        alignas(64) int32_t id[2][W];
        for (int k = 0; k < 2; ++k) {
            if (delta != nullptr)
                for (int axis = 0; axis < 3; ++axis) V::store(d[k][axis], kept.delta[k][axis]);
            V::storei(id[k], kept.id[k]);
        }
        if (delta != nullptr) {
            for (std::size_t l = 0; l < lanes; ++l) {
                const std::size_t i = index(l);
                for (int k = 0; k < 2; ++k) delta[2 * i + k] = Vector3{d[k][0][l], d[k][1][l], d[k][2][l]};
            }
        }
        if (ID != nullptr) {
            for (std::size_t l = 0; l < lanes; ++l) {
                const std::size_t i = index(l);
                for (int k = 0; k < 2; ++k) ID[2 * i + k] = static_cast<uint32_t>(id[k][l]);
            }
        }
    };
    for (std::size_t block = 0; block < count; block += kSortBlock) {
        const std::size_t n = count - block < kSortBlock ? count - block : kSortBlock;
        const Vector3* p = points + block;
        float* out = F + 2 * block;
        for (std::size_t first = 0; first < n; first += W) {
            F_ x, y, z;
            load_padded<V>(p, first, n, &x, &y, &z);
            V::storei(place + first, place_in_cube<V>(x, y, z));
        }
        std::size_t same = 0;
        for (std::size_t i = 1; i < n; ++i) same += place[i] == place[i - 1];
        const bool coherent = 2 * same >= n;
        if (coherent) {
            for (std::size_t first = 0; first < n; first += W) {
                F_ x, y, z, lo, hi;
                KeptPoints<V> kept;
                kept.offsets = delta != nullptr;
                load_padded<V>(p, first, n, &x, &y, &z);
                search_lanes<V, Metric, kUnitWeights, kPoints>(x, y, z, w, fw, weights_let_floors, &lo, &hi, &kept,
                                                               lattice);
                const std::size_t lanes = n - first < W ? n - first : W;
                if (lanes == W) {
                    V::store_results(lo, hi, out + 2 * first);
                } else {
                    V::store_results(lo, hi, pairs);
                    std::memcpy(out + 2 * first, pairs, 2 * lanes * sizeof(float));
                }
                if constexpr (kPoints) store_points(kept, lanes, [&](std::size_t l) { return block + first + l; });
            }
            continue;
        }
        // A counting sort by place, stable.
        uint32_t start[kPlaceCells + 1] = {};
        for (std::size_t i = 0; i < n; ++i) ++start[place[i] + 1];
        for (int c = 0; c < kPlaceCells; ++c) start[c + 1] += start[c];
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t at = start[place[i]]++;
            place[i] = static_cast<int32_t>(at);
            if constexpr (kPoints) order[at] = static_cast<uint32_t>(i);
            sorted[at] = p[i];
        }
        for (std::size_t i = n; i < n + W; ++i) sorted[i] = sorted[n - 1];
        // While the block is searched, the next one's points and results
        // come into the cache: a block of a large array is in neither, and
        // its copies in and out would wait on memory (coherent blocks, read
        // and written in order, need no hint).
        const std::size_t next = block + kSortBlock;
        for (std::size_t first = 0; first < n; first += W) {
            prefetch_bytes(points, count * sizeof(Vector3), (next + first) * sizeof(Vector3), W * sizeof(Vector3));
            prefetch_bytes(F, 2 * count * sizeof(float), 2 * (next + first) * sizeof(float), 2 * W * sizeof(float));
            F_ x, y, z, lo, hi;
            KeptPoints<V> kept;
            kept.offsets = delta != nullptr;
            V::load_points(sorted + first, &x, &y, &z);
            search_lanes<V, Metric, kUnitWeights, kPoints>(x, y, z, w, fw, weights_let_floors, &lo, &hi, &kept,
                                                           lattice);
            V::store_results(lo, hi, pairs + 2 * first);
            if constexpr (kPoints) {
                // (The block's points lie in a stretch of the caller's arrays
                // small enough for the cache: stored where they belong.)
                const std::size_t lanes = n - first < W ? n - first : W;
                store_points(kept, lanes, [&](std::size_t l) { return block + order[first + l]; });
            }
        }
        for (std::size_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, pairs + 2 * place[i], 2 * sizeof(float));
    }
}

}  // namespace
}  // namespace TULO_KERNEL_TARGET
}  // namespace kernels
}  // namespace tulo

// The cellular basis function.
//
// The search is written once as templates over the metric's concrete type and
// over how the nearest values are kept, so that the shader's common case (a
// built-in metric, N = 2, no offsets or ids) runs with the distance inlined
// and the two kept values in registers. Every variant performs the same
// single-precision operations in the same order, so all of them give the
// same bits.
#include "cellular/cellular_basis.h"

#include <cmath>

namespace tulo {

// Feature points per cube, indexed by the top 8 bits of the cube's hash:
// 6 zeros, 41 ones, 92 twos, 55 threes, 35 fours and 27 fives.
const int32_t cube_point_counts[256] = {
    4, 3, 1, 1, 1, 2, 4, 2, 2, 2, 5, 1, 0, 2, 1, 2,  //   0- 15
    2, 0, 4, 3, 2, 1, 2, 1, 3, 2, 2, 4, 2, 2, 5, 1,  //  16- 31
    2, 3, 2, 2, 2, 2, 2, 3, 2, 4, 2, 5, 3, 2, 2, 2,  //  32- 47
    5, 3, 3, 5, 2, 1, 3, 3, 4, 4, 2, 3, 0, 4, 2, 2,  //  48- 63
    2, 1, 3, 2, 2, 2, 3, 3, 3, 1, 2, 0, 2, 1, 1, 2,  //  64- 79
    2, 2, 2, 5, 3, 2, 3, 2, 3, 2, 2, 1, 0, 2, 1, 1,  //  80- 95
    2, 1, 2, 2, 1, 3, 4, 2, 2, 2, 5, 4, 2, 4, 2, 2,  //  96-111
    5, 4, 3, 2, 2, 5, 4, 3, 3, 3, 5, 2, 2, 2, 2, 2,  // 112-127
    3, 1, 1, 4, 2, 1, 3, 3, 4, 3, 2, 4, 3, 3, 3, 4,  // 128-143
    5, 1, 4, 2, 4, 3, 1, 2, 3, 5, 3, 2, 1, 3, 1, 3,  // 144-159
    3, 3, 2, 3, 1, 5, 5, 4, 2, 2, 4, 1, 3, 4, 1, 5,  // 160-175
    3, 3, 5, 3, 4, 3, 2, 2, 1, 1, 1, 1, 1, 2, 4, 5,  // 176-191
    4, 5, 4, 2, 1, 5, 1, 1, 2, 3, 3, 3, 2, 5, 2, 3,  // 192-207
    3, 2, 0, 2, 1, 1, 4, 2, 1, 3, 2, 1, 2, 2, 3, 2,  // 208-223
    5, 5, 3, 4, 5, 5, 2, 4, 4, 5, 3, 2, 2, 2, 1, 4,  // 224-239
    2, 3, 3, 4, 2, 5, 4, 2, 4, 2, 2, 2, 4, 5, 3, 2,  // 240-255
};

namespace {

using namespace lattice;

// Generator steps composed in closed form: k steps from s give
// mul[k] * s + add[k] (mod 2^32). Each coordinate of a cube's points is then
// one multiply-add from the cube's hash instead of a link in a serial chain.
constexpr int kMaxSteps = 1 + kStepsPerPoint * kMaxPointsPerCube;

struct ComposedSteps {
    uint32_t mul[kMaxSteps + 1];
    uint32_t add[kMaxSteps + 1];
};

constexpr ComposedSteps compose_steps() {
    ComposedSteps s{};
    s.mul[0] = 1u;
    s.add[0] = 0u;
    for (int k = 1; k <= kMaxSteps; ++k) {
        s.mul[k] = kGenMul * s.mul[k - 1];
        s.add[k] = kGenMul * s.add[k - 1] + kGenAdd;
    }
    return s;
}

constexpr ComposedSteps kSteps = compose_steps();

inline uint32_t after_steps(uint32_t seed, int k) { return kSteps.mul[k] * seed + kSteps.add[k]; }

// Keeps the N nearest values in the caller's arrays, with optional offsets
// and ids moved alongside.
struct KeepInArrays {
    float* F;
    Vector3* delta;
    uint32_t* ID;
    int32_t N;

    float farthest() const { return F[N - 1]; }

    void offer(float dist, const Vector3& d, uint32_t id) {
        if (!(F[N - 1] > dist)) return;  // strict; a NaN distance is never kept
        // Insertion point: after every kept value that is not greater.
        int32_t k = N - 1;
        while (k > 0 && F[k - 1] > dist) --k;
        // Shift the tail by one, dropping the old last entry.
        for (int32_t i = N - 1; i > k; --i) {
            F[i] = F[i - 1];
            if (ID) ID[i] = ID[i - 1];
            if (delta) delta[i] = delta[i - 1];
        }
        F[k] = dist;
        if (ID) ID[k] = id;
        if (delta) delta[k] = d;
    }
};

// The shader's case: the two nearest values only, held in registers.
struct KeepTwo {
    float f0 = FAR_DISTANCE;
    float f1 = FAR_DISTANCE;

    float farthest() const { return f1; }

    void offer(float dist, const Vector3&, uint32_t) {
        if (f1 > dist) {
            if (f0 > dist) {
                f1 = f0;
                f0 = dist;
            } else {
                f1 = dist;
            }
        }
    }
};

// Generates the points of one cube and offers each to `keep`.
template <class Metric, class Keep>
inline void visit_cube(const Metric& metric, const Vector3& w, int32_t cx, int32_t cy, int32_t cz,
                       const Vector3& at, Keep& keep) {
    const uint32_t hash = cube_hash(cx, cy, cz);
    const int32_t count = cube_point_counts[hash >> 24];
    const float ox = static_cast<float>(cx);
    const float oy = static_cast<float>(cy);
    const float oz = static_cast<float>(cz);
    for (int32_t j = 0; j < count; ++j) {
        // Point j's id is the seed after 1 + 4j steps from the hash; its
        // coordinates come from the three steps after that.
        const int first = 1 + kStepsPerPoint * j;
        const uint32_t id = after_steps(hash, first);
        const float px = unit_coordinate(after_steps(hash, first + 1));
        const float py = unit_coordinate(after_steps(hash, first + 2));
        const float pz = unit_coordinate(after_steps(hash, first + 3));
        const Vector3 d{(ox + px) - at.x, (oy + py) - at.y, (oz + pz) - at.z};
        keep.offer(metric.Distance(d, w), d, id);
    }
}

// Visits the point's cube, then each neighbour that may still hold a nearer
// candidate, in the fixed order: faces, then edges, then corners.
template <class Metric, class Keep>
void search(const Metric& metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    const Vector3 at{x * DENSITY_SCALE, y * DENSITY_SCALE, z * DENSITY_SCALE};
    const int32_t ix = cube_coordinate(at.x);
    const int32_t iy = cube_coordinate(at.y);
    const int32_t iz = cube_coordinate(at.z);
    visit_cube(metric, w, ix, iy, iz, at, keep);

    // Squared distances (double precision) from the point to its cube's faces:
    // d* to the lower face, m* to the upper one.
    const double fx = at.x - static_cast<float>(ix);
    const double fy = at.y - static_cast<float>(iy);
    const double fz = at.z - static_cast<float>(iz);
    const double dx2 = fx * fx, mx2 = (1.0 - fx) * (1.0 - fx);
    const double dy2 = fy * fy, my2 = (1.0 - fy) * (1.0 - fy);
    const double dz2 = fz * fz, mz2 = (1.0 - fz) * (1.0 - fz);

    const int32_t xl = wrap_add(ix, -1), xh = wrap_add(ix, 1);
    const int32_t yl = wrap_add(iy, -1), yh = wrap_add(iy, 1);
    const int32_t zl = wrap_add(iz, -1), zh = wrap_add(iz, 1);

    // Each test reads the farthest kept value afresh: earlier visits lower it.
    auto visit_if_nearer = [&](double bound, int32_t cx, int32_t cy, int32_t cz) {
        if (static_cast<double>(keep.farthest()) > bound) visit_cube(metric, w, cx, cy, cz, at, keep);
    };
    // Faces.
    visit_if_nearer(dx2, xl, iy, iz);
    visit_if_nearer(dy2, ix, yl, iz);
    visit_if_nearer(dz2, ix, iy, zl);
    visit_if_nearer(mx2, xh, iy, iz);
    visit_if_nearer(my2, ix, yh, iz);
    visit_if_nearer(mz2, ix, iy, zh);
    // Edges.
    visit_if_nearer(dy2 + dx2, xl, yl, iz);
    visit_if_nearer(dz2 + dx2, xl, iy, zl);
    visit_if_nearer(dz2 + dy2, ix, yl, zl);
    visit_if_nearer(my2 + mx2, xh, yh, iz);
    visit_if_nearer(mz2 + mx2, xh, iy, zh);
    visit_if_nearer(mz2 + my2, ix, yh, zh);
    visit_if_nearer(my2 + dx2, xl, yh, iz);
    visit_if_nearer(mz2 + dx2, xl, iy, zh);
    visit_if_nearer(mz2 + dy2, ix, yl, zh);
    visit_if_nearer(mx2 + dy2, xh, yl, iz);
    visit_if_nearer(mx2 + dz2, xh, iy, zl);
    visit_if_nearer(my2 + dz2, ix, yh, zl);
    // Corners.
    visit_if_nearer((dy2 + dx2) + dz2, xl, yl, zl);
    visit_if_nearer((dy2 + dx2) + mz2, xl, yl, zh);
    visit_if_nearer((my2 + dx2) + dz2, xl, yh, zl);
    visit_if_nearer((my2 + dx2) + mz2, xl, yh, zh);
    visit_if_nearer((mx2 + dy2) + dz2, xh, yl, zl);
    visit_if_nearer((mx2 + dy2) + mz2, xh, yl, zh);
    visit_if_nearer((my2 + mx2) + dz2, xh, yh, zl);
    visit_if_nearer((my2 + mx2) + mz2, xh, yh, zh);
}

// Runs the search with the metric's concrete type when it is one of the
// process-wide metric objects (the distance is then called directly), and
// through the virtual slot-0 operation for any other DistType.
template <class Keep>
void search_any(const DistType* metric, const Vector3& w, float x, float y, float z, Keep& keep) {
    if (metric == &euclidian) return search(euclidian, w, x, y, z, keep);
    if (metric == &manhattan) return search(manhattan, w, x, y, z, keep);
    if (metric == &chessboard) return search(chessboard, w, x, y, z, keep);
    if (metric == &minkowski) return search(minkowski, w, x, y, z, keep);
    if (metric == &superquadratic) return search(superquadratic, w, x, y, z, keep);
    search(*metric, w, x, y, z, keep);
}

// A kept value in the caller's units.
inline float unscale(float kept) { return std::sqrt(kept) * DENSITY_UNSCALE; }

}  // namespace

void cellular_basis(const DistType* metric, const Vector3* weights, float x, float y, float z,
                    int32_t N, float* F, Vector3* delta, uint32_t* ID) {
    if (N == 2 && delta == nullptr && ID == nullptr) {
        KeepTwo keep;
        search_any(metric, *weights, x, y, z, keep);
        F[0] = unscale(keep.f0);
        F[1] = unscale(keep.f1);
        return;
    }

    for (int32_t i = 0; i < N; ++i) F[i] = FAR_DISTANCE;
    KeepInArrays keep{F, delta, ID, N};
    search_any(metric, *weights, x, y, z, keep);
    for (int32_t i = 0; i < N; ++i) F[i] = unscale(F[i]);
    if (delta != nullptr) {
        for (int32_t i = 0; i < N; ++i) {
            delta[i].x *= DENSITY_UNSCALE;
            delta[i].y *= DENSITY_UNSCALE;
            delta[i].z *= DENSITY_UNSCALE;
        }
    }
}

void add_cube_points(const DistType* metric, const Vector3* weights, int32_t cx, int32_t cy,
                     int32_t cz, int32_t N, const Vector3& at, float* F, Vector3* delta,
                     uint32_t* ID) {
    KeepInArrays keep{F, delta, ID, N};
    visit_cube(*metric, *weights, cx, cy, cz, at, keep);
}

}  // namespace tulo

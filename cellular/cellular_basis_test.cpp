// Tests of the cellular basis: constants, the lattice hash and generator
// against hand-derived values, the search against a brute-force scan of the
// 27 cubes, ties, culling, unfilled slots and extreme points.
#include "cellular/cellular_basis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tulo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const Vector3 kOnes{1.0f, 1.0f, 1.0f};

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}
#define EXPECT_BITS_EQ(expected, actual) EXPECT_EQ(bits(expected), bits(actual))

// What an unfilled slot of F leaves as.
const float kFarOut = std::sqrt(999999.875f) * 2.5116162f;

// --- An independent model of the lattice, written from the definition with
// 64-bit arithmetic reduced mod 2^32. ---

uint32_t model_hash(int64_t cx, int64_t cy, int64_t cz) {
    const uint64_t m = 1ull << 32;
    const uint64_t h = 702395077ull * static_cast<uint64_t>(cx + (1ll << 32)) +
                       915488749ull * static_cast<uint64_t>(cy + (1ll << 32)) +
                       2120969693ull * static_cast<uint64_t>(cz + (1ll << 32));
    return static_cast<uint32_t>(h % m);
}

uint32_t model_advance(uint32_t s) {
    return static_cast<uint32_t>((1402024253ull * s + 586950981ull) % (1ull << 32));
}

float model_coordinate(uint32_t s) { return (static_cast<float>(s) + 0.5f) * 2.3283064e-10f; }

struct Candidate {
    float value;   // the metric's raw value
    uint32_t id;
    Vector3 d;     // offset from the scaled point, not yet unscaled
};

// Every point of the 27 cubes around the point's cube, in visiting order of
// cubes irrelevant: returned sorted by value (stable).
std::vector<Candidate> brute_force(const DistType& metric, const Vector3& w, float x, float y, float z) {
    const Vector3 at{x * 0.39815f, y * 0.39815f, z * 0.39815f};
    const int64_t ix = static_cast<int64_t>(std::floor(at.x));
    const int64_t iy = static_cast<int64_t>(std::floor(at.y));
    const int64_t iz = static_cast<int64_t>(std::floor(at.z));
    std::vector<Candidate> all;
    for (int64_t cx = ix - 1; cx <= ix + 1; ++cx)
        for (int64_t cy = iy - 1; cy <= iy + 1; ++cy)
            for (int64_t cz = iz - 1; cz <= iz + 1; ++cz) {
                uint32_t s = model_hash(cx, cy, cz);
                const int n = cube_point_counts[s >> 24];
                s = model_advance(s);
                for (int j = 0; j < n; ++j) {
                    const uint32_t id = s;
                    s = model_advance(s);
                    const float px = model_coordinate(s);
                    s = model_advance(s);
                    const float py = model_coordinate(s);
                    s = model_advance(s);
                    const float pz = model_coordinate(s);
                    s = model_advance(s);
                    const Vector3 d{(static_cast<float>(cx) + px) - at.x, (static_cast<float>(cy) + py) - at.y,
                                    (static_cast<float>(cz) + pz) - at.z};
                    all.push_back({metric.Distance(d, w), id, d});
                }
            }
    std::stable_sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) { return a.value < b.value; });
    return all;
}

std::vector<Vector3> random_points(int count, float extent, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-extent, extent);
    std::vector<Vector3> points(static_cast<size_t>(count));
    for (auto& p : points) p = {u(rng), u(rng), u(rng)};
    return points;
}

// A metric defined outside the library: it takes the virtual path, counts
// its evaluations and can return a constant.
struct ProbeMetric final : DistType {
    const DistType* inner = nullptr;  // null: always return `constant`
    float constant = 1.0f;
    mutable int evaluations = 0;
    float Distance(const Vector3& d, const Vector3& w) const override {
        ++evaluations;
        return inner ? inner->Distance(d, w) : constant;
    }
    float Distance(const Vector3& d) const override { return inner ? inner->Distance(d) : constant; }
};

TEST(BasisConstants, StoredBits) {
    EXPECT_EQ(0x497423FEu, bits(FAR_DISTANCE));
    EXPECT_EQ(0x3ECBDA51u, bits(DENSITY_SCALE));
    EXPECT_EQ(0x4020BE52u, bits(DENSITY_UNSCALE));
    EXPECT_EQ(0x2F800000u, bits(lattice::kPointScale));
}

TEST(BasisConstants, PointCountTable) {
    int histogram[6] = {};
    for (int32_t n : cube_point_counts) {
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 5);
        ++histogram[n];
    }
    EXPECT_EQ(6, histogram[0]);
    EXPECT_EQ(41, histogram[1]);
    EXPECT_EQ(92, histogram[2]);
    EXPECT_EQ(55, histogram[3]);
    EXPECT_EQ(35, histogram[4]);
    EXPECT_EQ(27, histogram[5]);
    // Spot checks along the rows.
    EXPECT_EQ(4, cube_point_counts[0]);
    EXPECT_EQ(0, cube_point_counts[12]);
    EXPECT_EQ(4, cube_point_counts[41]);
    EXPECT_EQ(5, cube_point_counts[144]);
    EXPECT_EQ(0, cube_point_counts[210]);
    EXPECT_EQ(2, cube_point_counts[255]);
}

TEST(Lattice, HashAndFirstPointsOfTheOriginCube) {
    EXPECT_EQ(0u, lattice::cube_hash(0, 0, 0));
    EXPECT_EQ(702395077u, lattice::cube_hash(1, 0, 0));
    EXPECT_EQ(41u, lattice::cube_hash(1, 0, 0) >> 24);
    EXPECT_EQ(3592572219u, lattice::cube_hash(-1, 0, 0));  // 2^32 - 702395077
    EXPECT_EQ(model_hash(-5, 17, -123456), lattice::cube_hash(-5, 17, -123456));
    EXPECT_EQ(model_hash(INT32_MIN, INT32_MAX, -1), lattice::cube_hash(INT32_MIN, INT32_MAX, -1));

    // The origin cube holds 4 points; collect them all with their offsets
    // from the cube's corner.
    float F[4];
    Vector3 delta[4];
    uint32_t ID[4];
    std::fill(F, F + 4, FAR_DISTANCE);
    add_cube_points(&euclidian, &kOnes, 0, 0, 0, 4, Vector3{0.0f, 0.0f, 0.0f}, F, delta, ID);
    std::vector<uint32_t> ids(ID, ID + 4);
    const uint32_t expected_ids[] = {586950981u, 182328305u, 615034973u, 452604553u};
    for (uint32_t id : expected_ids) EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), id)) << id;

    const auto first = static_cast<size_t>(std::find(ids.begin(), ids.end(), 586950981u) - ids.begin());
    ASSERT_LT(first, 4u);
    const uint32_t sx = model_advance(586950981u), sy = model_advance(sx), sz = model_advance(sy);
    EXPECT_BITS_EQ(model_coordinate(sx), delta[first].x);
    EXPECT_BITS_EQ(model_coordinate(sy), delta[first].y);
    EXPECT_BITS_EQ(model_coordinate(sz), delta[first].z);
    EXPECT_NEAR(0.48, delta[first].x, 0.005);
    EXPECT_NEAR(0.52, delta[first].y, 0.005);
    EXPECT_NEAR(0.55, delta[first].z, 0.005);
    const auto second = static_cast<size_t>(std::find(ids.begin(), ids.end(), 182328305u) - ids.begin());
    EXPECT_NEAR(0.20, delta[second].x, 0.005);
    EXPECT_NEAR(0.96, delta[second].y, 0.005);
    EXPECT_NEAR(0.15, delta[second].z, 0.005);
    // Sorted ascending.
    EXPECT_TRUE(std::is_sorted(F, F + 4));
}

TEST(Lattice, UnitCoordinateRange) {
    EXPECT_BITS_EQ(0x1p-33f, lattice::unit_coordinate(0u));
    EXPECT_BITS_EQ(1.0f, lattice::unit_coordinate(0xFFFFFFFFu));
    EXPECT_BITS_EQ(1.0f, lattice::unit_coordinate(0xFFFFFF80u));  // rounds up to 2^32
    EXPECT_LT(lattice::unit_coordinate(0xFFFFFF7Fu), 1.0f);
}

TEST(Lattice, CubeCoordinatesOfExtremeValues) {
    using lattice::cube_coordinate;
    EXPECT_EQ(-1, cube_coordinate(-0.2f));
    EXPECT_EQ(0, cube_coordinate(-0.0f));
    EXPECT_EQ(2147483520, cube_coordinate(2147483520.0f));  // the largest float below 2^31
    EXPECT_EQ(INT32_MIN, cube_coordinate(-2147483648.0f));
    EXPECT_EQ(INT32_MIN, cube_coordinate(2147483648.0f));
    EXPECT_EQ(INT32_MIN, cube_coordinate(-2147483904.0f));
    EXPECT_EQ(INT32_MIN, cube_coordinate(kNaN));
    EXPECT_EQ(INT32_MIN, cube_coordinate(kInf));
    EXPECT_EQ(INT32_MIN, cube_coordinate(-kInf));
    EXPECT_EQ(INT32_MAX, lattice::wrap_add(INT32_MIN, -1));
    EXPECT_EQ(INT32_MIN, lattice::wrap_add(INT32_MAX, 1));
}

TEST(Basis, OriginWithUnitEuclidian) {
    float F[2];
    cellular_basis(&euclidian, &kOnes, 0.0f, 0.0f, 0.0f, 2, F, nullptr, nullptr);
    EXPECT_NEAR(0.65, F[0], 0.01);
    EXPECT_NEAR(1.18, F[1], 0.01);
    const auto all = brute_force(euclidian, kOnes, 0.0f, 0.0f, 0.0f);
    EXPECT_BITS_EQ(std::sqrt(all[0].value) * DENSITY_UNSCALE, F[0]);
    EXPECT_BITS_EQ(std::sqrt(all[1].value) * DENSITY_UNSCALE, F[1]);
}

// With the unit Euclidian metric the culling never skips a cube that holds a
// nearer point, so the search must agree with the brute-force scan exactly:
// values, ids and offsets, for the shader's N = 2 and for general N.
TEST(Basis, UnitEuclidianMatchesBruteForce) {
    for (const Vector3& p : random_points(3000, 40.0f, 7)) {
        const auto all = brute_force(euclidian, kOnes, p.x, p.y, p.z);
        float F2[2];
        cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, 2, F2, nullptr, nullptr);
        EXPECT_BITS_EQ(std::sqrt(all[0].value) * DENSITY_UNSCALE, F2[0]);
        EXPECT_BITS_EQ(std::sqrt(all[1].value) * DENSITY_UNSCALE, F2[1]);

        float F1[1];
        cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, 1, F1, nullptr, nullptr);
        EXPECT_BITS_EQ(F2[0], F1[0]);

        constexpr int N = 6;
        float F[N];
        Vector3 delta[N];
        uint32_t ID[N];
        cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, N, F, delta, ID);
        for (int i = 0; i < N; ++i) {
            const Candidate& c = all[static_cast<size_t>(i)];
            EXPECT_BITS_EQ(std::sqrt(c.value) * DENSITY_UNSCALE, F[i]);
            EXPECT_EQ(c.id, ID[i]);
            EXPECT_BITS_EQ(c.d.x * DENSITY_UNSCALE, delta[i].x);
            EXPECT_BITS_EQ(c.d.y * DENSITY_UNSCALE, delta[i].y);
            EXPECT_BITS_EQ(c.d.z * DENSITY_UNSCALE, delta[i].z);
        }
        if (HasFailure()) FAIL() << "at point (" << p.x << ", " << p.y << ", " << p.z << ")";
    }
}

// For every metric and assorted weights, F is ascending and each kept entry
// describes one real point: its id, its offset and its value agree.
TEST(Basis, OffsetsAndIdsDescribeTheKeptPoints) {
    const Vector3 weights[] = {{1.0f, 1.0f, 1.0f}, {0.3f, 2.0f, 1.0f}, {2.5f, 0.5f, 1.5f}};
    for (int m = kFirstMetric; m <= kLastMetric; ++m) {
        const DistType& metric = metric_by_number(m);
        for (const Vector3& w : weights) {
            for (const Vector3& p : random_points(300, 25.0f, 11u + static_cast<unsigned>(m))) {
                const auto all = brute_force(metric, w, p.x, p.y, p.z);
                constexpr int N = 4;
                float F[N];
                Vector3 delta[N];
                uint32_t ID[N];
                cellular_basis(&metric, &w, p.x, p.y, p.z, N, F, delta, ID);
                ASSERT_TRUE(std::is_sorted(F, F + N)) << "metric " << m;
                for (int i = 0; i < N; ++i) {
                    const auto c = std::find_if(all.begin(), all.end(), [&](const Candidate& k) { return k.id == ID[i]; });
                    ASSERT_NE(all.end(), c) << "metric " << m << " slot " << i;
                    EXPECT_BITS_EQ(std::sqrt(c->value) * DENSITY_UNSCALE, F[i]);
                    EXPECT_BITS_EQ(c->d.x * DENSITY_UNSCALE, delta[i].x);
                    EXPECT_BITS_EQ(c->d.z * DENSITY_UNSCALE, delta[i].z);
                }
                // The two-value fast path gives the same two values whenever
                // the culling reached the same cubes (always true for N = 2
                // versus its own general path).
                float G[2];
                uint32_t gid[2];
                float H[2];
                cellular_basis(&metric, &w, p.x, p.y, p.z, 2, G, nullptr, gid);
                cellular_basis(&metric, &w, p.x, p.y, p.z, 2, H, nullptr, nullptr);
                EXPECT_BITS_EQ(G[0], H[0]);
                EXPECT_BITS_EQ(G[1], H[1]);
            }
        }
    }
}

TEST(Basis, OtherMetricObjectsTakeTheVirtualPathWithTheSameResult) {
    ProbeMetric probe;
    probe.inner = &euclidian;
    const Vector3 w{0.7f, 1.3f, 1.0f};
    for (const Vector3& p : random_points(200, 30.0f, 3)) {
        float a[2], b[2];
        cellular_basis(&euclidian, &w, p.x, p.y, p.z, 2, a, nullptr, nullptr);
        cellular_basis(&probe, &w, p.x, p.y, p.z, 2, b, nullptr, nullptr);
        EXPECT_BITS_EQ(a[0], b[0]);
        EXPECT_BITS_EQ(a[1], b[1]);
    }
    EXPECT_GT(probe.evaluations, 200 * 4);
}

TEST(Basis, EqualValuesKeepGenerationOrderAndTheLastSlotIsStrict) {
    // Every candidate has the value 1: the first two points generated (the
    // first two of the point's own cube) are kept, in order; later equal
    // values are not.
    ProbeMetric constant;
    float F[2];
    uint32_t ID[2];
    cellular_basis(&constant, &kOnes, 0.5f, 0.5f, 0.5f, 2, F, nullptr, ID);
    EXPECT_EQ(586950981u, ID[0]);
    EXPECT_EQ(182328305u, ID[1]);
    EXPECT_BITS_EQ(DENSITY_UNSCALE, F[0]);  // sqrt(1) * unscale
    EXPECT_BITS_EQ(DENSITY_UNSCALE, F[1]);
}

TEST(Basis, NegativeCoordinatesUseTheCubeBelow) {
    // x = -0.5 scales to about -0.2, in cube -1; the first point generated
    // there is the one kept when every value is equal.
    ProbeMetric constant;
    float F[1];
    uint32_t ID[1];
    cellular_basis(&constant, &kOnes, -0.5f, 0.5f, 0.5f, 1, F, nullptr, ID);
    EXPECT_EQ(model_advance(model_hash(-1, 0, 0)), ID[0]);
}

TEST(Basis, NegativeEuclidianValuesStopTheSearchAndBecomeNaN) {
    ProbeMetric probe;
    probe.inner = &euclidian;
    const Vector3 negative{-1.0f, -1.0f, -1.0f};
    float F[1];
    uint32_t ID[1];
    // The origin cube holds 4 points: once one is kept (below 0), no
    // neighbour's bound (at least 0) can be beaten.
    cellular_basis(&probe, &negative, 0.5f, 0.5f, 0.5f, 1, F, nullptr, ID);
    EXPECT_EQ(4, probe.evaluations);
    EXPECT_TRUE(std::isnan(F[0]));
    // The kept one is the most negative value of the four (the farthest
    // point): negative values sort as numbers.
    const uint32_t own[] = {586950981u, 182328305u, 615034973u, 452604553u};
    const auto all = brute_force(euclidian, negative, 0.5f, 0.5f, 0.5f);
    const auto lowest = std::find_if(all.begin(), all.end(), [&](const Candidate& c) {
        return std::find(std::begin(own), std::end(own), c.id) != std::end(own);
    });
    ASSERT_NE(all.end(), lowest);
    EXPECT_EQ(lowest->id, ID[0]);
    EXPECT_LT(lowest->value, 0.0f);
}

TEST(Basis, UnfilledSlotsKeepTheFarValueAndTheCallersIdsAndOffsets) {
    // More slots than the 27 cubes can ever hold (at most 135 points).
    constexpr int N = 200;
    std::vector<float> F(N);
    std::vector<Vector3> delta(N, Vector3{1.0f, -2.0f, 0.5f});
    std::vector<uint32_t> ID(N, 0xDEADBEEFu);
    cellular_basis(&euclidian, &kOnes, 3.0f, -4.0f, 5.0f, N, F.data(), delta.data(), ID.data());
    const auto all = brute_force(euclidian, kOnes, 3.0f, -4.0f, 5.0f);
    // Culling may leave out some far cubes, but never more than exist.
    int filled = 0;
    while (filled < N && ID[static_cast<size_t>(filled)] != 0xDEADBEEFu) ++filled;
    EXPECT_GT(filled, 2);
    EXPECT_LE(static_cast<size_t>(filled), all.size());
    for (int i = filled; i < N; ++i) {
        EXPECT_BITS_EQ(kFarOut, F[static_cast<size_t>(i)]);
        EXPECT_EQ(0xDEADBEEFu, ID[static_cast<size_t>(i)]);
        EXPECT_BITS_EQ(1.0f * DENSITY_UNSCALE, delta[static_cast<size_t>(i)].x);
        EXPECT_BITS_EQ(-2.0f * DENSITY_UNSCALE, delta[static_cast<size_t>(i)].y);
    }
}

TEST(Basis, PointsBeyondTheLatticeGiveFarValuesWithoutFaulting) {
    const float extremes[] = {kNaN, kInf, -kInf, std::numeric_limits<float>::max(),
                              -std::numeric_limits<float>::max(), 1e30f, -6e9f};
    for (int m = kFirstMetric; m <= kLastMetric; ++m) {
        const DistType& metric = metric_by_number(m);
        for (float e : extremes) {
            const Vector3 points[] = {{e, 0.0f, 0.0f}, {0.0f, e, 1.0f}, {2.0f, 3.0f, e}, {e, e, e}};
            for (const Vector3& p : points) {
                // Chessboard's max rule passes over a NaN x or y term, so
                // those offsets stay finite: the next test covers them.
                if (m == 3 && std::isnan(e) && !std::isnan(p.z)) continue;
                float F[3];
                Vector3 delta[3];
                uint32_t ID[3];
                cellular_basis(&metric, &kOnes, p.x, p.y, p.z, 3, F, delta, ID);
                for (float f : F) EXPECT_BITS_EQ(kFarOut, f) << "metric " << m << " value " << e;
                float G[2];
                cellular_basis(&metric, &kOnes, p.x, p.y, p.z, 2, G, nullptr, nullptr);
                EXPECT_BITS_EQ(kFarOut, G[0]);
            }
        }
    }
}

TEST(Basis, ChessboardKeepsPointsWhoseNaNTermItPassesOver) {
    // A NaN x coordinate makes every x term NaN; max3 then measures y and z.
    float F[2];
    cellular_basis(&chessboard, &kOnes, kNaN, 0.5f, 0.5f, 2, F, nullptr, nullptr);
    EXPECT_LT(F[0], 10.0f);
    EXPECT_LE(F[0], F[1]);
}

TEST(Basis, EdgesOfTheLatticeWrapAroundWithoutFaulting) {
    // Scaled coordinates just inside the 32-bit range: neighbours of cube
    // 2147483520 and of cube INT32_MIN (-2^31 exactly) are formed with
    // wrap-around. Large cube coordinates make the offsets coarse, so only
    // determinism is checked here.
    const float edges[] = {2147483520.0f / 0.39815f, -2147483648.0f / 0.39815f, 5.39e9f, -5.3936e9f};
    for (float e : edges) {
        float a[2], b[2];
        cellular_basis(&euclidian, &kOnes, e, e, -e, 2, a, nullptr, nullptr);
        cellular_basis(&euclidian, &kOnes, e, e, -e, 2, b, nullptr, nullptr);
        EXPECT_BITS_EQ(a[0], b[0]);
        EXPECT_BITS_EQ(a[1], b[1]);
    }
}

}  // namespace
}  // namespace tulo

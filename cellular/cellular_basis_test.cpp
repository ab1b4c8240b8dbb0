// Tests of the cellular basis: constants and the count table pinned by
// value, the lattice hash and generator against an independent 64-bit model,
// the search against the sequential reference (with and without culling),
// ties, visiting order, unfilled slots and extreme points.
#include "cellular/cellular_basis.h"
#include "cellular/cellular_batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "cellular/lattice.h"
#include "cellular/testing/float_bits.h"
#include "reference/reference.h"

namespace tulo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const Vector3 kOnes{1.0f, 1.0f, 1.0f};

using tulo_test::bits;

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

uint32_t model_advance(uint32_t s) { return static_cast<uint32_t>((1402024253ull * s + 586950981ull) % (1ull << 32)); }

float model_coordinate(uint32_t s) { return (static_cast<float>(s) + 0.5f) * 2.3283064e-10f; }

// Every point of the 27 cubes around the point's cube, nearest first (equal
// values in visiting order), from the reference with no culling.
struct Scan {
    static constexpr int kMost = 27 * 5;  // 27 cubes of at most 5 points
    float F[kMost];
    Vector3 delta[kMost];
    uint32_t ID[kMost];
    Scan(const DistType& metric, const Vector3& w, float x, float y, float z) {
        reference::cellular_basis(&metric, &w, x, y, z, kMost, F, delta, ID, nullptr, reference::Culling::none);
    }
    // Index of the entry with this id, or -1.
    int find(uint32_t id) const {
        for (int i = 0; i < kMost; ++i)
            if (ID[i] == id) return i;
        return -1;
    }
};

std::vector<Vector3> random_points(int count, float extent, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-extent, extent);
    std::vector<Vector3> points(static_cast<size_t>(count));
    for (auto& p : points) p = {u(rng), u(rng), u(rng)};
    return points;
}

// A metric defined outside the library: it takes the virtual path, counts
// its evaluations and can return a constant.
struct CountingMetric final : DistType {
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
    // The table, row by row (16 entries a row), written out here on its own.
    const char* const rows[16] = {
        "4311124222510212", "2043212132242251", "2322222324253222", "5335213344230422",
        "2132223331202112", "2225323232210211", "2122134222542422", "5432254333522222",
        "3114213343243334", "5142431235321313", "3323155422413415", "3353432211111245",
        "4542151123332523", "3202114213212232", "5534552445322214", "2334254242224532",
    };
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(rows[i / 16][i % 16] - '0', cube_point_counts[i]) << "entry " << i;
    }
    int histogram[6] = {};
    for (int32_t n : cube_point_counts) {
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 5);
        ++histogram[n];
    }
    const int expected[6] = {6, 41, 92, 55, 35, 27};
    for (int n = 0; n <= 5; ++n) EXPECT_EQ(expected[n], histogram[n]) << n << " points";
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
    const Scan all(euclidian, kOnes, 0.0f, 0.0f, 0.0f);
    EXPECT_BITS_EQ(all.F[0], F[0]);
    EXPECT_BITS_EQ(all.F[1], F[1]);
}

// With the unit Euclidian metric the culling never skips a cube that holds a
// nearer point, so the search must agree with a scan of all 27 cubes:
// values, ids and offsets, for the shader's N = 2 and for general N.
TEST(Basis, UnitEuclidianFindsTheNearestOfAll27Cubes) {
    for (const Vector3& p : random_points(3000, 40.0f, 7)) {
        const Scan all(euclidian, kOnes, p.x, p.y, p.z);
        float F2[2];
        cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, 2, F2, nullptr, nullptr);
        EXPECT_BITS_EQ(all.F[0], F2[0]);
        EXPECT_BITS_EQ(all.F[1], F2[1]);

        float F1[1];
        cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, 1, F1, nullptr, nullptr);
        EXPECT_BITS_EQ(F2[0], F1[0]);

        constexpr int N = 6;
        float F[N];
        Vector3 delta[N];
        uint32_t ID[N];
        cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, N, F, delta, ID);
        for (int i = 0; i < N; ++i) {
            EXPECT_BITS_EQ(all.F[i], F[i]);
            EXPECT_EQ(all.ID[i], ID[i]);
            EXPECT_BITS_EQ(all.delta[i].x, delta[i].x);
            EXPECT_BITS_EQ(all.delta[i].y, delta[i].y);
            EXPECT_BITS_EQ(all.delta[i].z, delta[i].z);
        }
        if (HasFailure()) FAIL() << "at point (" << p.x << ", " << p.y << ", " << p.z << ")";
    }
}

// For every metric and assorted weights, F is ascending and each kept entry
// describes one real point of the 27 cubes: its id, offset and value agree.
TEST(Basis, OffsetsAndIdsDescribeTheKeptPoints) {
    const Vector3 weights[] = {{1.0f, 1.0f, 1.0f}, {0.3f, 2.0f, 1.0f}, {2.5f, 0.5f, 1.5f}};
    for (int m = kFirstMetric; m <= kLastMetric; ++m) {
        const DistType& metric = metric_by_number(m);
        for (const Vector3& w : weights) {
            for (const Vector3& p : random_points(300, 25.0f, 11u + static_cast<unsigned>(m))) {
                const Scan all(metric, w, p.x, p.y, p.z);
                constexpr int N = 4;
                float F[N];
                Vector3 delta[N];
                uint32_t ID[N];
                cellular_basis(&metric, &w, p.x, p.y, p.z, N, F, delta, ID);
                ASSERT_TRUE(std::is_sorted(F, F + N)) << "metric " << m;
                for (int i = 0; i < N; ++i) {
                    const int c = all.find(ID[i]);
                    ASSERT_GE(c, 0) << "metric " << m << " slot " << i;
                    EXPECT_BITS_EQ(all.F[c], F[i]);
                    EXPECT_BITS_EQ(all.delta[c].x, delta[i].x);
                    EXPECT_BITS_EQ(all.delta[c].y, delta[i].y);
                    EXPECT_BITS_EQ(all.delta[c].z, delta[i].z);
                }
            }
        }
    }
}

TEST(Basis, OtherMetricObjectsTakeTheVirtualPathWithTheSameResult) {
    CountingMetric counting;
    counting.inner = &euclidian;
    const Vector3 w{0.7f, 1.3f, 1.0f};
    for (const Vector3& p : random_points(200, 30.0f, 3)) {
        float a[2], b[2];
        cellular_basis(&euclidian, &w, p.x, p.y, p.z, 2, a, nullptr, nullptr);
        cellular_basis(&counting, &w, p.x, p.y, p.z, 2, b, nullptr, nullptr);
        EXPECT_BITS_EQ(a[0], b[0]);
        EXPECT_BITS_EQ(a[1], b[1]);
    }
    EXPECT_GT(counting.evaluations, 200 * 4);
}

// The visiting order: the point's cube, then the faces, edges and corners in
// the published order.
const int kVisitOrder[27][3] = {
    {0, 0, 0},   {-1, 0, 0},   {0, -1, 0},  {0, 0, -1},  {1, 0, 0},  {0, 1, 0},   {0, 0, 1},  {-1, -1, 0}, {-1, 0, -1},
    {0, -1, -1}, {1, 1, 0},    {1, 0, 1},   {0, 1, 1},   {-1, 1, 0}, {-1, 0, 1},  {0, -1, 1}, {1, -1, 0},  {1, 0, -1},
    {0, 1, -1},  {-1, -1, -1}, {-1, -1, 1}, {-1, 1, -1}, {-1, 1, 1}, {1, -1, -1}, {1, -1, 1}, {1, 1, -1},  {1, 1, 1},
};

// The ids of every point of the 27 cubes around cube (ix, iy, iz), in
// visiting and generation order, from the 64-bit model (neighbours of the
// extreme cubes wrap through the reduction mod 2^32).
std::vector<uint32_t> ids_in_visiting_order(int64_t ix, int64_t iy, int64_t iz) {
    std::vector<uint32_t> ids;
    for (const auto& o : kVisitOrder) {
        uint32_t s = model_hash(ix + o[0], iy + o[1], iz + o[2]);
        const int n = cube_point_counts[s >> 24];
        s = model_advance(s);
        for (int j = 0; j < n; ++j) {
            ids.push_back(s);
            for (int k = 0; k < 4; ++k) s = model_advance(s);
        }
    }
    return ids;
}

TEST(Basis, EqualValuesKeepVisitingAndGenerationOrder) {
    // Every candidate has the value 1 and slots are never all filled, so
    // every cube is visited and the ids come out in the order the points
    // were generated and their cubes visited.
    CountingMetric constant;
    constexpr int N = 200;
    std::vector<float> F(N);
    std::vector<uint32_t> ID(N, 0u);
    cellular_basis(&constant, &kOnes, 0.5f, 0.5f, 0.5f, N, F.data(), nullptr, ID.data());
    const auto expected = ids_in_visiting_order(0, 0, 0);
    ASSERT_LT(expected.size(), static_cast<size_t>(N));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i], ID[i]) << "entry " << i;
        EXPECT_BITS_EQ(DENSITY_UNSCALE, F[i]);  // sqrt(1) * unscale
    }
}

TEST(Basis, AnEqualValueIsNotKeptInTheLastSlot) {
    // With two slots, the first two points generated are kept and every
    // later equal value is turned away.
    CountingMetric constant;
    float F[2];
    uint32_t ID[2];
    cellular_basis(&constant, &kOnes, 0.5f, 0.5f, 0.5f, 2, F, nullptr, ID);
    EXPECT_EQ(586950981u, ID[0]);
    EXPECT_EQ(182328305u, ID[1]);
}

TEST(Basis, NegativeCoordinatesUseTheCubeBelow) {
    // x = -0.5 scales to about -0.2, in cube -1; the first point generated
    // there is the one kept when every value is equal.
    CountingMetric constant;
    float F[1];
    uint32_t ID[1];
    cellular_basis(&constant, &kOnes, -0.5f, 0.5f, 0.5f, 1, F, nullptr, ID);
    EXPECT_EQ(model_advance(model_hash(-1, 0, 0)), ID[0]);
}

TEST(Basis, NegativeEuclidianValuesStopTheSearchAndBecomeNaN) {
    CountingMetric counting;
    counting.inner = &euclidian;
    const Vector3 negative{-1.0f, -1.0f, -1.0f};
    float F[1];
    uint32_t ID[1];
    // The origin cube holds 4 points: once one is kept (below 0), no
    // neighbour's bound (at least 0) can be beaten.
    cellular_basis(&counting, &negative, 0.5f, 0.5f, 0.5f, 1, F, nullptr, ID);
    EXPECT_EQ(4, counting.evaluations);
    EXPECT_TRUE(std::isnan(F[0]));
    // The kept one is the most negative value of the four (the farthest
    // point): negative values sort as numbers. The four from the model:
    const float at = 0.5f * 0.39815f;
    uint32_t s = model_advance(0u), lowest_id = 0;
    float lowest = 0.0f;
    for (int j = 0; j < 4; ++j) {
        const uint32_t id = s;
        const uint32_t sx = model_advance(s), sy = model_advance(sx), sz = model_advance(sy);
        s = model_advance(sz);
        const Vector3 d{model_coordinate(sx) - at, model_coordinate(sy) - at, model_coordinate(sz) - at};
        const float value = euclidian.Distance(d, negative);
        if (value < lowest) {
            lowest = value;
            lowest_id = id;
        }
    }
    EXPECT_LT(lowest, 0.0f);
    EXPECT_EQ(lowest_id, ID[0]);
}

TEST(Basis, UnfilledSlotsGetTheFarValueANaNOffsetAndIdZero) {
    // More slots than the 27 cubes can ever hold (at most 135 points), from
    // the per-point call and from the array call, over whatever the caller
    // left in the arrays; and a point past the lattice, where every slot is
    // unfilled.
    constexpr int N = kMaxCandidates;
    const Vector3 points[] = {{3.0f, -4.0f, 5.0f}, {1e10f, 0.0f, 0.0f}};
    for (const Vector3& p : points) {
        for (bool batch : {false, true}) {
            std::vector<float> F(N);
            std::vector<Vector3> delta(N, Vector3{1.0f, -2.0f, 0.5f});
            std::vector<uint32_t> ID(N, 0xDEADBEEFu);
            if (batch) {
                ASSERT_TRUE(cellular_basis_batch(&euclidian, &kOnes, &p, 1, N, F.data(), delta.data(), ID.data()));
            } else {
                cellular_basis(&euclidian, &kOnes, p.x, p.y, p.z, N, F.data(), delta.data(), ID.data());
            }
            const Scan all(euclidian, kOnes, p.x, p.y, p.z);
            int candidates = 0;
            while (candidates < Scan::kMost && all.F[candidates] != kFarOut) ++candidates;
            int filled = 0;
            while (filled < N && F[static_cast<size_t>(filled)] != kFarOut) ++filled;
            // Culling may leave out some far cubes, but never more than exist.
            EXPECT_LE(filled, candidates);
            if (p.x < 1e9f) {
                EXPECT_GT(filled, 2);
            }
            for (int i = 0; i < N; ++i) {
                const size_t k = static_cast<size_t>(i);
                SCOPED_TRACE(testing::Message() << "slot " << i << (batch ? " (array call)" : ""));
                if (i < filled) {
                    EXPECT_NE(0xDEADBEEFu, ID[k]);
                    EXPECT_FALSE(std::isnan(delta[k].x));
                    continue;
                }
                EXPECT_BITS_EQ(kFarOut, F[k]);
                EXPECT_EQ(kUnfilledId, ID[k]);
                EXPECT_TRUE(std::isnan(delta[k].x) && std::isnan(delta[k].y) && std::isnan(delta[k].z));
            }
        }
    }
}

TEST(Basis, PointsBeyondTheLatticeGiveFarValuesWithoutFaulting) {
    const float extremes[] = {kNaN,  kInf, -kInf, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                              1e30f, -6e9f};
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
    // A NaN x coordinate makes every x term NaN; max3 then measures y and z,
    // so points are kept: the same ones the reference keeps.
    float F[2];
    cellular_basis(&chessboard, &kOnes, kNaN, 0.5f, 0.5f, 2, F, nullptr, nullptr);
    float R[2];
    reference::cellular_basis(&chessboard, &kOnes, kNaN, 0.5f, 0.5f, 2, R, nullptr, nullptr);
    EXPECT_LT(F[0], kFarOut);
    EXPECT_BITS_EQ(R[0], F[0]);
    EXPECT_BITS_EQ(R[1], F[1]);
}

TEST(Basis, NeighboursOfTheLowestCubeWrapAround) {
    // x and z scale to exactly -2^31: the cube INT32_MIN, whose lower
    // neighbours wrap to INT32_MAX. With every value equal and slots to
    // spare, the ids show which cubes were visited, in order: the model's,
    // whose 64-bit coordinates reduce mod 2^32.
    const float lowest = -2147483648.0f;
    float x = lowest / DENSITY_SCALE;
    while (x * DENSITY_SCALE > lowest) x = std::nextafter(x, -kInf);
    while (x * DENSITY_SCALE < lowest) x = std::nextafter(x, kInf);
    ASSERT_EQ(lowest, x * DENSITY_SCALE);
    const float y = 3.0f;  // cube 1
    const auto expected = ids_in_visiting_order(INT32_MIN, 1, INT32_MIN);
    CountingMetric constant;
    constexpr int N = 200;
    std::vector<float> F(N);
    std::vector<uint32_t> ID(N, 0u);
    cellular_basis(&constant, &kOnes, x, y, x, N, F.data(), nullptr, ID.data());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], ID[i]) << "entry " << i;
}

// A bad argument to a public entry: the call, and what the message must name.
struct BadCall {
    const char* name;
    void (*call)();
    const char* names;
};

float gF[4];
Vector3 gDelta[4];
uint32_t gID[4];
const Vector3 gPoints[2] = {{0.5f, 1.0f, 2.0f}, {3.0f, 4.0f, 5.0f}};

BatchOptions threads(int32_t n) {
    BatchOptions o;
    o.threads = n;
    return o;
}

const BadCall kBadCalls[] = {
    {"NoSlots", [] { cellular_basis(&euclidian, &kOnes, 0.0f, 0.0f, 0.0f, 0, gF, nullptr, nullptr); },
     "N must be at least 1, got 0"},
    {"NegativeSlots", [] { cellular_basis(&euclidian, &kOnes, 0.0f, 0.0f, 0.0f, -3, gF, nullptr, nullptr); }, "got -3"},
    {"NullMetric", [] { cellular_basis(nullptr, &kOnes, 0.0f, 0.0f, 0.0f, 2, gF, nullptr, nullptr); },
     "metric is null"},
    {"NullWeights", [] { cellular_basis(&euclidian, nullptr, 0.0f, 0.0f, 0.0f, 2, gF, nullptr, nullptr); },
     "weights is null"},
    {"NullF", [] { cellular_basis(&euclidian, &kOnes, 0.0f, 0.0f, 0.0f, 2, nullptr, gDelta, gID); }, "F is null"},
    {"ArrayNoSlots", [] { cellular_basis_batch(&euclidian, &kOnes, gPoints, 2, 0, gF, nullptr, nullptr); },
     "cellular_basis_batch: N must"},
    {"ArrayTooManySlots",
     [] { cellular_basis_batch(&euclidian, &kOnes, gPoints, 1, kMaxCandidates + 1, gF, nullptr, nullptr); }, "1..135"},
    {"ArrayNullPoints", [] { cellular_basis_batch(&euclidian, &kOnes, nullptr, 2, 2, gF, nullptr, nullptr); },
     "points is null"},
    {"ArrayNullF", [] { cellular_basis_batch(&euclidian, &kOnes, gPoints, 2, 2, nullptr, nullptr, nullptr); },
     "F is null"},
    {"ArrayNullMetric", [] { cellular_basis_batch(nullptr, &kOnes, gPoints, 2, 2, gF, nullptr, nullptr); },
     "metric is null"},
    {"ArrayTooLarge", [] { cellular_basis_batch(&euclidian, &kOnes, gPoints, SIZE_MAX / 8, 2, gF, nullptr, nullptr); },
     "address space"},
    {"NegativeThreads",
     [] { cellular_basis_batch(&euclidian, &kOnes, gPoints, 2, 2, gF, nullptr, nullptr, threads(-1)); },
     "threads must be 0 (one per available core) or 1..256, got -1"},
    {"ThreadsAboveTheCap",
     [] { cellular_basis_batch(&euclidian, &kOnes, gPoints, 2, 2, gF, nullptr, nullptr, threads(257)); },
     "at most 256, got 257"},
    {"MetricNumberZero", [] { metric_by_number(0); }, "1..5, got 0"},
    {"MetricNumberSix", [] { metric_by_number(6); }, "1..5, got 6"},
};

void PrintTo(const BadCall& c, std::ostream* os) { *os << c.name; }

class PublicEntries : public ::testing::TestWithParam<BadCall> {};

TEST_P(PublicEntries, RefuseABadArgumentBeforeWritingAnything) {
    std::fill(std::begin(gF), std::end(gF), -1.0f);
    std::fill(std::begin(gID), std::end(gID), 7u);
    try {
        GetParam().call();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(GetParam().names)) << e.what();
    }
    for (float f : gF) EXPECT_BITS_EQ(-1.0f, f);
    for (uint32_t id : gID) EXPECT_EQ(7u, id);
}

INSTANTIATE_TEST_SUITE_P(BadArguments, PublicEntries, ::testing::ValuesIn(kBadCalls),
                         [](const testing::TestParamInfo<BadCall>& info) { return std::string(info.param.name); });

TEST(PublicEntries, EmptyArraysMayBeNull) {
    EXPECT_TRUE(cellular_basis_batch(&euclidian, &kOnes, nullptr, 0, 2, nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace tulo

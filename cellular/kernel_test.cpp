// Every search kernel this CPU can run, forced in turn, against the
// sequential reference, bit for bit: random points, points beyond the
// lattice, on cube faces, on feature points, near ties built on purpose,
// awkward weights, N = 1..4 with and without offsets and ids. A kernel the
// CPU lacks is reported as skipped. Also: the lower bounds of the power
// metrics are checked directly against the exact values, and the kernel
// choice against the environment's cap.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cellular/cellular_basis.h"
#include "cellular/kernels/kernel.h"
#include "cellular/lattice.h"
// The portable kernel's lanes and the lane formulas, compiled here too (in
// this file's own copy, internal to it) to test the formulas directly.
#include "cellular/kernels/portable/lanes.h"
#include "cellular/kernels/generic/lane_formulas.h"
#include "cellular/testing/float_bits.h"
#include "cellular/testing/forced_kernel.h"
#include "cellular/testing/search_cases.h"
#include "reference/reference.h"

namespace tulo {
namespace {

using kernels::Isa;
namespace lanes = kernels::portable;
using V = lanes::Lanes;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using tulo_test::bits;
using tulo_test::Case;
using tulo_test::cases;
using tulo_test::feature_point;
using tulo_test::world_coordinate;

using KernelAgainstReference = tulo_test::ForcedKernel;

TEST_P(KernelAgainstReference, EveryOutputBitForBit) {
    ASSERT_EQ(GetParam(), kernels::kernel_isa());
    int zero_results = 0;
    for (const Case& c : cases()) {
        for (int m = kFirstMetric; m <= kLastMetric; ++m) {
            const DistType* metric = &metric_by_number(m);
            for (int32_t N : {1, 2, 3, 4}) {
                for (bool outputs : {false, true}) {
                    float F[4], R[4];
                    Vector3 fd[4] = {}, rd[4] = {};
                    uint32_t fid[4] = {}, rid[4] = {};
                    cellular_basis(metric, &c.w, c.p.x, c.p.y, c.p.z, N, F, outputs ? fd : nullptr,
                                   outputs ? fid : nullptr);
                    reference::cellular_basis(metric, &c.w, c.p.x, c.p.y, c.p.z, N, R, outputs ? rd : nullptr,
                                              outputs ? rid : nullptr);
                    for (int i = 0; i < N; ++i) {
                        ASSERT_EQ(bits(R[i]), bits(F[i]))
                            << "metric " << m << " N " << N << " slot " << i << " at (" << c.p.x << ", " << c.p.y
                            << ", " << c.p.z << ") w (" << c.w.x << ", " << c.w.y << ", " << c.w.z << ")";
                        zero_results += F[i] == 0.0f;
                    }
                    ASSERT_EQ(0, std::memcmp(fd, rd, sizeof(fd)));
                    ASSERT_EQ(0, std::memcmp(fid, rid, sizeof(fid)));
                }
            }
        }
    }
    EXPECT_GT(zero_results, 0) << "no case landed exactly on a feature point";
}

TEST_P(KernelAgainstReference, BoundsJustBelowTheValueStillVisit) {
    // Culling bounds rounded to the nearest float instead of down fail here.
    for (int32_t m = 1; m <= 3; ++m) {
        const std::vector<Case> threshold = tulo_test::threshold_cases(m, 48);
        ASSERT_GE(threshold.size(), 16u);
        for (const Case& c : threshold) {
            float F[2], R[2];
            cellular_basis(&metric_by_number(m), &c.w, c.p.x, c.p.y, c.p.z, 2, F, nullptr, nullptr);
            reference::cellular_basis(&metric_by_number(m), &c.w, c.p.x, c.p.y, c.p.z, 2, R, nullptr, nullptr);
            ASSERT_EQ(bits(R[0]), bits(F[0])) << "metric " << m << " at " << c.p.x << ", " << c.p.y << ", " << c.p.z;
            ASSERT_EQ(bits(R[1]), bits(F[1])) << "metric " << m << " at " << c.p.x << ", " << c.p.y << ", " << c.p.z;
        }
    }
}

TEST_P(KernelAgainstReference, CullingBoundsAreTheLargestFloatsNotAboveTheExactSums) {
    // The bounds a wide kernel hands on (PowerBounds::r), against the exact
    // double sums rounded down here, one neighbour at a time, in the
    // visiting order written out independently: (dx, dy, dz) and the terms
    // 1 fx^2, 2 (1 - fx)^2, 3 fy^2, 4 (1 - fy)^2, 5 fz^2, 6 (1 - fz)^2.
    const kernels::PowerBoundsSearch kernel = kernels::kernel().power_bounds;
    struct Neighbour {
        int terms[3];
    };
    const Neighbour order[26] = {
        {{1, 0, 0}}, {{3, 0, 0}}, {{5, 0, 0}}, {{2, 0, 0}}, {{4, 0, 0}}, {{6, 0, 0}}, {{3, 1, 0}},
        {{5, 1, 0}}, {{5, 3, 0}}, {{4, 2, 0}}, {{6, 2, 0}}, {{6, 4, 0}}, {{4, 1, 0}}, {{6, 1, 0}},
        {{6, 3, 0}}, {{2, 3, 0}}, {{2, 5, 0}}, {{4, 5, 0}}, {{3, 1, 5}}, {{3, 1, 6}}, {{4, 1, 5}},
        {{4, 1, 6}}, {{2, 3, 5}}, {{2, 3, 6}}, {{4, 2, 5}}, {{4, 2, 6}},
    };
    auto round_down = [](double v) {
        float f = static_cast<float>(v);
        if (static_cast<double>(f) > v) f = std::nextafter(f, -kInf);
        return f;
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
    const auto weights = lanes::power_weights(kernels::PowerMetric::minkowski, Vector3{1.0f, 1.0f, 1.0f});
    int rounded_differently = 0;
    for (int i = 0; i < 3000; ++i) {
        const Vector3 p{coord(rng), coord(rng), coord(rng)};
        kernels::PowerBounds out;
        kernel(kernels::PowerMetric::minkowski, weights, p.x, p.y, p.z, &out);
        const Vector3 at{p.x * DENSITY_SCALE, p.y * DENSITY_SCALE, p.z * DENSITY_SCALE};
        const double f[3] = {at.x - std::floor(at.x), at.y - std::floor(at.y), at.z - std::floor(at.z)};
        const double term[7] = {0.0,
                                f[0] * f[0],
                                (1.0 - f[0]) * (1.0 - f[0]),
                                f[1] * f[1],
                                (1.0 - f[1]) * (1.0 - f[1]),
                                f[2] * f[2],
                                (1.0 - f[2]) * (1.0 - f[2])};
        for (int n = 0; n < 26; ++n) {
            double exact = term[order[n].terms[0]];
            for (int k = 1; k < 3 && order[n].terms[k] != 0; ++k) exact = exact + term[order[n].terms[k]];
            ASSERT_EQ(bits(round_down(exact)), bits(out.r[n + 1]))
                << "neighbour " << n + 1 << " of (" << p.x << ", " << p.y << ", " << p.z << ")";
            rounded_differently += static_cast<float>(exact) != round_down(exact);
        }
    }
    // Rounding to nearest would have failed on these.
    EXPECT_GT(rounded_differently, 1000);
}

TEST_P(KernelAgainstReference, KeptZerosCarryTheSequentialSign) {
    // On a feature point the value is zero; its sign is the same for every
    // zero of one search (-0 for Euclidian only when all three weights carry
    // a sign bit), so the kernels need no sequential order for it. Through
    // the single-point, grouped and per-lane searches. A kernel that lets a
    // zero lose its sign (an added +0, a wrong operand order) fails here.
    std::vector<Vector3> points;
    for (int32_t c = -6; c <= 6; ++c) {
        const Vector3 f = feature_point(c, 2 * c, -c, c & 1);
        Vector3 p;
        if (world_coordinate(f.x, &p.x) && world_coordinate(f.y, &p.y) && world_coordinate(f.z, &p.z))
            points.push_back(p);
    }
    ASSERT_GE(points.size(), 6u);
    const std::size_t group = static_cast<std::size_t>(kernels::kSearchGroup);
    while (points.size() < 40) points.push_back(points[points.size() % group]);  // past the per-lane threshold
    int negative_zeros = 0, positive_zeros = 0;
    for (int32_t m = 1; m <= 3; ++m) {
        // With weights (-0, -0, -0) every Euclidian value is -0.
        for (const Vector3& w : {Vector3{1.0f, 1.0f, 1.0f}, Vector3{-0.0f, -0.0f, -0.0f}, Vector3{-1.0f, 2.0f, -0.0f},
                                 Vector3{-0.0f, -0.0f, 0.0f}}) {
            const DistType* metric = &metric_by_number(m);
            for (std::size_t count : {std::size_t{1}, group, points.size()}) {
                std::vector<float> F(2 * count);
                detail::basis_points(metric, &w, points.data(), count, 2, F.data(), nullptr, nullptr);
                for (std::size_t i = 0; i < count; ++i) {
                    float R[2];
                    reference::cellular_basis(metric, &w, points[i].x, points[i].y, points[i].z, 2, R, nullptr,
                                              nullptr);
                    ASSERT_EQ(bits(R[0]), bits(F[2 * i])) << "metric " << m << " count " << count << " point " << i;
                    ASSERT_EQ(bits(R[1]), bits(F[2 * i + 1])) << "metric " << m << " count " << count << " point " << i;
                    negative_zeros += bits(R[0]) == 0x80000000u;
                    positive_zeros += bits(R[0]) == 0u;
                }
            }
        }
    }
    EXPECT_GT(negative_zeros, 0);
    EXPECT_GT(positive_zeros, 0);
}

TEST_P(KernelAgainstReference, PointsSearchedTogetherGiveWhatEachGivesAlone) {
    // A group mixes points whose searches part ways: points built on a
    // neighbour's culling threshold (each needs its own bounds), feature
    // points (zero values), points by a cube corner (they reach the corner
    // cubes, in a further vector of cubes) and random points. Each member's
    // result must be what it gets alone.
    const kernels::Kernel& searches = kernels::kernel();
    const kernels::LaneMetric metrics[] = {kernels::LaneMetric::euclidian, kernels::LaneMetric::manhattan,
                                           kernels::LaneMetric::chessboard};
    std::mt19937 rng(77);
    std::uniform_real_distribution<float> coord(-40.0f, 40.0f);
    int compared = 0;
    for (int32_t m = 1; m <= 3; ++m) {
        std::vector<Vector3> pool;
        for (const Case& c : tulo_test::threshold_cases(m, 8)) pool.push_back(c.p);
        for (int j = 0; j < 2; ++j) {
            const Vector3 f = feature_point(3 * j, -2, 5, j);
            Vector3 p;
            if (world_coordinate(f.x, &p.x) && world_coordinate(f.y, &p.y) && world_coordinate(f.z, &p.z))
                pool.push_back(p);
        }
        for (float corner : {7.0f, -12.0f, 30.0f}) {
            const float near = (corner + 0.01f) / DENSITY_SCALE;
            pool.push_back({near, near, -near});
        }
        // Random points, enough that some visit a cube of a further vector
        // whose bound lies close above the two smallest values of the first.
        while (pool.size() < 600) pool.push_back({coord(rng), coord(rng), coord(rng)});
        for (const Vector3& w : {Vector3{0.0f, 1.0f, 1.0f}, Vector3{1.0f, 1.0f, 1.0f}, Vector3{0.3f, 2.0f, 1.0f},
                                 Vector3{4.0f, 0.25f, 1.0f}}) {
            const kernels::NearestTwoSearch search = searches.pick(metrics[m - 1], w);
            for (int n = 2; n <= kernels::kSearchGroup; ++n) {
                for (std::size_t first = 0; first < pool.size(); ++first) {
                    Vector3 group[kernels::kSearchGroup];
                    for (int i = 0; i < n; ++i)
                        group[i] = pool[(first + 5 * static_cast<std::size_t>(i)) % pool.size()];
                    kernels::NearestTwo together[kernels::kSearchGroup];
                    search(w, group, n, together);
                    for (int i = 0; i < n; ++i) {
                        kernels::NearestTwo alone;
                        search(w, &group[i], 1, &alone);
                        ASSERT_EQ(bits(alone.f0), bits(together[i].f0))
                            << "metric " << m << " member " << i << " of " << n;
                        ASSERT_EQ(bits(alone.f1), bits(together[i].f1))
                            << "metric " << m << " member " << i << " of " << n;
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 1000);
}

// One search of the shader's: a sample's octaves (count points, each the
// previous doubled), in metric 1-3 with weights w.
struct KeptStep {
    Vector3 p[kernels::kSearchGroup];
    int count;
    int metric;
    Vector3 w;
};

KeptStep octaves_of(Vector3 p, int count, int metric = 1, Vector3 w = {1.0f, 1.0f, 1.0f}) {
    KeptStep s{{}, count, metric, w};
    for (int i = 0; i < count; ++i, p = {2.0f * p.x, 2.0f * p.y, 2.0f * p.z}) s.p[i] = p;
    return s;
}

// Orders of samples for the kept neighbourhoods: a renderer's, and orders
// built to defeat the kept key (each changes one thing the key must see, or
// nothing the key may see, between samples). Cells are 2.5 units wide.
struct KeptOrder {
    const char* name;
    std::vector<KeptStep> (*steps)();
};

const KeptOrder kKeptOrders[] = {
    {"ScanlinesCrossingCubeMiddlesAndFaces",
     [] {
         std::vector<KeptStep> v;
         for (int y = 0; y < 12; ++y)
             for (int x = 0; x < 90; ++x) v.push_back(octaves_of({-3.0f + 0.083f * x, 1.1f + 0.21f * y, 0.37f}, 6));
         return v;
     }},
    {"SixteenBySixteenTiles",
     [] {
         std::vector<KeptStep> v;
         for (int t = 0; t < 3; ++t)
             for (int y = 0; y < 16; ++y)
                 for (int x = 0; x < 16; ++x)
                     v.push_back(octaves_of({0.2f * (16 * t + x) - 4.0f, -0.2f * y, -7.3f}, 4, 2, {0.3f, 2.0f, 1.0f}));
         return v;
     }},
    // Walks that change only one cube coordinate: a key blind to it fails.
    {"WalkAlongXOnly",
     [] {
         std::vector<KeptStep> v;
         for (int i = 0; i < 60; ++i) v.push_back(octaves_of({0.31f * i - 9.0f, 0.7f, 1.3f}, 1));
         return v;
     }},
    {"WalkAlongYOnly",
     [] {
         std::vector<KeptStep> v;
         for (int i = 0; i < 60; ++i) v.push_back(octaves_of({0.7f, 0.31f * i - 9.0f, 1.3f}, 1));
         return v;
     }},
    {"WalkAlongZOnly",
     [] {
         std::vector<KeptStep> v;
         for (int i = 0; i < 60; ++i) v.push_back(octaves_of({0.7f, 1.3f, 0.31f * i - 9.0f}, 1, 3));
         return v;
     }},
    {"FarCellsInTurnEachSeenThrice",
     [] {
         std::vector<KeptStep> v;
         const Vector3 far[] = {{1.0f, 1.0f, 1.0f}, {-900.0f, 40.0f, 7.0f}, {1.2f, 1.1f, 0.9f}, {3e5f, -2e5f, 1e4f}};
         for (int round = 0; round < 4; ++round)
             for (const Vector3& p : far)
                 for (int k = 0; k < 3; ++k) v.push_back(octaves_of({p.x + 0.01f * k, p.y, p.z}, 2));
         return v;
     }},
    {"MetricWeightsAndOctavesChangingInOneCube",
     [] {
         std::vector<KeptStep> v;
         const Vector3 w[] = {{1.0f, 1.0f, 1.0f}, {0.3f, 2.0f, 1.0f}, {4.0f, 0.25f, 1.0f}};
         for (int i = 0; i < 90; ++i)
             v.push_back(octaves_of({5.01f + 0.02f * i, -3.3f, 2.2f}, 1 + i % 6, 1 + i % 3, w[(i / 3) % 3]));
         return v;
     }},
    // Beyond the lattice every point has the same cube (and its neighbours
    // wrap around 32 bits), but each its own position; by the wrap itself,
    // the last cube before it and the first after.
    {"BeyondAndAtTheLatticeWrap",
     [] {
         std::vector<KeptStep> v;
         for (int i = 0; i < 12; ++i) v.push_back(octaves_of({5.39e9f + 1e8f * i, -2.2e9f, 1e9f}, 2));
         const float edge = 2147483520.0f / DENSITY_SCALE;
         for (float x : {edge, -edge})
             for (int k = 0; k < 4; ++k) v.push_back(octaves_of({x, 0.5f + 0.1f * k, -0.5f}, 1));
         return v;
     }},
};

TEST_P(KernelAgainstReference, KeptNeighbourhoodsGiveWhatTheSearchGives) {
    // Every order through one thread's kept neighbourhoods, continued on
    // every other kernel with what the first one kept: each sample's result
    // must be the plain search's, bit for bit.
    const kernels::LaneMetric metrics[] = {kernels::LaneMetric::euclidian, kernels::LaneMetric::manhattan,
                                           kernels::LaneMetric::chessboard};
    auto keep = std::make_unique<kernels::KeptNeighbourhoods>();
    int compared = 0;
    auto run = [&](const KeptOrder& order, const char* kernel) {
        for (const KeptStep& step : order.steps()) {
            const kernels::LaneMetric m = metrics[step.metric - 1];
            kernels::NearestTwo kept[kernels::kSearchGroup], plain[kernels::kSearchGroup];
            kernels::kernel().pick_kept(m, step.w)(step.w, step.p, step.count, kept, keep->slot);
            kernels::kernel().pick(m, step.w)(step.w, step.p, step.count, plain);
            for (int i = 0; i < step.count; ++i) {
                ASSERT_EQ(bits(plain[i].f0), bits(kept[i].f0)) << order.name << " on " << kernel << ", octave " << i;
                ASSERT_EQ(bits(plain[i].f1), bits(kept[i].f1)) << order.name << " on " << kernel << ", octave " << i;
                ++compared;
            }
        }
    };
    for (const KeptOrder& order : kKeptOrders) run(order, kernels::isa_name(GetParam()));
    for (Isa other : {Isa::portable, Isa::avx2, Isa::avx512, Isa::neon}) {
        if (other == GetParam() || !kernels::use_kernel_isa(other)) continue;
        run(kKeptOrders[0], kernels::isa_name(other));
    }
    EXPECT_GT(compared, 6000);
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelAgainstReference, tulo_test::kAllKernels, tulo_test::kernel_name);

// The lower bounds of the power metrics never exceed the exact value (a
// NaN value may get any bound: it is never kept), over operands from 0 and
// subnormals to infinities and NaN, and every supported exponent.
TEST(PowerBounds, NeverAboveTheExactValue) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-140, 60);
    std::uniform_int_distribution<int> special(0, 19);
    auto operand = [&]() {
        switch (special(rng)) {
            case 0: return 0.0f;
            case 1: return -0.0f;
            case 2: return FLT_TRUE_MIN * 3.0f;
            case 3: return kInf;
            case 4: return kNaN;
            case 5: return FLT_MAX;
            case 6: return FLT_MIN;
            default: return std::ldexp(mantissa(rng), exponent(rng)) * (special(rng) < 10 ? 1.0f : -1.0f);
        }
    };
    const float exponents[] = {0.0f, 0.3f, 1.0f, 1.5f, 2.0f, 2.7f, 4.5f, 7.5f, 8.0f};
    int checked = 0, exact = 0;
    for (int i = 0; i < 20000; ++i) {
        alignas(16) float dx[4], dy[4], dz[4];
        for (int l = 0; l < 4; ++l) dx[l] = operand(), dy[l] = operand(), dz[l] = operand();
        const Vector3 mw{operand(), operand(), operand()};
        const Vector3 sw{exponents[i % 9], exponents[(i / 9) % 9], exponents[(i / 81) % 9]};
        const auto mp = lanes::power_weights(kernels::PowerMetric::minkowski, mw);
        const auto sp = lanes::power_weights(kernels::PowerMetric::superquadratic, sw);
        ASSERT_TRUE(sp.usable);
        alignas(16) float mb[4], sb[4];
        V::store(mb, lanes::power_lower_bound<V, kernels::PowerMetric::minkowski>(V::load(dx), V::load(dy), V::load(dz),
                                                                                  mp));
        V::store(sb, lanes::power_lower_bound<V, kernels::PowerMetric::superquadratic>(V::load(dx), V::load(dy),
                                                                                       V::load(dz), sp));
        for (int l = 0; l < 4; ++l) {
            const Vector3 d{dx[l], dy[l], dz[l]};
            const float mv = minkowski.Distance(d, mw), sv = superquadratic.Distance(d, sw);
            if (!std::isnan(mv)) {
                EXPECT_LE(mb[l], mv) << d.x << " " << d.y << " " << d.z << " w " << mw.x;
            }
            if (!std::isnan(sv)) {
                EXPECT_LE(sb[l], sv) << d.x << " " << d.y << " " << d.z << " w " << sw.x;
            }
            checked += 2;
            exact += (mb[l] == -kInf) + (sb[l] == -kInf);
        }
        if (HasFailure()) FAIL() << "case " << i;
    }
    // The bounds are useful: most of them decide without powf.
    EXPECT_LT(exact, checked / 2);
}

// The same for the unchecked bounds, over the operands they are used for:
// offsets 0 or at least 2^-57 in magnitude (from a finite point), Minkowski
// weights 0 or normal.
TEST(PowerBounds, UncheckedBoundsNeverAboveTheExactValueForOrdinaryOperands) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-57, 40), weight_exponent(-126, 40), pick(0, 9);
    auto offset = [&]() {
        return pick(rng) == 0 ? 0.0f : std::ldexp(mantissa(rng), exponent(rng)) * (pick(rng) < 5 ? 1.0f : -1.0f);
    };
    auto weight = [&]() {
        return pick(rng) == 0 ? 0.0f : std::ldexp(mantissa(rng), weight_exponent(rng)) * (pick(rng) < 5 ? 1.0f : -1.0f);
    };
    const float exponents[] = {0.0f, 0.5f, 0.3f, 2.0f, 1.7f, 8.0f};
    for (int i = 0; i < 20000; ++i) {
        alignas(16) float dx[4], dy[4], dz[4];
        for (int l = 0; l < 4; ++l) dx[l] = offset(), dy[l] = offset(), dz[l] = offset();
        // Near w, so that |d - w| is small too.
        const Vector3 mw =
            pick(rng) < 3 ? Vector3{dx[0], dy[0] * 1.001f, dz[0]} : Vector3{weight(), weight(), weight()};
        const Vector3 sw{exponents[i % 6], exponents[(i / 6) % 6], exponents[(i / 36) % 6]};
        const auto mp = lanes::power_weights(kernels::PowerMetric::minkowski, mw);
        const auto sp = lanes::power_weights(kernels::PowerMetric::superquadratic, sw);
        ASSERT_TRUE(mp.ordinary);
        alignas(16) float mb[4], sb[4];
        const V::F x = V::load(dx), y = V::load(dy), z = V::load(dz);
        V::store(mb, lanes::power_lower_bound<V, kernels::PowerMetric::minkowski, false>(x, y, z, mp));
        V::store(sb, lanes::power_lower_bound<V, kernels::PowerMetric::superquadratic, false>(x, y, z, sp));
        for (int l = 0; l < 4; ++l) {
            const Vector3 d{dx[l], dy[l], dz[l]};
            EXPECT_LE(mb[l], minkowski.Distance(d, mw)) << d.x << " " << d.y << " " << d.z;
            EXPECT_LE(sb[l], superquadratic.Distance(d, sw)) << d.x << " " << d.y << " " << d.z;
        }
        if (HasFailure()) FAIL() << "case " << i;
    }
}

TEST(PowerBounds, BoundsAreTightForOrdinaryOperands) {
    // Within a few parts in 2^12 of the value: close enough that near ties
    // are the only candidates measured without need.
    const Vector3 d{0.3f, -0.7f, 1.1f};
    const Vector3 w{1.0f, 1.0f, 1.0f};
    for (int m : {4, 5}) {
        const float exact = metric_by_number(m).Distance(d, w);
        alignas(16) float b[4];
        const V::F dx = V::set(d.x), dy = V::set(d.y), dz = V::set(d.z);
        if (m == 4) {
            V::store(b, lanes::power_lower_bound<V, kernels::PowerMetric::minkowski>(
                            dx, dy, dz, lanes::power_weights(kernels::PowerMetric::minkowski, w)));
        } else {
            V::store(b, lanes::power_lower_bound<V, kernels::PowerMetric::superquadratic>(
                            dx, dy, dz, lanes::power_weights(kernels::PowerMetric::superquadratic, w)));
        }
        EXPECT_LE(b[0], exact);
        EXPECT_GT(b[0], exact * (1.0f - 0x1p-9f)) << "metric " << m;
    }
}

// The bounds hold for any powf within 2^-14 of the exact power, not only
// for this C library's: against the lowest value such a powf could lead to
// (every power the largest float not above exact * (1 - 2^-14), the sums in
// float as the metrics form them, which only lowers them further), over
// ordinary operands near the point and near ties.
TEST(PowerBounds, HoldForAnyPowfWithinTheAllowedError) {
    auto lowest_powf = [](float a, float y) {
        const double low = std::pow(static_cast<double>(a), static_cast<double>(y)) * (1.0 - 0x1p-14);
        float f = static_cast<float>(low);
        if (static_cast<double>(f) > low) f = std::nextafter(f, -kInf);
        return f;
    };
    std::mt19937 rng(2718);
    std::uniform_real_distribution<float> offset(-2.5f, 2.5f), near(-1e-3f, 1e-3f);
    const float exponents[] = {0.5f, 1.0f, 1.5f, 2.0f, 0.3f, 2.7f, 7.9f, 8.0f};
    for (int i = 0; i < 20000; ++i) {
        alignas(16) float dx[4], dy[4], dz[4];
        for (int l = 0; l < 4; ++l) dx[l] = offset(rng), dy[l] = offset(rng), dz[l] = offset(rng);
        // Minkowski weights close to the offsets make tiny operands too.
        const Vector3 mw =
            i % 2 == 0 ? Vector3{dx[0] + near(rng), dy[0] + near(rng), dz[0] + near(rng)} : Vector3{1.0f, 1.0f, 1.0f};
        const Vector3 sw{exponents[i % 8], exponents[(i / 8) % 8], exponents[(i / 64) % 8]};
        const auto mp = lanes::power_weights(kernels::PowerMetric::minkowski, mw);
        const auto sp = lanes::power_weights(kernels::PowerMetric::superquadratic, sw);
        const V::F x = V::load(dx), y = V::load(dy), z = V::load(dz);
        alignas(16) float mb[2][4], sb[2][4];
        V::store(mb[0], lanes::power_lower_bound<V, kernels::PowerMetric::minkowski, true>(x, y, z, mp));
        V::store(mb[1], lanes::power_lower_bound<V, kernels::PowerMetric::minkowski, false>(x, y, z, mp));
        V::store(sb[0], lanes::power_lower_bound<V, kernels::PowerMetric::superquadratic, true>(x, y, z, sp));
        V::store(sb[1], lanes::power_lower_bound<V, kernels::PowerMetric::superquadratic, false>(x, y, z, sp));
        for (int l = 0; l < 4; ++l) {
            const float s = (lowest_powf(std::fabs(dx[l] - mw.x), 0.5f) + lowest_powf(std::fabs(dy[l] - mw.y), 0.5f)) +
                            lowest_powf(std::fabs(dz[l] - mw.z), 0.5f);
            const float minkowski_low = lowest_powf(s, 2.0f);
            const float superquadratic_low =
                (lowest_powf(std::fabs(dx[l]), sw.x) + lowest_powf(std::fabs(dy[l]), sw.y)) +
                lowest_powf(std::fabs(dz[l]), sw.z);
            for (int checked_form = 0; checked_form < 2; ++checked_form) {
                ASSERT_LE(mb[checked_form][l], minkowski_low)
                    << "Minkowski, d - w = " << dx[l] - mw.x << ", " << dy[l] - mw.y << ", " << dz[l] - mw.z;
                ASSERT_LE(sb[checked_form][l], superquadratic_low)
                    << "Superquadratic, d = " << dx[l] << ", " << dy[l] << ", " << dz[l] << " w = " << sw.x << ", "
                    << sw.y << ", " << sw.z;
            }
        }
    }
}

// Every neighbour's floor (metrics 1-3) from the scaled point `at`, each
// checked against every value the cube's points give; returns the least
// value / floor over positive floors.
template <kernels::LaneMetric M>
float check_floors(int32_t metric_number, const Vector3& at, const Vector3& w) {
    const int32_t cube[3] = {lattice::cube_coordinate(at.x), lattice::cube_coordinate(at.y),
                             lattice::cube_coordinate(at.z)};
    const float a[3] = {at.x, at.y, at.z};
    V::F corner[3][3], va[3], fw[3];
    const Vector3 floor_w = lanes::floor_weights<M>(w);
    const float fwv[3] = {floor_w.x, floor_w.y, floor_w.z};
    for (int axis = 0; axis < 3; ++axis) {
        for (int step = -1; step <= 1; ++step) {
            corner[axis][step + 1] = V::set(static_cast<float>(
                static_cast<int32_t>(static_cast<uint32_t>(cube[axis]) + static_cast<uint32_t>(step))));
        }
        va[axis] = V::set(a[axis]);
        fw[axis] = V::set(fwv[axis]);
    }
    float least_ratio = kInf;
    auto check = [&](int n, V::F floor_lanes) {
        const float floor = V::lane0(floor_lanes);
        const kernels::LaneTables& t = kernels::kLaneTables;
        const int32_t c[3] = {static_cast<int32_t>(static_cast<uint32_t>(cube[0]) + static_cast<uint32_t>(t.dx[n])),
                              static_cast<int32_t>(static_cast<uint32_t>(cube[1]) + static_cast<uint32_t>(t.dy[n])),
                              static_cast<int32_t>(static_cast<uint32_t>(cube[2]) + static_cast<uint32_t>(t.dz[n]))};
        const int count = cube_point_counts[lattice::cube_hash(c[0], c[1], c[2]) >> 24];
        for (int j = 0; j < count; ++j) {
            const Vector3 f = feature_point(c[0], c[1], c[2], j);
            const float value =
                metric_by_number(metric_number).Distance(Vector3{f.x - at.x, f.y - at.y, f.z - at.z}, w);
            if (std::isnan(value)) continue;
            // A NaN floor leaves nothing out.
            EXPECT_FALSE(floor > value) << floor << " > " << value << ", metric " << metric_number << " cube " << n
                                        << " point " << j << " at " << at.x << " " << at.y << " " << at.z << " weights "
                                        << w.x << " " << w.y << " " << w.z;
            if (floor > 0.0f) least_ratio = std::fmin(least_ratio, value / floor);
        }
    };
    if (w.x == 1.0f && w.y == 1.0f && w.z == 1.0f) {
        lanes::each_cube_floor<V, M, true>(corner, va, fw, check);
    } else {
        lanes::each_cube_floor<V, M, false>(corner, va, fw, check);
    }
    return least_ratio;
}

// The floors that let the searches leave out a cube never exceed a value
// the cube's points give (NaN values are never kept), under every awkward
// weight set and for coordinates beyond the lattice, NaN and infinite; and
// they are tight: points level with a feature point just past a face of
// their cube give a value within 1% of the floor.
TEST(CubeFloors, NeverAboveAValueInTheCubeAndNearlyReached) {
    std::vector<Vector3> at;
    // Feature points within 0.001 past the lower x face of their cube, and
    // points 0.25 to 0.75 before that face, level with them.
    for (int32_t cy = 0; cy < 100 && at.size() < 60; ++cy) {
        for (int32_t cx = -200; cx < 200; ++cx) {
            for (int j = 0; j < cube_point_counts[lattice::cube_hash(cx, cy, -3) >> 24]; ++j) {
                const Vector3 f = feature_point(cx, cy, -3, j);
                if (f.x - static_cast<float>(cx) >= 0.001f) continue;
                for (float s : {0.25f, 0.5f, 0.75f}) at.push_back({static_cast<float>(cx) - s, f.y, f.z});
            }
        }
    }
    ASSERT_GE(at.size(), 30u);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> near(-40.0f, 40.0f);
    for (int i = 0; i < 300; ++i) at.push_back({near(rng), near(rng), near(rng)});
    for (float far : {1e7f, -3e9f, 1e30f, kInf, -kInf, kNaN})
        at.push_back({far, near(rng), 0.5f}), at.push_back({0.5f, 2.0f, far});
    for (const Vector3& w : tulo_test::awkward_weights()) {
        float least[3] = {kInf, kInf, kInf};
        for (const Vector3& p : at) {
            least[0] = std::fmin(least[0], check_floors<kernels::LaneMetric::euclidian>(1, p, w));
            least[1] = std::fmin(least[1], check_floors<kernels::LaneMetric::manhattan>(2, p, w));
            least[2] = std::fmin(least[2], check_floors<kernels::LaneMetric::chessboard>(3, p, w));
        }
        if (HasFailure()) FAIL() << "weights " << w.x << " " << w.y << " " << w.z;
        if (w.x == 1.0f && w.y == 1.0f && w.z == 1.0f) {
            for (int m = 0; m < 3; ++m) EXPECT_LT(least[m], 1.01f) << "metric " << m + 1;
        }
    }
}

TEST(PowerBounds, ExponentsOutsideZeroToEightAreNotBounded) {
    for (float w : {-0.5f, -1e-30f, 8.5f, kNaN, kInf, -kInf, 17.0f}) {
        EXPECT_FALSE(lanes::power_weights(kernels::PowerMetric::superquadratic, Vector3{1.0f, w, 1.0f}).usable) << w;
    }
    const auto p = lanes::power_weights(kernels::PowerMetric::superquadratic, Vector3{0.0f, 0.3f, 8.0f});
    EXPECT_TRUE(p.usable);
    EXPECT_EQ(0, p.below[1]);  // 0.3 lies between 0 and 1/2
    EXPECT_EQ(1, p.above[1]);
    EXPECT_EQ(16, p.below[2]);
    EXPECT_EQ(16, p.above[2]);
}

void set_cap(const char* value) {
#if defined(_WIN32)
    _putenv_s("TULO_CELLULAR_MAX_ISA", value);
#else
    setenv("TULO_CELLULAR_MAX_ISA", value, 1);
#endif
}

TEST(KernelChoice, TheEnvironmentCapsTheInstructionSet) {
    // A cap of avx2 rules out avx512 only (on aarch64 it leaves NEON).
    const Isa avx2_or_less = kernels::kernel_available(Isa::avx2)   ? Isa::avx2
                             : kernels::kernel_available(Isa::neon) ? Isa::neon
                                                                    : Isa::portable;
    const Isa widest = kernels::kernel_available(Isa::avx512) ? Isa::avx512 : avx2_or_less;
    EXPECT_EQ(Isa::portable, kernels::choose_kernel_isa("portable"));
#if defined(__x86_64__) || defined(_M_X64)
    EXPECT_EQ(Isa::portable, kernels::choose_kernel_isa("SSE2"));  // the portable kernel's other name here
#endif
    EXPECT_EQ(avx2_or_less, kernels::choose_kernel_isa("avx2"));
    EXPECT_EQ(avx2_or_less, kernels::choose_kernel_isa("AVX2"));  // any letter case
    EXPECT_EQ(widest, kernels::choose_kernel_isa("avx512"));
    EXPECT_EQ(widest, kernels::choose_kernel_isa(nullptr));
    // An unknown value is named on standard error, once, and ignored.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(widest, kernels::choose_kernel_isa("no-such-set"));
    EXPECT_EQ(widest, kernels::choose_kernel_isa("no-such-set"));
    EXPECT_EQ("TULO_CELLULAR_MAX_ISA=no-such-set is not one of portable, avx2, avx512, neon: ignored\n",
              ::testing::internal::GetCapturedStderr());
}

TEST(KernelChoice, TheEnvironmentIsReadAtLoadNotAtFirstUse) {
    // The library chose at load, from the environment as it is now; a cap
    // set later, as another thread of a renderer might set it while samples
    // run, changes nothing, even before the first search.
    const Isa at_load = kernels::choose_kernel_isa(std::getenv("TULO_CELLULAR_MAX_ISA"));
    set_cap(at_load == Isa::portable ? "avx512" : "portable");
    EXPECT_EQ(at_load, kernels::kernel_isa());
    float F[2];
    const Vector3 ones{1.0f, 1.0f, 1.0f};
    cellular_basis(&euclidian, &ones, 1.0f, 2.0f, 3.0f, 2, F, nullptr, nullptr);
    EXPECT_EQ(at_load, kernels::kernel_isa());
#if defined(_WIN32)
    _putenv_s("TULO_CELLULAR_MAX_ISA", "");
#else
    unsetenv("TULO_CELLULAR_MAX_ISA");
#endif
}

}  // namespace
}  // namespace tulo

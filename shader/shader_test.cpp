// Tests of the shader through the loaded library: the computation, the
// clamping and replacement rules, the gain branches, connected parameters
// and concurrent first calls.
#include <atomic>
#include <cfloat>
#include <cstring>
#include <vector>
#include <limits>
#include <thread>

#include "reference/reference.h"
#include "shader/testing/shader_test_support.h"

namespace shader_test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const Color kInitial{0.0f, 0.0f, 0.0f, 0.375f};  // alpha the renderer left

using ShaderEntryPoints = ShaderTest;
using ShaderParameters = ShaderTest;
using ShaderGain = ShaderTest;
using ConnectedParameters = ShaderTest;
using ShaderRobustness = ShaderTest;

TEST_F(ShaderEntryPoints, VersionIsOne) { EXPECT_EQ(1, library().version()); }

TEST_F(ShaderEntryPoints, MatchesTheComputationCalledDirectlyForEveryMetricAndOctaveCount) {
    standin::ParameterStore store;
    store.params() = typical_params();
    store.params().weights = {0.8f, 1.2f, 1.0f};
    store.params().gain = 0.6f;
    for (int32_t metric = 1; metric <= 5; ++metric) {
        for (int32_t octaves = 0; octaves <= 5; ++octaves) {
            store.params().metric = metric;
            store.params().octaves = octaves;
            for (const Vector3& p : sample_points(40)) {
                expect_same_color(expected_color(store.params(), p, kInitial), shade(store, p, kInitial));
            }
        }
    }
}

// Colours of a few points under the block's current settings.
std::vector<Color> pattern(standin::ParameterStore& store) {
    std::vector<Color> out;
    for (const Vector3& p : sample_points(24)) out.push_back(shade(store, p, kInitial));
    return out;
}

bool same_pattern(const std::vector<Color>& a, const std::vector<Color>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Color)) == 0;
}

TEST_F(ShaderParameters, MetricNumberIsClampedToOneThroughFive) {
    standin::ParameterStore store;
    store.params() = typical_params();
    // Unit weights would make Superquadratic equal to Manhattan.
    store.params().weights = {1.25f, 0.75f, 1.0f};
    std::vector<std::vector<Color>> by_metric;
    for (int32_t m = 1; m <= 5; ++m) {
        store.params().metric = m;
        by_metric.push_back(pattern(store));
    }
    for (int32_t i = 0; i < 5; ++i)
        for (int32_t j = i + 1; j < 5; ++j) EXPECT_FALSE(same_pattern(by_metric[i], by_metric[j])) << i << " " << j;
    for (int32_t m : {0, -1, INT32_MIN}) {
        store.params().metric = m;
        EXPECT_TRUE(same_pattern(by_metric[0], pattern(store))) << m;
    }
    for (int32_t m : {6, 99, INT32_MAX}) {
        store.params().metric = m;
        EXPECT_TRUE(same_pattern(by_metric[4], pattern(store))) << m;
    }
}

TEST_F(ShaderParameters, OctaveCountIsClampedToZeroThroughFive) {
    standin::ParameterStore store;
    store.params() = typical_params();
    store.params().gain = 0.25f;  // keep t within range so octaves show
    store.params().octaves = 0;
    const auto none = pattern(store);
    store.params().octaves = 4;
    const auto four = pattern(store);
    store.params().octaves = 5;
    const auto five = pattern(store);
    EXPECT_FALSE(same_pattern(none, four));
    EXPECT_FALSE(same_pattern(four, five));
    for (int32_t n : {-3, -1, INT32_MIN}) {
        store.params().octaves = n;
        EXPECT_TRUE(same_pattern(none, pattern(store))) << n;
    }
    for (int32_t n : {6, 9, INT32_MAX}) {
        store.params().octaves = n;
        EXPECT_TRUE(same_pattern(five, pattern(store))) << n;
    }
}

TEST_F(ShaderParameters, AllZeroWeightsOfEitherSignMeanUnitWeights) {
    standin::ParameterStore store;
    store.params() = typical_params();
    for (int32_t metric = 1; metric <= 5; ++metric) {
        store.params().metric = metric;
        store.params().weights = {1.0f, 1.0f, 1.0f};
        const auto unit = pattern(store);
        store.params().weights = {0.0f, 0.0f, 0.0f};
        EXPECT_TRUE(same_pattern(unit, pattern(store)));
        store.params().weights = {-0.0f, 0.0f, -0.0f};
        EXPECT_TRUE(same_pattern(unit, pattern(store)));
        store.params().weights = {0.0f, 0.0f, 1.0f};
        EXPECT_FALSE(same_pattern(unit, pattern(store))) << metric;
    }
}

TEST_F(ShaderParameters, NaNWeightIsUsedAsGiven) {
    // A NaN weight makes every Euclidian distance NaN: nothing is kept, both
    // distances are equal, t is 0 and the result is exactly color2.
    standin::ParameterStore store;
    store.params() = typical_params();
    store.params().weights = {kNaN, 0.0f, 0.0f};
    for (const Vector3& p : sample_points(10)) {
        const Color c = shade(store, p, kInitial);
        expect_same_color({store.params().color2.r, store.params().color2.g, store.params().color2.b, kInitial.a}, c);
    }
}

TEST_F(ShaderGain, BothBranchesAgainstTheDerivedColour) {
    standin::ParameterStore store;
    store.params() = typical_params();
    for (float gain : {1.0f, 2.0f, 1.5f, 3.0f}) {
        store.params().gain = gain;
        int beyond = 0, within = 0;
        for (const Vector3& p : sample_points(300)) {
            const Color c = shade(store, p, kInitial);
            expect_same_color(expected_color(store.params(), p, kInitial), c);
            if (bits(c.a) == bits(0.0f)) {
                ++beyond;
                EXPECT_EQ(bits(store.params().color2.r), bits(c.r));  // color2, not color1
            } else {
                ++within;
                EXPECT_EQ(bits(kInitial.a), bits(c.a));
            }
        }
        EXPECT_GT(beyond, 0) << gain;
        EXPECT_GT(within, 0) << gain;
    }
}

TEST_F(ShaderGain, NegativeOrInfiniteGainGivesColor2WithAlphaZero) {
    standin::ParameterStore store;
    store.params() = typical_params();
    const Color c2 = store.params().color2;
    for (float gain : {-1.0f, -0.0001f, -kInf, kInf}) {
        store.params().gain = gain;
        for (const Vector3& p : sample_points(30))
            expect_same_color({c2.r, c2.g, c2.b, 0.0f}, shade(store, p, kInitial));
    }
}

TEST_F(ShaderGain, ZeroGainGivesNaNForZeroValueAndColor2Otherwise) {
    standin::ParameterStore store;
    store.params() = typical_params();
    store.params().gain = 0.0f;
    const Color c2 = store.params().color2;
    // t > 0: beyond the limit 0.
    expect_same_color({c2.r, c2.g, c2.b, 0.0f}, shade(store, {0.0f, 0.0f, 0.0f}, kInitial));
    // t exactly 0 (NaN weights keep nothing): 0/0.
    store.params().weights = {kNaN, kNaN, kNaN};
    const Color c = shade(store, {0.0f, 0.0f, 0.0f}, kInitial);
    EXPECT_TRUE(std::isnan(c.r) && std::isnan(c.g) && std::isnan(c.b));
    EXPECT_EQ(bits(kInitial.a), bits(c.a));
}

TEST_F(ShaderGain, NaNGainOrNaNValueLeavesAlphaAndGivesNaN) {
    standin::ParameterStore store;
    store.params() = typical_params();
    store.params().gain = kNaN;
    Color c = shade(store, {1.0f, 2.0f, 3.0f}, kInitial);
    EXPECT_TRUE(std::isnan(c.r) && std::isnan(c.g) && std::isnan(c.b));
    EXPECT_EQ(bits(kInitial.a), bits(c.a));
    // Negative Euclidian weights: negative values become NaN distances.
    store.params().gain = 1.0f;
    store.params().weights = {-1.0f, -1.0f, -1.0f};
    c = shade(store, {1.0f, 2.0f, 3.0f}, kInitial);
    EXPECT_TRUE(std::isnan(c.r) && std::isnan(c.g) && std::isnan(c.b));
    EXPECT_EQ(bits(kInitial.a), bits(c.a));
}

// The values a fully connected block is answered with, unlike what it stores.
CellularTextureParams connected_values() {
    CellularTextureParams v{};
    v.color1 = {0.9f, 0.1f, 0.3f, 0.2f};
    v.color2 = {0.05f, 0.6f, 0.35f, 0.4f};
    v.metric = 3;
    v.weights = {1.5f, 0.5f, 2.0f};
    v.octaves = 2;
    v.gain = 0.4f;
    return v;
}

void answer_all(RecordingConnections& c, const CellularTextureParams& v) {
    c.set(Param::color1, v.color1);
    c.set(Param::color2, v.color2);
    c.set(Param::metric, v.metric);
    c.set(Param::weights, v.weights);
    c.set(Param::octaves, v.octaves);
    c.set(Param::gain, v.gain);
}

const std::vector<Param> kFetchOrder = {Param::color1,  Param::color2,  Param::metric,
                                        Param::weights, Param::octaves, Param::gain};

TEST_F(ConnectedParameters, EveryParameterFetchedOnceInOrderWithEitherTagSide) {
    const CellularTextureParams answers = connected_values();
    for (int32_t offset : {64, 56, -64, -56, 4096, -4096}) {
        for (bool reuse : {false, true}) {
            standin::ParameterStore store(offset);
            store.params() = typical_params();
            for (Param p : kFetchOrder) store.connect(p);
            RecordingConnections connections;
            answer_all(connections, answers);
            connections.reuse_one_buffer = reuse;
            for (const Vector3& p : sample_points(20)) {
                connections.calls.clear();
                const Color c = shade(store, p, kInitial, &connections);
                expect_same_color(expected_color(answers, p, kInitial), c);
                EXPECT_EQ(kFetchOrder, connections.calls) << "offset " << offset;
            }
        }
    }
}

TEST_F(ConnectedParameters, OnlyParametersWithNonZeroTagsAreComputed) {
    CellularTextureParams answers = connected_values();
    standin::ParameterStore store(-128);
    store.params() = typical_params();
    RecordingConnections connections;
    answer_all(connections, answers);
    // A non-zero offset with every tag 0: everything is read directly.
    const Vector3 p{1.5f, -2.25f, 0.75f};
    expect_same_color(expected_color(store.params(), p, kInitial), shade(store, p, kInitial, &connections));
    EXPECT_TRUE(connections.calls.empty());
    // Two tags set, one with only the sign bit.
    store.set_tag(Param::metric, 1);
    store.set_tag(Param::gain, INT32_MIN);
    CellularTextureParams mixed = store.params();
    mixed.metric = answers.metric;
    mixed.gain = answers.gain;
    expect_same_color(expected_color(mixed, p, kInitial), shade(store, p, kInitial, &connections));
    EXPECT_EQ((std::vector<Param>{Param::metric, Param::gain}), connections.calls);
}

TEST_F(ConnectedParameters, NullAnswerFallsBackToTheStoredValue) {
    standin::ParameterStore store(64);
    store.params() = typical_params();
    for (Param p : kFetchOrder) store.connect(p);
    RecordingConnections connections;
    connections.answer_null = true;
    const Vector3 p{0.25f, 0.5f, -3.0f};
    expect_same_color(expected_color(store.params(), p, kInitial), shade(store, p, kInitial, &connections));
    EXPECT_EQ(kFetchOrder, connections.calls);
}

TEST_F(ShaderRobustness, ExtremePointsNeverFaultAndGiveColor2) {
    standin::ParameterStore store;
    store.params() = typical_params();
    const Color c2 = store.params().color2;
    // Points whose scaled coordinates leave the lattice give no candidates
    // at all: t is 0 and the colour is color2 exactly, alpha untouched.
    const float beyond[] = {kNaN, kInf, -kInf, FLT_MAX, -FLT_MAX, 1e30f, -1e20f};
    for (int32_t metric = 1; metric <= 5; ++metric) {
        store.params().metric = metric;
        for (int32_t octaves : {0, 3, 5, 9}) {
            store.params().octaves = octaves;
            for (float e : beyond) {
                // Chessboard passes over NaN in x or y, so NaN goes in z.
                for (const Vector3& p : {Vector3{e, e, e}, Vector3{0.5f, -1.5f, e}}) {
                    expect_same_color({c2.r, c2.g, c2.b, kInitial.a}, shade(store, p, kInitial));
                }
            }
            // Far but representable points, and the edges of the lattice
            // that octaves reach: must match the basis function.
            for (float e : {1e7f, -1e7f, 5.3e9f / 32.0f, 2147483520.0f / 0.39815f, FLT_MIN, -FLT_TRUE_MIN}) {
                const Vector3 p{e, -e, e * 0.5f};
                expect_same_color(expected_color(store.params(), p, kInitial), shade(store, p, kInitial));
            }
        }
    }
}

TEST_F(ShaderRobustness, ThreadsShadingInTheirOwnOrdersMatchTheReference) {
    // Each thread shades one slice in its own order, as renderer threads
    // share an image (rows, 16 x 16 tiles, columns, rows with a far sample
    // between neighbours): what a thread keeps of one sample's
    // neighbourhood for the next must never show in the colours.
    constexpr int kWidth = 96, kHeight = 40, kThreads = 4;
    auto pixel = [](int x, int y) { return Vector3{-4.0f + 0.083f * x, 2.5f - 0.083f * y, 0.37f}; };
    auto order = [&](int kind) {
        std::vector<Vector3> v;
        for (int i = 0; i < kWidth * kHeight; ++i) {
            int x = i % kWidth, y = i / kWidth;
            if (kind == 1) {  // tiles of 16 x 16, each row by row
                const int tile = i / 256, in_tile = i % 256, tiles_across = kWidth / 16;
                x = 16 * (tile % tiles_across) + in_tile % 16;
                y = 16 * (tile / tiles_across) + in_tile / 16;
                if (y >= kHeight) continue;
            } else if (kind == 2) {  // columns
                x = i / kHeight, y = i % kHeight;
            }
            v.push_back(pixel(x, y));
            if (kind == 3) v.push_back({-7e4f + 3.0f * i, 1e3f, -50.0f});
        }
        return v;
    };
    for (int32_t metric = 1; metric <= 3; ++metric) {
        CellularTextureParams params = typical_params();
        params.metric = metric;
        params.octaves = metric == 2 ? 2 : 5;
        params.weights = metric == 3 ? Vector3{0.3f, 2.0f, 1.0f} : Vector3{1.0f, 1.0f, 1.0f};
        std::atomic<int> differing{0}, shaded{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                standin::ParameterStore store;
                store.params() = params;
                for (const Vector3& p : order(t)) {
                    const Color expected = reference::shade(params, p, kInitial);
                    const Color got = shade(store, p, kInitial);
                    if (std::memcmp(&expected, &got, sizeof(Color)) != 0) differing.fetch_add(1);
                    shaded.fetch_add(1);
                }
            });
        }
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(0, differing.load()) << "metric " << metric;
        EXPECT_GT(shaded.load(), 4 * kWidth * kHeight - 16 * kWidth);
    }
}

TEST_F(ShaderRobustness, ManyThreadsMakingTheirFirstCallAtOnceAgree) {
    // Connected weights and gain make every thread resolve mi_phen_eval at
    // its first call, right after a new module handle.
    constexpr int kThreads = 8;
    const auto points = sample_points(400);
    auto run = [&](std::vector<Color>& out, std::atomic<int>* gate) {
        standin::ParameterStore store(64);
        store.params() = typical_params();
        store.params().metric = 4;
        store.params().octaves = 2;
        store.connect(Param::weights);
        store.connect(Param::gain);
        RecordingConnections connections;
        connections.set(Param::weights, Vector3{0.5f, 1.0f, 1.5f});
        connections.set(Param::gain, 0.3f);
        standin::ShadingRecord record(store, &connections);
        if (gate != nullptr) {
            gate->fetch_add(1);
            while (gate->load() < kThreads) std::this_thread::yield();
        }
        for (const Vector3& p : points) {
            record.set_point(p.x, p.y, p.z);
            Color c = kInitial;
            EXPECT_EQ(1, standin::shade(library(), record, store, &c));
            out.push_back(c);
        }
    };
    // The threads go first: run on its own (as CTest runs each test), this
    // makes their calls the process's first, so that they also choose the
    // search kernel together.
    library().set_module_handle(standin::renderer_module_handle());
    std::vector<std::vector<Color>> results(kThreads);
    std::atomic<int> gate{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(run, std::ref(results[static_cast<size_t>(i)]), &gate);
    for (auto& t : threads) t.join();

    std::vector<Color> sequential;
    run(sequential, nullptr);
    for (const auto& r : results) EXPECT_TRUE(same_pattern(sequential, r));
    // And they agree with the computation called directly.
    standin::ParameterStore store;
    store.params() = typical_params();
    store.params().metric = 4;
    store.params().octaves = 2;
    store.params().weights = {0.5f, 1.0f, 1.5f};
    store.params().gain = 0.3f;
    for (size_t i = 0; i < points.size(); i += 37)
        expect_same_color(expected_color(store.params(), points[i], kInitial), sequential[i]);
}

}  // namespace
}  // namespace shader_test

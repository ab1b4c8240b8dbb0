// Tests of the shader's computation of a sample, called directly: against
// the sequential reference for every metric, octave count and gain branch,
// the boundary of the gain limit, and the resolution rules.
#include "shader/shading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "cellular/cellular_basis.h"
#include "reference/reference.h"
#include "shader/testing/shader_test_support.h"

namespace tulo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using shader_test::bits;
using shader_test::expect_same_color;
using shader_test::typical_params;

Color shade(const CellularTextureParams& p, const Vector3& point, Color result) {
    shade_sample(resolve_parameters(p), point, &result);
    return result;
}

const Color kInitial{0.0f, 0.0f, 0.0f, 0.375f};

TEST(Shading, MatchesTheReferenceForEveryMetricOctaveCountAndGain) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
    const Vector3 weights[] = {{1, 1, 1}, {0.3f, 2.0f, 1.0f}, {-1, 1, 1}, {0, 0, 0}, {-0.0f, 0, 0.5f}, {kNaN, 1, 1}};
    const float gains[] = {1.0f, 0.3f, 2.5f, 0.0f, -1.0f, kNaN, kInf, 1e-30f};
    for (int32_t metric : {-7, 1, 2, 3, 4, 5, 9}) {
        for (int32_t octaves : {-1, 0, 2, 5, 8}) {
            for (const Vector3& w : weights) {
                for (float gain : gains) {
                    CellularTextureParams p = typical_params();
                    p.metric = metric;
                    p.octaves = octaves;
                    p.weights = w;
                    p.gain = gain;
                    for (int i = 0; i < 4; ++i) {
                        const Vector3 point{coord(rng), coord(rng), coord(rng)};
                        expect_same_color(reference::shade(p, point, kInitial), shade(p, point, kInitial));
                    }
                }
            }
            if (HasFailure()) FAIL() << "metric " << metric << " octaves " << octaves;
        }
    }
}

TEST(Shading, OriginSampleOfTheUnitEuclidianPattern) {
    // F is about (0.65, 1.18) at the origin, so t is about 0.54 and the
    // colour about 0.46 color2 + 0.54 color1, alpha untouched.
    const CellularTextureParams p = typical_params();
    const Color c = shade(p, {0.0f, 0.0f, 0.0f}, kInitial);
    EXPECT_NEAR(0.46 * 0.125 + 0.54 * 1.0, c.r, 0.01);
    EXPECT_NEAR(0.46 * 0.25 + 0.54 * 0.75, c.g, 0.01);
    EXPECT_NEAR(0.46 * 0.625 + 0.54 * 0.25, c.b, 0.01);
    EXPECT_EQ(bits(kInitial.a), bits(c.a));
    expect_same_color(reference::shade(p, {0.0f, 0.0f, 0.0f}, kInitial), c);
}

// t at a point for the unit Euclidian pattern without octaves, from the
// reference basis.
float t_at(const Vector3& point) {
    const Vector3 ones{1.0f, 1.0f, 1.0f};
    float F[2];
    reference::cellular_basis(&euclidian, &ones, point.x, point.y, point.z, 2, F, nullptr, nullptr);
    return F[1] - F[0];
}

TEST(Shading, ValueExactlyAtTheGainLimitGivesColor1) {
    // A gain g whose 1/g is exactly t: t is not beyond the limit, so t / (1/g)
    // is 1 and the colour is exactly color1 with alpha untouched. The next
    // larger gain puts t beyond the limit: color2 with alpha 0.
    int found = 0;
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> coord(-20.0f, 20.0f);
    for (int attempt = 0; attempt < 200 && found < 20; ++attempt) {
        const Vector3 point{coord(rng), coord(rng), coord(rng)};
        const float t = t_at(point);
        float g = 1.0f / t;
        for (int step = 0; step < 4 && 1.0f / g != t; ++step) g = std::nextafter(g, 1.0f / g > t ? kInf : 0.0f);
        if (1.0f / g != t || 1.0f / std::nextafter(g, kInf) == t) continue;
        ++found;
        CellularTextureParams p = typical_params();
        p.gain = g;
        const Color at_limit = shade(p, point, kInitial);
        EXPECT_EQ(bits(p.color1.r), bits(at_limit.r));
        EXPECT_EQ(bits(p.color1.g), bits(at_limit.g));
        EXPECT_EQ(bits(p.color1.b), bits(at_limit.b));
        EXPECT_EQ(bits(kInitial.a), bits(at_limit.a));
        p.gain = std::nextafter(g, kInf);
        expect_same_color({p.color2.r, p.color2.g, p.color2.b, 0.0f}, shade(p, point, kInitial));
    }
    EXPECT_GE(found, 10);
}

TEST(Shading, ValuesAtKnownFractionsOfTheLimit) {
    // With gain 1, t = 0.25 gives 0.75 color2 + 0.25 color1: t is exactly a
    // quarter when the gain is 1/(4t) and 1/gain rounds back to 4t.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coord(-20.0f, 20.0f);
    int found = 0;
    for (int attempt = 0; attempt < 400 && found < 10; ++attempt) {
        const Vector3 point{coord(rng), coord(rng), coord(rng)};
        const float t = t_at(point);
        const float g = 1.0f / (4.0f * t);
        if (1.0f / g != 4.0f * t) continue;
        ++found;
        CellularTextureParams p = typical_params();
        p.color1 = {1.0f, 0.0f, 0.5f, 1.0f};
        p.color2 = {0.0f, 1.0f, 0.5f, 1.0f};
        p.gain = g;
        const Color c = shade(p, point, kInitial);
        EXPECT_EQ(bits(0.25f), bits(c.r));
        EXPECT_EQ(bits(0.75f), bits(c.g));
        EXPECT_EQ(bits(0.5f), bits(c.b));
        EXPECT_EQ(bits(kInitial.a), bits(c.a));
    }
    EXPECT_GE(found, 5);
}

TEST(Shading, ResolutionClampsAndReplaces) {
    CellularTextureParams p = typical_params();
    const int32_t metrics[][2] = {{INT32_MIN, 1}, {0, 1}, {1, 1}, {3, 3}, {5, 5}, {6, 5}, {INT32_MAX, 5}};
    for (const auto& m : metrics) {
        p.metric = m[0];
        EXPECT_EQ(&metric_by_number(m[1]), resolve_parameters(p).metric) << m[0];
    }
    const int32_t octaves[][2] = {{INT32_MIN, 0}, {-3, 0}, {0, 0}, {4, 4}, {5, 5}, {9, 5}, {INT32_MAX, 5}};
    for (const auto& o : octaves) {
        p.octaves = o[0];
        EXPECT_EQ(o[1], resolve_parameters(p).octaves) << o[0];
    }
    // All-zero weights of either sign mean (1, 1, 1); anything else, a
    // subnormal or NaN included, stands.
    const Vector3 replaced[] = {{0.0f, 0.0f, 0.0f}, {-0.0f, 0.0f, -0.0f}, {-0.0f, -0.0f, -0.0f}};
    for (const Vector3& w : replaced) {
        p.weights = w;
        const Vector3 got = resolve_parameters(p).weights;
        EXPECT_EQ(bits(1.0f), bits(got.x));
        EXPECT_EQ(bits(1.0f), bits(got.y));
        EXPECT_EQ(bits(1.0f), bits(got.z));
    }
    const Vector3 kept[] = {{0.0f, 0.0f, 1.0f}, {1e-45f, 0.0f, 0.0f}, {0.0f, kNaN, 0.0f}, {0.0f, 0.0f, -1e-45f}};
    for (const Vector3& w : kept) {
        p.weights = w;
        const Vector3 got = resolve_parameters(p).weights;
        EXPECT_EQ(bits(w.x), bits(got.x));
        EXPECT_EQ(bits(w.y), bits(got.y));
        EXPECT_EQ(bits(w.z), bits(got.z));
    }
}

}  // namespace
}  // namespace tulo

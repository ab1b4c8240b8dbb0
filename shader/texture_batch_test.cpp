// The texture for arrays against the loaded plugin, sample by sample and bit
// for bit: every metric, octaves, gains that cut, zero or NaN the value, and
// the alpha the caller left; with one thread and with several.
#include "shader/texture_batch.h"

#include <limits>
#include <vector>

#include "shader/testing/shader_test_support.h"

namespace shader_test {
namespace {

TEST_F(ShaderTest, TextureForArraysEqualsThePluginSampleBySample) {
    std::vector<Vector3> points = sample_points(3 * static_cast<int>(tulo::kBatchChunk) / 2);
    const float inf = std::numeric_limits<float>::infinity();
    points.push_back({std::numeric_limits<float>::quiet_NaN(), 1.0f, 2.0f});
    points.push_back({inf, 0.0f, 0.0f});
    points.push_back({0.0f, 0.0f, 0.0f});
    struct Variant {
        int32_t metric;
        Vector3 weights;
        int32_t octaves;
        float gain;
    };
    const Variant variants[] = {
        {1, {1, 1, 1}, 0, 1.0f},  {1, {0, 0, 0}, 5, 0.5f},   {2, {0.3f, 2, 1}, 3, 0.0f}, {3, {2, 1, 0.5f}, 9, -1.0f},
        {4, {1, 1, 1}, 1, 2.0f},  {5, {2, 2, 2}, 2, 0.25f},  {1, {-1, 1, 1}, 1, 1.0f},   {0, {1, 1, 1}, -3, 1.0f},
    };
    for (const Variant& v : variants) {
        standin::ParameterStore store;
        CellularTextureParams& params = store.params();
        params = typical_params();
        params.metric = v.metric;
        params.weights = v.weights;
        params.octaves = v.octaves;
        params.gain = v.gain;
        // A distinct alpha per sample shows which ones the texture zeroes.
        std::vector<Color> initial(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) initial[i] = Color{7.0f, 7.0f, 7.0f, 0.5f + static_cast<float>(i)};
        for (int32_t threads : {1, 3}) {
            std::vector<Color> batch = initial;
            tulo::BatchOptions options;
            options.threads = threads;
            ASSERT_TRUE(tulo::texture_batch(params, points.data(), points.size(), batch.data(), options));
            std::vector<float> values(points.size());
            ASSERT_TRUE(tulo::texture_values_batch(params, points.data(), points.size(), values.data(), options));
            for (std::size_t i = 0; i < points.size(); ++i) {
                const Color expected = shade(store, points[i], initial[i]);
                expect_same_color(expected, batch[i], "texture for arrays");
                // The blend factor is what a black-to-white blend makes of it.
                Color white = initial[i];
                CellularTextureParams grey = params;
                grey.color1 = {1, 1, 1, 1};
                grey.color2 = {0, 0, 0, 1};
                tulo::shade_sample(tulo::resolve_parameters(grey), points[i], &white);
                const bool both_nan = white.r != white.r && values[i] != values[i];
                if (!both_nan) {
                    EXPECT_EQ(white.r, values[i]);
                }
                if (HasFailure()) {
                    FAIL() << "metric " << v.metric << " octaves " << v.octaves << " gain " << v.gain << " point " << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace shader_test

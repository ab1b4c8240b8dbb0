// The texture for arrays against the loaded plugin, sample by sample and bit
// for bit: every metric, octaves, gains that cut, zero or NaN the value, and
// the alpha the caller left; with one thread and with several.
#include "shader/texture_batch.h"

#include <limits>
#include <vector>

#include "cellular/testing/forced_kernel.h"
#include "cellular/tiles.h"
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
        {1, {1, 1, 1}, 0, 1.0f}, {1, {0, 0, 0}, 5, 0.5f},  {2, {0.3f, 2, 1}, 3, 0.0f}, {3, {2, 1, 0.5f}, 9, -1.0f},
        {4, {1, 1, 1}, 1, 2.0f}, {5, {2, 2, 2}, 2, 0.25f}, {1, {-1, 1, 1}, 1, 1.0f},   {0, {1, 1, 1}, -3, 1.0f},
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
        for (std::size_t i = 0; i < points.size(); ++i)
            initial[i] = Color{7.0f, 7.0f, 7.0f, 0.5f + static_cast<float>(i)};
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

using TextureTiles = tulo_test::ForcedKernel;

TEST_P(TextureTiles, ATileBesideItselfIsTheTextureOverTwoPeriods) {
    // A tile of one period beside itself equals the texture computed over two
    // periods, value for value, at every metric and octave count, with the
    // pixel centres tile_coordinates places (tiles.h).
    constexpr int32_t kPixels = 12;
    for (const tulo::Lattice& l :
         {tulo::Lattice{{3, 2, 0}, 0}, tulo::Lattice{{5, 5, 0}, 99u}, tulo::Lattice{{1, 4, 0}, 3u}}) {
        std::vector<float> xs1(kPixels), ys1(kPixels), xs2(2 * kPixels), ys2(2 * kPixels);
        tulo::tile_coordinates(kPixels, l.period[0], 1, xs1.data());
        tulo::tile_coordinates(kPixels, l.period[1], 1, ys1.data());
        tulo::tile_coordinates(kPixels, l.period[0], 2, xs2.data());
        tulo::tile_coordinates(kPixels, l.period[1], 2, ys2.data());
        std::vector<Vector3> one, two;
        for (float y : ys1)
            for (float x : xs1) one.push_back({x, y, 0.37f});
        for (float y : ys2)
            for (float x : xs2) two.push_back({x, y, 0.37f});
        for (int32_t m = 1; m <= 5; ++m) {
            for (int32_t octaves : {0, 2, 5}) {
                CellularTextureParams params{};
                params.metric = m;
                params.weights = Vector3{1.0f, 1.0f, 1.0f};
                params.octaves = octaves;
                params.gain = 0.5f;
                std::vector<float> t1(one.size()), t2(two.size());
                ASSERT_TRUE(tulo::texture_values_batch(params, l, one.data(), one.size(), t1.data()));
                ASSERT_TRUE(tulo::texture_values_batch(params, l, two.data(), two.size(), t2.data()));
                for (int32_t y = 0; y < 2 * kPixels; ++y) {
                    for (int32_t x = 0; x < 2 * kPixels; ++x) {
                        const float a = t1[static_cast<std::size_t>((y % kPixels) * kPixels + x % kPixels)];
                        const float b = t2[static_cast<std::size_t>(y * 2 * kPixels + x)];
                        ASSERT_EQ(tulo_test::bits(a), tulo_test::bits(b))
                            << "metric " << m << " octaves " << octaves << " pixel " << x << "," << y << " periods "
                            << l.period[0] << "," << l.period[1];
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, TextureTiles, tulo_test::kAllKernels, tulo_test::kernel_name);

}  // namespace
}  // namespace shader_test

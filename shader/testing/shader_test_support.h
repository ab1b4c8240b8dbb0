// Helpers shared by the shader tests: the library loaded through the
// stand-in renderer, a recording connection source, and the expected colour
// of a sample from the shader's computation called directly.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "cellular/cellular_basis.h"
#include "cellular/testing/float_bits.h"
#include "shader/shading.h"
#include "standin/standin_renderer.h"

namespace shader_test {

using standin::Param;
using tulo::CellularTextureParams;
using tulo::Color;
using tulo::Vector3;

using tulo_test::bits;

// Colours equal to the bit in all four components.
inline void expect_same_color(const Color& expected, const Color& actual, const char* what = "") {
    EXPECT_EQ(bits(expected.r), bits(actual.r)) << what;
    EXPECT_EQ(bits(expected.g), bits(actual.g)) << what;
    EXPECT_EQ(bits(expected.b), bits(actual.b)) << what;
    EXPECT_EQ(bits(expected.a), bits(actual.a)) << what;
}

// The shader library at the path the build gives, loaded once per process,
// as a renderer loads it.
inline const standin::ShaderLibrary& library() {
    static const std::unique_ptr<standin::ShaderLibrary> lib = [] {
        std::string error;
        auto loaded = standin::ShaderLibrary::load(TULO_LIBRARY_PATH, &error);
        if (!loaded) {
            ADD_FAILURE() << error;
            std::abort();
        }
        return loaded;
    }();
    return *lib;
}

// Answers connected parameters from values set per parameter and records
// which parameters were asked for, in order.
class RecordingConnections final : public standin::Connections {
public:
    template <class T>
    void set(Param p, const T& value) {
        auto& bytes = values_[p];
        bytes.resize(sizeof(T));
        std::memcpy(bytes.data(), &value, sizeof(T));
    }

    // Copy every answer into one buffer that the next answer overwrites, as a
    // renderer with a single scratch area would.
    bool reuse_one_buffer = false;
    // Answer null for every parameter.
    bool answer_null = false;

    std::vector<Param> calls;

    const void* evaluate(const standin::ShadingRecord&, Param p) override {
        calls.push_back(p);
        if (answer_null) return nullptr;
        const auto& bytes = values_.at(p);
        if (!reuse_one_buffer) return bytes.data();
        std::memset(scratch_, 0xA5, sizeof(scratch_));
        std::memcpy(scratch_, bytes.data(), bytes.size());
        return scratch_;
    }

private:
    std::map<Param, std::vector<unsigned char>> values_;
    alignas(16) unsigned char scratch_[16];
};

// Shades one sample with `store` at point p, starting from `initial` in the
// result; expects the call to return 1.
inline Color shade(standin::ParameterStore& store, const Vector3& p, const Color& initial,
                   standin::Connections* connections = nullptr) {
    standin::ShadingRecord record(store, connections);
    record.set_point(p.x, p.y, p.z);
    Color result = initial;
    EXPECT_EQ(1, standin::shade(library(), record, store, &result));
    return result;
}

// The colour a sample with these parameter values should get: the shader's
// computation called directly, not through the loaded library, so that
// what is compared is how the library fetches and hands over.
inline Color expected_color(const CellularTextureParams& prm, const Vector3& p, const Color& result) {
    Color c = result;
    tulo::shade_sample(tulo::resolve_parameters(prm), p, &c);
    return c;
}

// A typical parameter set.
inline CellularTextureParams typical_params() {
    CellularTextureParams p{};
    p.color1 = {1.0f, 0.75f, 0.25f, 0.5f};
    p.color2 = {0.125f, 0.25f, 0.625f, 0.75f};
    p.metric = 1;
    p.weights = {1.0f, 1.0f, 1.0f};
    p.octaves = 0;
    p.gain = 1.0f;
    return p;
}

// Points spread over many cubes, both signs.
inline std::vector<Vector3> sample_points(int count) {
    std::vector<Vector3> points;
    uint32_t s = 12345u;
    auto next = [&] {
        s = s * 1664525u + 1013904223u;
        return static_cast<float>(s >> 8) * 0x1p-24f * 40.0f - 20.0f;
    };
    for (int i = 0; i < count; ++i) points.push_back({next(), next(), next()});
    return points;
}

// Sets the renderer's own module handle before each test.
class ShaderTest : public ::testing::Test {
protected:
    void SetUp() override { library().set_module_handle(standin::renderer_module_handle()); }
};

}  // namespace shader_test

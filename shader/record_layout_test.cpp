// The renderer's records laid out byte by byte from the renderer's own
// numbers, written here and nowhere else: the sample point at bytes 196,
// 200 and 204 of the state record, the shader-record pointer at 312, the
// connection-tag offset at byte 96 of the shader record, and the parameter
// block's fields at bytes 0, 16, 32, 36, 48 and 52. The library must read
// exactly those bytes.
#include <cstdint>
#include <cstring>
#include <string>

#if defined(_WIN32)
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <dlfcn.h>
#endif

#include "shader/testing/shader_test_support.h"

namespace shader_test {
namespace {

// Bytes that are not the shader's to read are filled with this, so that a
// read from the wrong place gives other values (as floats about 12.1).
constexpr unsigned char kFill = 0x41;

template <class T>
void put(unsigned char* record, std::size_t byte, const T& value) {
    std::memcpy(record + byte, &value, sizeof(T));
}

struct RawRecords {
    alignas(8) unsigned char state[320];
    alignas(8) unsigned char shader[104];
    // The block with room for connection tags 64 bytes after it.
    alignas(8) unsigned char block[56 + 64];

    RawRecords() {
        std::memset(state, kFill, sizeof(state));
        std::memset(shader, kFill, sizeof(shader));
        std::memset(block, 0, sizeof(block));
        const unsigned char* shader_record = shader;
        put(state, 312, shader_record);
        put(shader, 96, int32_t{0});
    }
    void point(float x, float y, float z) {
        put(state, 196, x);
        put(state, 200, y);
        put(state, 204, z);
    }
    Color shade(Color result) {
        EXPECT_EQ(1, library().shade_function()(&result, reinterpret_cast<tulo::ShadingState*>(state),
                                                reinterpret_cast<CellularTextureParams*>(block)));
        return result;
    }
};

// The values written into the raw block, as named fields.
CellularTextureParams raw_values() {
    CellularTextureParams p{};
    p.color1 = {0.9f, 0.2f, 0.4f, 0.6f};
    p.color2 = {0.1f, 0.7f, 0.3f, 0.8f};
    p.metric = 3;
    p.weights = {1.5f, 0.5f, 1.25f};
    p.octaves = 2;
    p.gain = 0.45f;
    return p;
}

void put_block(unsigned char* block, const CellularTextureParams& p) {
    const float c1[4] = {p.color1.r, p.color1.g, p.color1.b, p.color1.a};
    const float c2[4] = {p.color2.r, p.color2.g, p.color2.b, p.color2.a};
    const float w[3] = {p.weights.x, p.weights.y, p.weights.z};
    put(block, 0, c1);
    put(block, 16, c2);
    put(block, 32, p.metric);
    put(block, 36, w);
    put(block, 48, p.octaves);
    put(block, 52, p.gain);
}

using RecordLayout = ShaderTest;

TEST_F(RecordLayout, TheLibraryReadsThePointAndTheBlockAtTheRenderersBytes) {
    RawRecords raw;
    const CellularTextureParams values = raw_values();
    put_block(raw.block, values);
    const Vector3 points[] = {{1.25f, -3.5f, 7.75f}, {-20.0f, 0.5f, 3.0f}, {0.1f, 0.2f, -0.3f}};
    for (const Vector3& p : points) {
        raw.point(p.x, p.y, p.z);
        const Color initial{0.0f, 0.0f, 0.0f, 0.25f};
        expect_same_color(expected_color(values, p, initial), raw.shade(initial));
    }
}

// A module without mi_phen_eval: every connected parameter then costs one
// failed lookup, reported on standard error, and takes its stored value.
#if defined(_WIN32)
void* module_without_the_operation() { return LoadLibraryA("kernel32.dll"); }
#else
void* module_without_the_operation() { return dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL); }
#endif

int failed_lookups(const std::string& captured) {
    int n = 0;
    for (std::size_t at = captured.find("dlsym failed"); at != std::string::npos;
         at = captured.find("dlsym failed", at + 1))
        ++n;
    return n;
}

TEST_F(RecordLayout, TheConnectionTagOffsetIsReadAtByte96AndTagsBesideEachField) {
    library().set_module_handle(module_without_the_operation());
    RawRecords raw;
    const CellularTextureParams values = raw_values();
    put_block(raw.block, values);
    raw.point(2.0f, 1.0f, -4.0f);
    const Color expected = expected_color(values, {2.0f, 1.0f, -4.0f}, Color{0, 0, 0, 1});

    // Offset 0 at byte 96, non-zero bytes all around it and tags set: nothing
    // is connected.
    std::memset(raw.block + 56, 0xFF, 64);
    ::testing::internal::CaptureStderr();
    expect_same_color(expected, raw.shade(Color{0, 0, 0, 1}));
    EXPECT_EQ(0, failed_lookups(::testing::internal::GetCapturedStderr()));

    // Offset 64: the tag of each field, 64 bytes after it, connects that
    // field alone.
    put(raw.shader, 96, int32_t{64});
    const std::size_t fields[] = {0, 16, 32, 36, 48, 52};
    for (std::size_t field : fields) {
        std::memset(raw.block + 56, 0, 64);
        put(raw.block, field + 64, int32_t{7});
        ::testing::internal::CaptureStderr();
        expect_same_color(expected, raw.shade(Color{0, 0, 0, 1}));
        EXPECT_EQ(1, failed_lookups(::testing::internal::GetCapturedStderr())) << "field at byte " << field;
    }
}

}  // namespace
}  // namespace shader_test

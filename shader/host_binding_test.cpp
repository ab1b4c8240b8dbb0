// Tests of the late binding through the loaded library: one lookup per
// module handle, a new lookup after a new handle, the diagnostics, the
// null handle and the fall-back value when the lookup fails.
#include <cstdio>
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

using HostBinding = ShaderTest;

// A system module that has no mi_phen_eval, and the error code a failed
// lookup in it reports.
#if defined(_WIN32)
void* other_module() { return LoadLibraryA("kernel32.dll"); }
constexpr int kLookupError = 127;  // ERROR_PROC_NOT_FOUND
#else
void* other_module() { return dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL); }
constexpr int kLookupError = -1;  // dlsym gives no code
#endif

// A block whose gain and weights are connected and answered.
struct ConnectedSetup {
    standin::ParameterStore store{64};
    RecordingConnections connections;
    ConnectedSetup() {
        store.params() = typical_params();
        store.connect(Param::weights);
        store.connect(Param::gain);
        connections.set(Param::weights, Vector3{2.0f, 1.0f, 0.5f});
        connections.set(Param::gain, 0.5f);
    }
    static constexpr Vector3 kPoint{0.3f, 1.7f, -2.2f};
    Color shade_once() { return shade(store, kPoint, Color{0, 0, 0, 1}, &connections); }
    // The colour when both connected values are computed, or fall back to
    // the stored ones.
    Color computed() {
        CellularTextureParams p = store.params();
        p.weights = {2.0f, 1.0f, 0.5f};
        p.gain = 0.5f;
        return expected_color(p, kPoint, Color{0, 0, 0, 1});
    }
    Color fallback() { return expected_color(store.params(), kPoint, Color{0, 0, 0, 1}); }
};

std::string lookup_failure(void* handle, int code) {
    char line[128];
    std::snprintf(line, sizeof(line), "dlsym failed on \"mi_phen_eval\" (handle: %08x error: %d)\n",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu), code);
    return line;
}

#if defined(TULO_LOOKUP_COUNTER_PATH)
// The lookup-counter module: exports mi_phen_eval and counts its lookups.
struct LookupCounter {
    void* handle = nullptr;
    int (*lookups)() = nullptr;
    LookupCounter() {
        handle = dlopen(TULO_LOOKUP_COUNTER_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        using SetTargetFn = void (*)(void* (*)(void*, void*));
        auto set_target = reinterpret_cast<SetTargetFn>(dlsym(handle, "counter_set_target"));
        lookups = reinterpret_cast<int (*)()>(dlsym(handle, "counter_lookups"));
        set_target(&mi_phen_eval);
    }
};

TEST_F(HostBinding, ResolvesOncePerModuleHandleAndAgainAfterANewOne) {
    static LookupCounter counter;
    ASSERT_NE(nullptr, counter.handle) << dlerror();
    ConnectedSetup setup;
    library().set_module_handle(counter.handle);
    const int before = counter.lookups();
    ::testing::internal::CaptureStderr();
    setup.shade_once();  // two connected parameters
    EXPECT_EQ(before + 1, counter.lookups());
    setup.shade_once();
    setup.shade_once();
    EXPECT_EQ(before + 1, counter.lookups());
    EXPECT_EQ(6u, setup.connections.calls.size());

    library().set_module_handle(counter.handle);
    const Color c = setup.shade_once();
    EXPECT_EQ(before + 2, counter.lookups());
    EXPECT_EQ(8u, setup.connections.calls.size());
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());  // success prints nothing
    expect_same_color(setup.computed(), c);
}
#endif

TEST_F(HostBinding, NullHandleIsReportedAndLooksInTheMainProgram) {
    // This program exports mi_phen_eval, as a renderer executable does.
    ConnectedSetup setup;
    library().set_module_handle(nullptr);
    ::testing::internal::CaptureStderr();
    const Color c = setup.shade_once();
    EXPECT_EQ("DYNLOAD: dl_handle null\n", ::testing::internal::GetCapturedStderr());
    expect_same_color(setup.computed(), c);
    EXPECT_EQ(2u, setup.connections.calls.size());
}

TEST_F(HostBinding, ModuleWithoutTheOperationReportsEveryFailedLookup) {
    void* other = other_module();
    ASSERT_NE(nullptr, other);
    ConnectedSetup setup;
    library().set_module_handle(other);
    ::testing::internal::CaptureStderr();
    const Color c = setup.shade_once();
    // The failed lookup is made, and reported, again for the second parameter.
    EXPECT_EQ(lookup_failure(other, kLookupError) + lookup_failure(other, kLookupError),
              ::testing::internal::GetCapturedStderr());
    expect_same_color(setup.fallback(), c);
    EXPECT_TRUE(setup.connections.calls.empty());

    // Setting the renderer's handle recovers at the next connected parameter.
    library().set_module_handle(standin::renderer_module_handle());
    ::testing::internal::CaptureStderr();
    expect_same_color(setup.computed(), setup.shade_once());
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(2u, setup.connections.calls.size());
}

TEST_F(HostBinding, UnconnectedParametersNeverLookAnythingUp) {
    library().set_module_handle(nullptr);
    standin::ParameterStore store(-64);  // tags present, all 0
    store.params() = typical_params();
    ::testing::internal::CaptureStderr();
    shade(store, {1.0f, 1.0f, 1.0f}, Color{0, 0, 0, 1});
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace shader_test

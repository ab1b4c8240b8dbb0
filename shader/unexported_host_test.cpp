// A host program that does not export mi_phen_eval: with no module handle,
// the lookup in the main program finds nothing, so every connected
// parameter prints both diagnostics, in order, and takes its stored value.
#include "shader/testing/shader_test_support.h"

namespace shader_test {
namespace {

#if defined(_WIN32)
constexpr int kLookupError = 127;  // ERROR_PROC_NOT_FOUND
#else
constexpr int kLookupError = -1;  // dlsym gives no code
#endif

TEST(UnexportedHost, NullHandleAndNothingFoundPrintsBothMessagesPerLookup) {
    library().set_module_handle(nullptr);
    standin::ParameterStore store(-64);
    store.params() = typical_params();
    store.connect(Param::metric);
    store.connect(Param::octaves);
    RecordingConnections connections;
    connections.set(Param::metric, int32_t{3});
    connections.set(Param::octaves, int32_t{4});
    const Vector3 p{2.5f, -0.5f, 7.0f};
    ::testing::internal::CaptureStderr();
    const Color c = shade(store, p, Color{0, 0, 0, 1}, &connections);
    const std::string once = "DYNLOAD: dl_handle null\ndlsym failed on \"mi_phen_eval\" (handle: 00000000 error: " +
                             std::to_string(kLookupError) + ")\n";
    EXPECT_EQ(once + once, ::testing::internal::GetCapturedStderr());
    expect_same_color(expected_color(store.params(), p, Color{0, 0, 0, 1}), c);
    EXPECT_TRUE(connections.calls.empty());
}

}  // namespace
}  // namespace shader_test

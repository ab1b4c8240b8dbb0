// A whole shader call allocates nothing: every C++ allocation in the
// process is counted (this program replaces the global operator new, which
// the loaded library's allocations would go through too).
#include <atomic>
#include <cstdlib>
#include <new>

#include "shader/shader_test_support.h"

static std::atomic<long> allocations{0};

void* operator new(std::size_t size) {
    allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace shader_test {
namespace {

TEST(Allocation, ShaderCallsAllocateNothing) {
    library().set_module_handle(standin::renderer_module_handle());
    standin::ParameterStore store(64);
    store.params() = typical_params();
    store.params().octaves = 5;
    store.connect(Param::gain);
    RecordingConnections connections;
    connections.set(Param::gain, 0.5f);
    connections.calls.reserve(4096);  // the recorder must not allocate either
    standin::ShadingRecord record(store, &connections);
    const auto points = sample_points(200);
    Color c{0, 0, 0, 1};
    record.set_point(1, 2, 3);
    standin::shade(library(), record, store, &c);  // resolves mi_phen_eval first

    const long before = allocations.load();
    for (int32_t metric = 1; metric <= 5; ++metric) {
        store.params().metric = metric;
        for (const Vector3& p : points) {
            record.set_point(p.x, p.y, p.z);
            standin::shade(library(), record, store, &c);
        }
    }
    const long after = allocations.load();
    // The counter itself works.
    static void* volatile sink;
    sink = ::operator new(16);
    ::operator delete(sink);
    const long after_one = allocations.load();
    EXPECT_EQ(before, after);
    EXPECT_EQ(after + 1, after_one);
}

}  // namespace
}  // namespace shader_test

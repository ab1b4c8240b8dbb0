// A whole shader call allocates nothing: every allocation in the process is
// counted, through the C library's allocation functions (this program
// replaces malloc, calloc, realloc and the aligned ones, which the loaded
// library's calls would go through too) and every form of operator new.
#include <atomic>
#include <cstdlib>
#include <new>

#include "shader/testing/shader_test_support.h"

static std::atomic<long> allocations{0};

// Sanitizers bring their own allocator: there only operator new is counted.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#    define TULO_COUNT_C_ALLOCATIONS 0
#elif defined(__has_feature)
#    if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#        define TULO_COUNT_C_ALLOCATIONS 0
#    endif
#endif
#if !defined(TULO_COUNT_C_ALLOCATIONS)
#    define TULO_COUNT_C_ALLOCATIONS 1
#endif

#if TULO_COUNT_C_ALLOCATIONS
// glibc's own entry points, which the replacements forward to.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
    *out = memalign(alignment, size);
    return *out != nullptr ? 0 : 12;  // ENOMEM
}
}
#endif

void* operator new(std::size_t size) {
#if !TULO_COUNT_C_ALLOCATIONS
    allocations.fetch_add(1, std::memory_order_relaxed);
#endif
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, std::align_val_t align) {
#if !TULO_COUNT_C_ALLOCATIONS
    allocations.fetch_add(1, std::memory_order_relaxed);
#endif
    void* p = nullptr;
    if (posix_memalign(&p, static_cast<size_t>(align), size == 0 ? 1 : size) == 0) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }

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
    connections.calls.reserve(8192);  // the recorder must not allocate either
    standin::ShadingRecord record(store, &connections);
    const auto points = sample_points(200);
    Color c{0, 0, 0, 1};
    record.set_point(1, 2, 3);
    standin::shade(library(), record, store, &c);  // resolves mi_phen_eval first

    const long before = allocations.load();
    for (int32_t metric = 1; metric <= 5; ++metric) {
        for (const Vector3 w : {Vector3{1.0f, 1.0f, 1.0f}, Vector3{0.3f, 2.0f, 1.0f}, Vector3{0.7f, 1.3f, 2.9f}}) {
            store.params().metric = metric;
            store.params().weights = w;
            for (const Vector3& p : points) {
                record.set_point(p.x, p.y, p.z);
                standin::shade(library(), record, store, &c);
            }
        }
    }
    const long after = allocations.load();
    // The counters themselves work, for each way of allocating.
    static void* volatile sink;
    sink = ::operator new(16);
    ::operator delete(sink);
    sink = ::operator new (64, std::align_val_t{64});
    ::operator delete (sink, std::align_val_t{64});
#if TULO_COUNT_C_ALLOCATIONS
    sink = std::calloc(2, 8);
    sink = std::realloc(sink, 32);
    std::free(sink);
    void* aligned = nullptr;
    EXPECT_EQ(0, posix_memalign(&aligned, 64, 64));
    std::free(aligned);
    constexpr long kCounted = 5;
#else
    constexpr long kCounted = 2;
#endif
    EXPECT_EQ(before, after);
    EXPECT_EQ(after + kCounted, allocations.load());
}

}  // namespace
}  // namespace shader_test

// Late binding of renderer operations: the module handle, the entry-point
// table and the one platform-specific function that looks a symbol up.
#include "shader/host_binding.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <dlfcn.h>
#endif

// Deployment floor: the plugin must load on glibc 2.28 (what many render
// farms run). glibc 2.34 moved dlopen, dlsym and dlerror from libdl into
// libc under the new version GLIBC_2.34, so a plain build on a newer system
// asks for GLIBC_2.34 and an older loader refuses the file. Newer glibc keeps
// the original GLIBC_2.2.5 versions as compatibility symbols for exactly
// this case: binding to them explicitly (and recording libdl.so.2 as needed,
// where older glibc defines them; see CMakeLists.txt) gives one file that
// loads on both. The versions are the x86-64 base version of glibc.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver dlopen,dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
__asm__(".symver dlerror,dlerror@GLIBC_2.2.5");
#endif

namespace tulo {
namespace binding {
namespace {

// The renderer's module handle; null until miSetModuleHandle. Atomic only so
// that concurrent readers are well defined; writers rely on the renderer not
// shading while it sets the handle.
std::atomic<void*> dl_handle{nullptr};

// Resolved renderer operations, null until first use after each handle.
// Several threads may resolve a slot at once; each stores the same address,
// so every slot is read and written as a whole pointer.
std::atomic<void*> entry_points[kEntryPointSlots] = {};

constexpr const char* kPhenEvalName = "mi_phen_eval";

// mi_phen_eval(state, parameter address) -> address of the parameter's
// value. The renderer's own declaration names its state type; untyped
// pointers are what the two sides share.
using PhenEvalFn = void* (*)(void*, void*);

struct LookupResult {
    void* address;  // null when the symbol was not found
    int error;      // the platform's error code of a failed lookup
};

// Looks `name` up in `module`. This is the only platform-specific code of
// the binding.
LookupResult lookup_symbol(void* module, const char* name) {
#if defined(_WIN32)
    const FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    if (proc == nullptr) return {nullptr, static_cast<int>(GetLastError())};
    void* address;
    static_assert(sizeof(address) == sizeof(proc), "function and data pointers differ in size");
    std::memcpy(&address, &proc, sizeof(address));
    return {address, 0};
#else
    // A null handle means the main program, as GetProcAddress takes it on
    // Windows (dlsym would take null as RTLD_DEFAULT instead).
    if (module == nullptr) {
        static void* const program = dlopen(nullptr, RTLD_LAZY);
        module = program;
    }
    dlerror();  // clear any stale error state of this thread
    void* address = dlsym(module, name);
    return {address, address != nullptr ? 0 : kNoErrorCode};
#endif
}

// The low 32 bits of a handle, as the lookup diagnostic prints it.
unsigned low_bits(void* handle) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu);
}

// Resolves slot kPhenEvalSlot from the current handle, reporting on standard
// error, and returns the slot's content afterwards (which another thread may
// have filled meanwhile).
void* resolve_phen_eval() {
    void* handle = dl_handle.load(std::memory_order_relaxed);
    if (handle == nullptr) std::fputs("DYNLOAD: dl_handle null\n", stderr);
    const LookupResult found = lookup_symbol(handle, kPhenEvalName);
    entry_points[kPhenEvalSlot].store(found.address, std::memory_order_release);
    if (found.address == nullptr) {
        std::fprintf(stderr, "dlsym failed on \"%s\" (handle: %08x error: %d)\n", kPhenEvalName, low_bits(handle),
                     found.error);
    }
    return entry_points[kPhenEvalSlot].load(std::memory_order_acquire);
}

}  // namespace

void set_module_handle(void* handle) {
    dl_handle.store(handle, std::memory_order_relaxed);
    for (auto& slot : entry_points) slot.store(nullptr, std::memory_order_relaxed);
}

const void* call_phen_eval(ShadingState* state, const void* address) {
    void* fn = entry_points[kPhenEvalSlot].load(std::memory_order_acquire);
    if (fn == nullptr) fn = resolve_phen_eval();
    if (fn == nullptr) return nullptr;  // never call through an empty slot
    PhenEvalFn phen_eval;
    static_assert(sizeof(phen_eval) == sizeof(fn), "function and data pointers differ in size");
    std::memcpy(&phen_eval, &fn, sizeof(phen_eval));
    return phen_eval(static_cast<void*>(state), const_cast<void*>(address));
}

}  // namespace binding
}  // namespace tulo

// Choice of the search kernel; see kernels.h.
#include "cellular/kernels.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace tulo {
namespace detail {
namespace {

// What each instruction set needs of the CPU. libgcc's CPU model also
// checks that the OS saves the wide registers.
bool always() { return true; }
#if defined(TULO_WIDE_KERNELS)
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
}
#endif

// Every kernel this build has, widest first: its instruction set (named by
// isa_name), what it needs of the CPU, and its searches (none for the
// portable kernel, whose search is the sequential one).
struct KernelEntry {
    Isa isa;
    bool (*supported)();
    WideKernels kernels;
};

constexpr KernelEntry kKernels[] = {
#if defined(TULO_WIDE_KERNELS)
    {Isa::avx512, has_avx512, {&nearest_two_searches_avx512, power_bounds_avx512, nearest_two_batch_avx512}},
    {Isa::avx2, has_avx2, {&nearest_two_searches_avx2, power_bounds_avx2, nearest_two_batch_avx2}},
#endif
    {Isa::sse2, always, {nullptr, nullptr, nullptr}},
};

const KernelEntry* entry(Isa isa) {
    for (const KernelEntry& k : kKernels) {
        if (k.isa == isa) return &k;
    }
    return nullptr;  // not built
}

// The kernel in use: null until chosen. (A pointer to its entry, so that
// every search finds its functions with one load.)
std::atomic<const KernelEntry*> chosen{nullptr};

bool same_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

// The cap from TULO_CELLULAR_MAX_ISA (any letter case), or the widest when
// it is unset. An unknown value is named once on standard error and ignored.
Isa environment_cap() {
    const char* value = std::getenv("TULO_CELLULAR_MAX_ISA");
    if (value == nullptr) return Isa::avx512;
    for (Isa isa : {Isa::sse2, Isa::avx2, Isa::avx512}) {
        if (same_ignoring_case(value, isa_name(isa))) return isa;
    }
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        std::fprintf(stderr, "TULO_CELLULAR_MAX_ISA=%s is not one of sse2, avx2, avx512: ignored\n", value);
    }
    return Isa::avx512;
}

}  // namespace

Isa choose_kernel_isa() {
    const Isa cap = environment_cap();
    for (const KernelEntry& k : kKernels) {
        if (static_cast<int32_t>(k.isa) <= static_cast<int32_t>(cap) && k.supported()) return k.isa;
    }
    return Isa::sse2;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::sse2: return "sse2";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
    }
    return "?";
}

bool kernel_available(Isa isa) {
    const KernelEntry* k = entry(isa);
    return k != nullptr && k->supported();
}

namespace {

// The entry of the kernel in use, chosen on first use.
const KernelEntry& chosen_entry() {
    const KernelEntry* k = chosen.load(std::memory_order_relaxed);
    if (k == nullptr) {
        k = entry(choose_kernel_isa());
        chosen.store(k, std::memory_order_relaxed);
    }
    return *k;
}

}  // namespace

Isa kernel_isa() { return chosen_entry().isa; }

const WideKernels& kernels() { return chosen_entry().kernels; }

bool use_kernel_isa(Isa isa) {
    if (!kernel_available(isa)) return false;
    chosen.store(entry(isa), std::memory_order_relaxed);
    return true;
}

}  // namespace detail
}  // namespace tulo

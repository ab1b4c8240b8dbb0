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
    {Isa::portable, always, {nullptr, nullptr, nullptr}},
};

const KernelEntry* entry(Isa isa) {
    for (const KernelEntry& k : kKernels) {
        if (k.isa == isa) return &k;
    }
    return nullptr;  // not built
}

bool same_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

// The cap a value of TULO_CELLULAR_MAX_ISA names (any letter case), or the
// widest when it is unset. An unknown value is named once on standard error
// and ignored.
Isa cap_of(const char* value) {
    if (value == nullptr) return Isa::avx512;
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (same_ignoring_case(value, isa_name(isa))) return isa;
    }
#if defined(__x86_64__) || defined(_M_X64)
    if (same_ignoring_case(value, "sse2")) return Isa::portable;  // the portable kernel is SSE2 here
#endif
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        std::fprintf(stderr, "TULO_CELLULAR_MAX_ISA=%s is not one of portable, avx2, avx512: ignored\n", value);
    }
    return Isa::avx512;
}

// The kernel in use, as a pointer to its entry so that every search finds
// its functions with one load. Chosen when the library is loaded, by
// kChosenAtLoad below, which runs before any caller's code; until then (in
// another library's constructor) the first use chooses.
std::atomic<const KernelEntry*> chosen{nullptr};

}  // namespace

Isa choose_kernel_isa(const char* cap_value) {
    const Isa cap = cap_of(cap_value);
    for (const KernelEntry& k : kKernels) {
        if (static_cast<int32_t>(k.isa) <= static_cast<int32_t>(cap) && k.supported()) return k.isa;
    }
    return Isa::portable;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::portable: return "portable";
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

const KernelEntry& chosen_entry() {
    const KernelEntry* k = chosen.load(std::memory_order_relaxed);
    if (k == nullptr) {
        k = entry(choose_kernel_isa(std::getenv("TULO_CELLULAR_MAX_ISA")));
        chosen.store(k, std::memory_order_relaxed);
    }
    return *k;
}

// Reads the environment once, at load, before any of the caller's threads
// can ask (getenv would race a setenv on another thread).
const struct ChooseAtLoad {
    ChooseAtLoad() { chosen_entry(); }
} kChosenAtLoad;

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

// The one list of kernels and the choice among them; see kernel.h. Compiled
// for the baseline instruction set: the tests of the CPU run on any CPU.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "cellular/kernels/kernel.h"

namespace tulo {
namespace kernels {
namespace {

// What each instruction set needs of the CPU. libgcc's CPU model also
// checks that the OS saves the wide registers.
bool always() { return true; }
#if defined(TULO_KERNEL_AVX2)
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif
#if defined(TULO_KERNEL_AVX512)
bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
}
#endif

// A kernel of this build: its entry, what it needs of the CPU, and its rank
// for the cap (a cap admits the kernels of its rank and below).
struct Listed {
    const Kernel* entry;
    bool (*supported)();
    int rank;
};

// Every kernel this build has, widest first. The build defines
// TULO_KERNEL_<TARGET> for each kernel it compiles (CMakeLists.txt).
constexpr Listed kKernels[] = {
#if defined(TULO_KERNEL_AVX512)
    {&avx512::kKernel, has_avx512, 2},
#endif
#if defined(TULO_KERNEL_AVX2)
    {&avx2::kKernel, has_avx2, 1},
#endif
#if defined(TULO_KERNEL_NEON)
    {&neon::kKernel, always, 1},  // Advanced SIMD is part of every aarch64 CPU
#endif
    {&portable::kKernel, always, 0},
};
constexpr int kWidestRank = 2;

const Listed* listed(Isa isa) {
    for (const Listed& k : kKernels) {
        if (k.entry->isa == isa) return &k;
    }
    return nullptr;  // not built
}

bool same_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

// The rank a value of TULO_CELLULAR_MAX_ISA names (any letter case), or the
// widest when it is unset. An unknown value is named once on standard error
// and ignored.
int cap_rank(const char* value) {
    if (value == nullptr) return kWidestRank;
    struct Name {
        const char* name;
        int rank;
    };
    static constexpr Name kNames[] = {{"portable", 0}, {"avx2", 1}, {"neon", 1}, {"avx512", 2}};
    for (const Name& n : kNames) {
        if (same_ignoring_case(value, n.name)) return n.rank;
    }
#if defined(__x86_64__) || defined(_M_X64)
    if (same_ignoring_case(value, "sse2")) return 0;  // the portable kernel is SSE2 here
#endif
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        std::fprintf(stderr, "TULO_CELLULAR_MAX_ISA=%s is not one of portable, avx2, avx512, neon: ignored\n", value);
    }
    return kWidestRank;
}

}  // namespace

// Chosen when the library is loaded, by kChosenAtLoad below, which runs
// before any caller's code; until then (in another library's constructor)
// the first use chooses.
std::atomic<const Kernel*> chosen_kernel{nullptr};

Isa choose_kernel_isa(const char* cap) {
    const int rank = cap_rank(cap);
    for (const Listed& k : kKernels) {
        if (k.rank <= rank && k.supported()) return k.entry->isa;
    }
    return Isa::portable;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::neon: return "neon";
    }
    return "?";
}

bool kernel_available(Isa isa) {
    const Listed* k = listed(isa);
    return k != nullptr && k->supported();
}

const Kernel& choose_kernel() {
    const Kernel* k = listed(choose_kernel_isa(std::getenv("TULO_CELLULAR_MAX_ISA")))->entry;
    chosen_kernel.store(k, std::memory_order_relaxed);
    return *k;
}

Isa kernel_isa() { return kernel().isa; }

bool use_kernel_isa(Isa isa) {
    if (!kernel_available(isa)) return false;
    chosen_kernel.store(listed(isa)->entry, std::memory_order_relaxed);
    return true;
}

namespace {
// Reads the environment once, at load, before any of the caller's threads
// can ask (getenv would race a setenv on another thread).
const struct ChooseAtLoad {
    ChooseAtLoad() { kernel(); }
} kChosenAtLoad;
}  // namespace

}  // namespace kernels
}  // namespace tulo

// Choice of the search kernel; see kernels.h.
#include "cellular/kernels.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tulo {
namespace detail {
namespace {

// -1 until chosen; then an Isa.
std::atomic<int32_t> chosen{-1};

bool cpu_has(Isa isa) {
#if defined(TULO_WIDE_KERNELS)
    // libgcc's CPU model also checks that the OS saves the wide registers.
    __builtin_cpu_init();
    switch (isa) {
        case Isa::sse2: return true;
        case Isa::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("fma");
    }
    return false;
#else
    return isa == Isa::sse2;
#endif
}

// The cap from TULO_CELLULAR_MAX_ISA, or the widest when unset or unknown.
Isa environment_cap() {
    const char* value = std::getenv("TULO_CELLULAR_MAX_ISA");
    if (value != nullptr) {
        if (std::strcmp(value, "sse2") == 0) return Isa::sse2;
        if (std::strcmp(value, "avx2") == 0) return Isa::avx2;
    }
    return Isa::avx512;
}

Isa choose() {
    const Isa cap = environment_cap();
    for (Isa isa : {Isa::avx512, Isa::avx2}) {
        if (static_cast<int32_t>(isa) <= static_cast<int32_t>(cap) && kernel_available(isa)) return isa;
    }
    return Isa::sse2;
}

}  // namespace

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::sse2: return "sse2";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
    }
    return "?";
}

bool kernel_available(Isa isa) { return cpu_has(isa); }

Isa kernel_isa() {
    int32_t isa = chosen.load(std::memory_order_relaxed);
    if (isa < 0) {
        isa = static_cast<int32_t>(choose());
        chosen.store(isa, std::memory_order_relaxed);
    }
    return static_cast<Isa>(isa);
}

WideKernels kernels() {
#if defined(TULO_WIDE_KERNELS)
    switch (kernel_isa()) {
        case Isa::avx512: return WideKernels{nearest_two_avx512, power_bounds_avx512, nearest_two_batch_avx512};
        case Isa::avx2: return WideKernels{nearest_two_avx2, power_bounds_avx2, nearest_two_batch_avx2};
        case Isa::sse2: break;
    }
#endif
    return WideKernels{nullptr, nullptr, nullptr};
}

bool use_kernel_isa(Isa isa) {
    if (!kernel_available(isa)) return false;
    chosen.store(static_cast<int32_t>(isa), std::memory_order_relaxed);
    return true;
}

}  // namespace detail
}  // namespace tulo

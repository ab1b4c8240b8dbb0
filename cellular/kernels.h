// Choice of the search kernel at run time. One library binary serves every
// x86-64 CPU: the portable kernel (SSE2, part of x86-64) always, the AVX2+FMA
// and AVX-512 kernels where the CPU and the operating system support them.
// Every kernel gives the same bits; they differ only in speed.
//
// The choice is made once, when the library is loaded (before any thread of
// the caller's can ask), from CPUID, capped by the environment variable
// TULO_CELLULAR_MAX_ISA as it is at that moment (portable, avx2 or avx512,
// in any letter case; sse2 names the portable kernel on x86-64, where it is
// SSE2; another value is named in one line on standard error and ignored),
// and stays fixed.
#pragma once

#include "cellular/wide_search.h"

namespace tulo {
namespace detail {

enum class Isa : int32_t { portable = 0, avx2 = 1, avx512 = 2 };

const char* isa_name(Isa isa);

// Whether this build has the kernel and this CPU (and OS) can run it.
bool kernel_available(Isa isa);

// The kernel in use.
Isa kernel_isa();

// The choice the library makes at load: the widest kernel this CPU can run,
// capped by `cap` (TULO_CELLULAR_MAX_ISA's value, null when it is unset).
// Not kept.
Isa choose_kernel_isa(const char* cap);

// The wide searches of the kernel in use; null for the portable kernel.
struct WideKernels {
    const NearestTwoSearches* nearest_two;
    PowerBoundsKernel power_bounds;
    NearestTwoBatchKernel nearest_two_batch;
};
const WideKernels& kernels();

// Uses `isa` from now on, for tests and benchmarks that compare kernels;
// false, and nothing changed, when it is not available. Not to be called
// while searches run on other threads.
bool use_kernel_isa(Isa isa);

}  // namespace detail
}  // namespace tulo

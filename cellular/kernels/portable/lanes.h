// The portable kernel's lanes: SSE2 where the compiler offers it (every
// x86-64 CPU, and WebAssembly through its SSE2 translation), plain C++
// elsewhere. Four lanes either way, the same bits either way.
#pragma once

#if defined(TULO_KERNEL_TARGET)
#    error "one kernel's lanes per translation unit"
#endif
#define TULO_KERNEL_TARGET portable

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#    include "cellular/kernels/portable/lanes_sse2.h"
#else
#    include "cellular/kernels/portable/lanes_scalar.h"
#endif

// The generic searches are compiled once per target, inside that target's
// kernel.cpp, which names the target first:
//
//   #define TULO_KERNEL_TARGET avx2
//
// Every generic header then opens
//   namespace tulo::kernels::TULO_KERNEL_TARGET { namespace { ... } }
// so that each function has its target's name in a profile or a symbol
// listing, and internal linkage (docs/search.md, invariant 16).
#pragma once

#if !defined(TULO_KERNEL_TARGET)
#    error "the generic searches are compiled in a kernel's kernel.cpp, which defines TULO_KERNEL_TARGET"
#endif

// For the searches' functions and lambdas that must be inlined: a lambda
// sharing a search's state by reference, or a function taking it by
// pointer, left out of line takes that state through memory on every call.
#if defined(__GNUC__) || defined(__clang__)
#    define TULO_ALWAYS_INLINE __attribute__((always_inline))
#else
#    define TULO_ALWAYS_INLINE
#endif

// An empty statement the optimiser cannot see through: the value's register
// (TULO_OPAQUE) or the memory behind a pointer (TULO_OPAQUE_MEMORY) is
// taken as changed, so that the code around it is not rearranged.
#if defined(__GNUC__) || defined(__clang__)
#    define TULO_OPAQUE(value) __asm__("" : "+r"(value))
#    define TULO_OPAQUE_MEMORY(pointer) __asm__ volatile("" : : "r"(pointer) : "memory")
#else
#    define TULO_OPAQUE(value) static_cast<void>(0)
#    define TULO_OPAQUE_MEMORY(pointer) static_cast<void>(0)
#endif

// The default floating-point environment for the shader's arithmetic,
// whatever mode the calling thread runs in.
//
// The texture's bits are those of IEEE single precision in the default
// environment: round to nearest, subnormal numbers kept (no flush-to-zero,
// no denormals-are-zero) and every exception masked, so that nothing traps.
// Renderers often run their threads otherwise: flush-to-zero with
// denormals-are-zero for speed, another rounding mode, or unmasked traps to
// catch a NaN where it is made. A DefaultFloatEnvironment reads the thread's
// control state when it is made; only when that differs from the default does
// it install the default, and when it goes it puts the caller's whole state
// back, status flags included (the flags the shader raised meanwhile are
// dropped). In the default environment it costs one read of the control
// register and a branch that always goes the same way, and the shader's
// arithmetic raises status flags as any float code does.
//
// The state is the calling thread's own: nothing is shared, locked or
// allocated. The platform's powf, called inside, runs in the default
// environment too.
//
// Compilers do not order plain register arithmetic against a change of the
// floating-point mode (Clang moves an inlined multiply past the restore), but
// they keep a call that reads and writes memory on its side of it. So the
// work a guard covers must be such a call, and one the compiler cannot look
// into even with link-time optimisation: a function declared
// TULO_GUARDED_WORK (not inlined, and for GCC no interprocedural analysis),
// as shade_sample is in the entry point.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#    define TULO_FENV_MXCSR 1
#    include <xmmintrin.h>
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#    define TULO_FENV_AARCH64 1
#else
#    define TULO_FENV_PORTABLE 1
#    include <cfenv>
#endif

#if defined(__GNUC__) && !defined(__clang__)
#    define TULO_GUARDED_WORK __attribute__((noinline, noipa))
#elif defined(__clang__)
#    define TULO_GUARDED_WORK __attribute__((noinline))
#elif defined(_MSC_VER)
#    define TULO_GUARDED_WORK __declspec(noinline)
#else
#    define TULO_GUARDED_WORK
#endif

namespace tulo {

// The thread's floating-point control state, as read by read_float_state().
// Reading it early lets the read's latency pass while other work goes on;
// the guard then decides from it.
struct FloatState {
#if TULO_FENV_MXCSR
    unsigned csr;
#elif TULO_FENV_AARCH64
    uint64_t fpcr;
#endif
};

FloatState read_float_state() noexcept;

class DefaultFloatEnvironment {
public:
    DefaultFloatEnvironment() noexcept : DefaultFloatEnvironment(read_float_state()) {}
    // From a state read earlier on this thread, with no change of mode since.
    explicit DefaultFloatEnvironment(const FloatState& state) noexcept;
    ~DefaultFloatEnvironment();
    DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
    DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

private:
    bool replaced_ = false;
#if TULO_FENV_MXCSR
    unsigned saved_ = 0;
#elif TULO_FENV_AARCH64
    uint64_t saved_fpcr_ = 0;
    uint64_t saved_fpsr_ = 0;
#else
    std::fenv_t saved_{};
#endif
};

namespace detail {
// AArch64's FPCR. Bits known to change no single-precision result and trap
// nothing: Len (16-18) and Stride (20-21), which only AArch32 reads, and AHP
// (26), the half-precision format. Every other bit counts as control,
// including those defined since the first version (FEAT_AFP's FIZ, AH and
// NEP at bits 0-2) and those later versions will define: the shader computes
// with all of them clear, the default. (Defined on every platform so that
// the rule can be tested anywhere.)
constexpr uint64_t kFpcrKept = (7u << 16) | (3u << 20) | (1u << 26);
constexpr bool fpcr_is_default(uint64_t fpcr) { return (fpcr & ~kFpcrKept) == 0; }
constexpr uint64_t default_fpcr(uint64_t fpcr) { return fpcr & kFpcrKept; }
}  // namespace detail

#if TULO_FENV_MXCSR

namespace detail {
// MXCSR: bits 0-5 are the sticky status flags; the rest is control: bit 6
// denormals-are-zero, bits 7-12 the exception masks, bits 13-14 the rounding
// mode, bit 15 flush-to-zero.
constexpr unsigned kMxcsrStatusFlags = 0x003Fu;
constexpr unsigned kMxcsrControl = 0xFFC0u;
// All six exceptions masked, round to nearest, no FTZ, no DAZ.
constexpr unsigned kMxcsrDefaultControl = 0x1F80u;
}  // namespace detail

inline FloatState read_float_state() noexcept { return FloatState{_mm_getcsr()}; }

inline DefaultFloatEnvironment::DefaultFloatEnvironment(const FloatState& state) noexcept {
    const unsigned csr = state.csr;
    if ((csr & detail::kMxcsrControl) != detail::kMxcsrDefaultControl) {
        saved_ = csr;
        replaced_ = true;
        _mm_setcsr(detail::kMxcsrDefaultControl | (csr & detail::kMxcsrStatusFlags));
    }
}

inline DefaultFloatEnvironment::~DefaultFloatEnvironment() {
    if (replaced_) _mm_setcsr(saved_);
}

#elif TULO_FENV_AARCH64

namespace detail {
inline uint64_t read_fpcr() {
    uint64_t v;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(v) : : "memory");
    return v;
}
inline void write_fpcr(uint64_t v) { __asm__ __volatile__("msr fpcr, %0" : : "r"(v) : "memory"); }
inline uint64_t read_fpsr() {
    uint64_t v;
    __asm__ __volatile__("mrs %0, fpsr" : "=r"(v) : : "memory");
    return v;
}
inline void write_fpsr(uint64_t v) { __asm__ __volatile__("msr fpsr, %0" : : "r"(v) : "memory"); }
}  // namespace detail

inline FloatState read_float_state() noexcept { return FloatState{detail::read_fpcr()}; }

inline DefaultFloatEnvironment::DefaultFloatEnvironment(const FloatState& state) noexcept {
    const uint64_t fpcr = state.fpcr;
    if (!detail::fpcr_is_default(fpcr)) {
        saved_fpcr_ = fpcr;
        saved_fpsr_ = detail::read_fpsr();
        replaced_ = true;
        detail::write_fpcr(detail::default_fpcr(fpcr));
    }
}

inline DefaultFloatEnvironment::~DefaultFloatEnvironment() {
    if (replaced_) {
        detail::write_fpcr(saved_fpcr_);
        detail::write_fpsr(saved_fpsr_);
    }
}

#else

// Elsewhere only what <cfenv> offers: the whole environment is saved, the
// exceptions are held (masked, flags cleared) and rounding set to nearest.
// Flush-to-zero controls of other architectures are not reached this way.
inline FloatState read_float_state() noexcept { return FloatState{}; }

inline DefaultFloatEnvironment::DefaultFloatEnvironment(const FloatState&) noexcept {
    replaced_ = std::feholdexcept(&saved_) == 0;
    if (replaced_) std::fesetround(FE_TONEAREST);
}

inline DefaultFloatEnvironment::~DefaultFloatEnvironment() {
    if (replaced_) std::fesetenv(&saved_);
}

#endif

}  // namespace tulo

// The scalar float functions the search kernels use, as compiler builtins
// with internal linkage. The inline overloads of <cmath> (std::floor(float),
// std::isfinite(float), ...) are emitted as weak functions where the
// compiler does not inline them (unoptimised builds): a translation unit
// compiled for AVX-512 would then offer the linker a copy made of AVX-512
// instructions under the same name as the baseline copy, and whichever the
// linker keeps serves every caller. Builtins are inlined or call the C
// library's own (strong, baseline) functions, and these wrappers are local
// to each translation unit. Compilers without the builtins (MSVC) never
// build the wide kernels and use <cmath>.
#pragma once

#include <cmath>

namespace tulo {
namespace detail {
namespace {

#if defined(__GNUC__) || defined(__clang__)
inline float floor_f(float v) { return __builtin_floorf(v); }
inline float ceil_f(float v) { return __builtin_ceilf(v); }
inline float fabs_f(float v) { return __builtin_fabsf(v); }
inline bool isfinite_f(float v) { return __builtin_isfinite(v); }
inline float sqrt_f(float v) { return __builtin_sqrtf(v); }
#else
inline float floor_f(float v) { return std::floor(v); }
inline float ceil_f(float v) { return std::ceil(v); }
inline float fabs_f(float v) { return std::fabs(v); }
inline bool isfinite_f(float v) { return std::isfinite(v); }
inline float sqrt_f(float v) { return std::sqrt(v); }
#endif

}  // namespace
}  // namespace detail
}  // namespace tulo

// Preconditions of the library's functions (N >= 1, a metric number in
// range): checked in builds configured with TULO_CHECK_PRECONDITIONS=ON, as
// the sanitizer presets are, where a violation prints the condition and
// aborts; free in release builds, whose per-sample path pays nothing for them.
#pragma once

namespace tulo {
namespace detail {
[[noreturn]] void precondition_failed(const char* condition, const char* file, int line);
}  // namespace detail
}  // namespace tulo

#if defined(TULO_CHECK_PRECONDITIONS)
#    define TULO_PRECONDITION(condition) \
        ((condition) ? static_cast<void>(0) : ::tulo::detail::precondition_failed(#condition, __FILE__, __LINE__))
#else
#    define TULO_PRECONDITION(condition) static_cast<void>(0)
#endif

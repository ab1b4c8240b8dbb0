// Plain forms of the metrics and the process-wide metric objects.
#include "cellular/dist_type.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "cellular/precondition.h"

namespace tulo {

// std::pow on float arguments is the single-precision powf.
static_assert(std::is_same<decltype(std::pow(1.0f, 1.0f)), float>::value,
              "std::pow(float, float) must stay in single precision");

float Euclidian::Distance(const Vector3& d) const { return (d.x * d.x + d.y * d.y) + d.z * d.z; }

float Manhattan::Distance(const Vector3& d) const { return (std::fabs(d.x) + std::fabs(d.y)) + std::fabs(d.z); }

float Chessboard::Distance(const Vector3& d) const {
    return detail::max3(std::fabs(d.x), std::fabs(d.y), std::fabs(d.z));
}

float Minkowski::Distance(const Vector3& d) const {
    return std::pow(
        (std::pow(std::fabs(d.x), exponent) + std::pow(std::fabs(d.y), exponent)) + std::pow(std::fabs(d.z), exponent),
        outer_exponent);
}

float Superquadratic::Distance(const Vector3& d) const {
    return (std::pow(std::fabs(d.x), 2.0f) + std::pow(std::fabs(d.y), 2.0f)) + std::pow(std::fabs(d.z), 2.0f);
}

// constexpr forces constant initialisation: the objects (vtable pointer and
// Minkowski's two constants) are laid down when the library is loaded, so no
// thread can ever see one half-built and no guard is needed on the hot path.
constexpr Euclidian euclidian{};
constexpr Manhattan manhattan{};
constexpr Chessboard chessboard{};
constexpr Minkowski minkowski{};
constexpr Superquadratic superquadratic{};

const DistType& metric_by_number(int32_t m) {
    if (m < kFirstMetric || m > kLastMetric) {
        throw std::invalid_argument("metric_by_number: the metric number must lie in 1..5, got " + std::to_string(m));
    }
    return detail::clamped_metric(m);
}

namespace {

// The object, as one whose members the optimiser cannot see: where it can,
// and the C library's powf is taken to touch no errno (WebAssembly), LLVM
// turns powf(x, 0.5f) with a known exponent into sqrtf(x), which differs
// from powf in the last bit wherever powf is not correctly rounded.
template <class T>
const T& opaque(const T& object) {
    const T* p = &object;
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(p));
#endif
    return *p;
}

}  // namespace

float detail::minkowski_distance(const Vector3& d, const Vector3& w) { return opaque(minkowski).Distance(d, w); }

float detail::superquadratic_distance(const Vector3& d, const Vector3& w) {
    return opaque(superquadratic).Distance(d, w);
}

const DistType& detail::clamped_metric(int32_t m) noexcept {
    if (m <= 1) return euclidian;
    switch (m) {
        case 2: return manhattan;
        case 3: return chessboard;
        case 4: return minkowski;
        default: return superquadratic;
    }
}

namespace detail {

void precondition_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: precondition failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace detail
}  // namespace tulo

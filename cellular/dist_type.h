// Distance metrics of the cellular basis.
//
// Contract
// - Each metric maps an offset d (and, in the weighted form, a weights vector
//   w) to one single-precision float. Only the weighted form (slot 0) is used
//   by the basis function; the plain form (slot 1) completes the interface.
// - Units: Euclidian and Superquadratic values are squared lengths (no square
//   root is taken here), Manhattan and Chessboard are lengths, and Minkowski is
//   a squared sum of square roots. The basis function takes the square root of
//   whatever a metric returns.
// - The weights play three roles: per-axis factors (Euclidian, Manhattan,
//   Chessboard), per-axis exponents (Superquadratic) and a vector subtracted
//   from the offset (Minkowski). With weights (1, 1, 1) the weighted form of
//   the first three equals their plain form.
// - Every formula is evaluated in single precision with each operation rounded
//   on its own; three-term sums are formed as (x term + y term) + z term.
// - No input is rejected. NaN and infinities follow IEEE arithmetic, powf and
//   the max rule max(a, b) = (a > b ? a : b), which yields b when either is NaN:
//   Chessboard passes over a NaN x or y term but returns NaN for a NaN z term.
// - Minkowski and Superquadratic call the platform's powf; their last bits
//   follow that function.
//
// The five metrics are process-wide, constant-initialised objects: they exist
// before any code of the library runs, are never destroyed and never change,
// so any number of threads may use them from the first call on.
#pragma once

#include <cmath>
#include <cstdint>

// The installed headers name each other relative to their own folder, so
// that they resolve whatever include path a user gives.
#include "vector3.h"

namespace tulo {

// Abstract metric. The two operations are the object's only virtual slots, in
// this order: slot 0 the weighted form, slot 1 the plain form. There is no
// virtual destructor: metric objects are never destroyed.
struct DistType {
    virtual float Distance(const Vector3& d, const Vector3& w) const = 0;
    virtual float Distance(const Vector3& d) const = 0;

protected:
    constexpr DistType() = default;
    ~DistType() = default;
};

namespace detail {

// max(a, b) = a when a > b, otherwise b (so b when either is NaN).
inline float max2(float a, float b) { return a > b ? a : b; }
inline float max3(float a, float b, float c) { return max2(a, max2(b, c)); }

}  // namespace detail

// The weighted forms are defined inline so that the basis function can call
// them directly (without a virtual call) once it knows the metric's type.

// Squared Euclidean length; the weights scale each squared component.
struct Euclidian final : DistType {
    constexpr Euclidian() = default;
    float Distance(const Vector3& d, const Vector3& w) const override {
        return ((d.x * w.x) * d.x + (d.y * w.y) * d.y) + (d.z * w.z) * d.z;
    }
    float Distance(const Vector3& d) const override;
};

// Sum of absolute components; the weights scale each component.
struct Manhattan final : DistType {
    constexpr Manhattan() = default;
    float Distance(const Vector3& d, const Vector3& w) const override {
        return (std::fabs(d.x * w.x) + std::fabs(d.y * w.y)) + std::fabs(d.z * w.z);
    }
    float Distance(const Vector3& d) const override;
};

// Largest absolute component; the weights scale each component.
struct Chessboard final : DistType {
    constexpr Chessboard() = default;
    float Distance(const Vector3& d, const Vector3& w) const override {
        return detail::max3(std::fabs(d.x * w.x), std::fabs(d.y * w.y), std::fabs(d.z * w.z));
    }
    float Distance(const Vector3& d) const override;
};

// (|x|^p + |y|^p + |z|^p)^q with p = 0.5 and q = 1/p = 2; the weighted form
// measures d - w instead of d.
struct Minkowski final : DistType {
    constexpr Minkowski() = default;
    float Distance(const Vector3& d, const Vector3& w) const override {
        return std::pow((std::pow(std::fabs(d.x - w.x), exponent) + std::pow(std::fabs(d.y - w.y), exponent)) +
                            std::pow(std::fabs(d.z - w.z), exponent),
                        outer_exponent);
    }
    float Distance(const Vector3& d) const override;

    const float exponent = 0.5f;        // p
    const float outer_exponent = 2.0f;  // q, the reciprocal of p
};

// |x|^wx + |y|^wy + |z|^wz: the weights are per-axis exponents. The plain
// form squares through powf with exponent 2, not by multiplication.
struct Superquadratic final : DistType {
    constexpr Superquadratic() = default;
    float Distance(const Vector3& d, const Vector3& w) const override {
        return (std::pow(std::fabs(d.x), w.x) + std::pow(std::fabs(d.y), w.y)) + std::pow(std::fabs(d.z), w.z);
    }
    float Distance(const Vector3& d) const override;
};

// The process-wide metric objects.
extern const Euclidian euclidian;
extern const Manhattan manhattan;
extern const Chessboard chessboard;
extern const Minkowski minkowski;
extern const Superquadratic superquadratic;

// First and last metric numbers: 1 Euclidian, 2 Manhattan, 3 Chessboard,
// 4 Minkowski, 5 Superquadratic.
constexpr int32_t kFirstMetric = 1;
constexpr int32_t kLastMetric = 5;

// The metric object numbered m; a number outside [kFirstMetric, kLastMetric]
// throws std::invalid_argument.
const DistType& metric_by_number(int32_t m);

namespace detail {
// The values of Minkowski and Superquadratic, compiled for the baseline
// instruction set: the search kernels measure their candidates through
// these, never through inline copies of their own.
float minkowski_distance(const Vector3& d, const Vector3& w);
float superquadratic_distance(const Vector3& d, const Vector3& w);

// The metric numbered m clamped to [kFirstMetric, kLastMetric], as the plugin
// takes its metric parameter; never throws.
const DistType& clamped_metric(int32_t m) noexcept;
}  // namespace detail

}  // namespace tulo

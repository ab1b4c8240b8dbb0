// Tests of the distance metrics: the listed values, the summation order, the
// absence of fused multiply-adds and the NaN and infinity rules.
#include "cellular/dist_type.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "cellular/testing/float_bits.h"

namespace tulo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using tulo_test::bits;

TEST(Metrics, PlainFormsOfKnownOffsets) {
    const Vector3 d{3.0f, 4.0f, 0.0f};
    EXPECT_BITS_EQ(25.0f, euclidian.Distance(d));
    EXPECT_BITS_EQ(7.0f, manhattan.Distance(d));
    EXPECT_BITS_EQ(4.0f, chessboard.Distance(d));
    EXPECT_BITS_EQ(25.0f, superquadratic.Distance(d));
    EXPECT_BITS_EQ(9.0f, minkowski.Distance(Vector3{1.0f, 1.0f, 1.0f}));
    EXPECT_BITS_EQ(4.0f, minkowski.Distance(Vector3{4.0f, 0.0f, 0.0f}));
    // Signs do not matter to any plain form.
    const Vector3 n{-3.0f, 4.0f, -0.0f};
    EXPECT_BITS_EQ(25.0f, euclidian.Distance(n));
    EXPECT_BITS_EQ(7.0f, manhattan.Distance(n));
    EXPECT_BITS_EQ(4.0f, chessboard.Distance(n));
}

TEST(Metrics, WeightedFormsOfKnownOffsets) {
    const Vector3 ones{1.0f, 1.0f, 1.0f};
    // Minkowski measures d - w.
    EXPECT_BITS_EQ(0.0f, minkowski.Distance(Vector3{1.0f, 1.0f, 1.0f}, ones));
    EXPECT_BITS_EQ(9.0f, minkowski.Distance(Vector3{2.0f, 0.0f, 2.0f}, ones));
    EXPECT_BITS_EQ(2.0f, chessboard.Distance(Vector3{1.0f, 1.5f, 0.0f}, Vector3{2.0f, 1.0f, 1.0f}));
    // Factors on the components: (2*3)*3 + (0.5*4)*4 + (3*-1)*-1 = 18 + 8 + 3.
    EXPECT_BITS_EQ(29.0f, euclidian.Distance(Vector3{3.0f, 4.0f, -1.0f}, Vector3{2.0f, 0.5f, 3.0f}));
    EXPECT_BITS_EQ(11.0f, manhattan.Distance(Vector3{3.0f, 4.0f, -1.0f}, Vector3{2.0f, 0.5f, 3.0f}));
    // Per-axis exponents: 2^3 + 9^0.5 + 4^0 = 8 + 3 + 1.
    EXPECT_BITS_EQ(12.0f, superquadratic.Distance(Vector3{2.0f, -9.0f, 4.0f}, Vector3{3.0f, 0.5f, 0.0f}));
    // A negative Euclidian weight gives a negative value.
    EXPECT_BITS_EQ(-6.0f, euclidian.Distance(Vector3{1.0f, 2.0f, 1.0f}, Vector3{-1.0f, -1.0f, -1.0f}));
}

TEST(Metrics, UnitWeightsMatchPlainForms) {
    const Vector3 ones{1.0f, 1.0f, 1.0f};
    const Vector3 offsets[] = {{0.1f, -0.7f, 0.33f}, {-1.25f, 0.001f, 2.5f}, {1e-20f, 3e10f, -7.0f}};
    for (const Vector3& d : offsets) {
        EXPECT_BITS_EQ(euclidian.Distance(d), euclidian.Distance(d, ones));
        EXPECT_BITS_EQ(manhattan.Distance(d), manhattan.Distance(d, ones));
        EXPECT_BITS_EQ(chessboard.Distance(d), chessboard.Distance(d, ones));
        // Superquadratic with unit exponents is the Manhattan sum.
        EXPECT_BITS_EQ(manhattan.Distance(d), superquadratic.Distance(d, ones));
    }
}

TEST(Metrics, ThreeTermSumsAreFormedLeftToRight) {
    // 1 + 2^-24 rounds back to 1 (a tie, to even) twice; summing the two
    // small terms first would give 1 + 2^-23.
    const float tiny = 0x1p-24f;
    const Vector3 d{1.0f, tiny, tiny};
    EXPECT_BITS_EQ(1.0f, manhattan.Distance(d));
    EXPECT_BITS_EQ(1.0f, manhattan.Distance(d, Vector3{1.0f, 1.0f, 1.0f}));
    const float root = 0x1p-12f;  // root * root == 2^-24
    EXPECT_BITS_EQ(1.0f, euclidian.Distance(Vector3{1.0f, root, root}));
    EXPECT_BITS_EQ(1.0f, superquadratic.Distance(d, Vector3{1.0f, 1.0f, 1.0f}));
}

TEST(Metrics, ProductsAndSumsAreRoundedSeparately) {
    // x = 1 + 2^-12: x*x = 1 + 2^-11 + 2^-24 rounds (tie, to even) to
    // 1 + 2^-11, and adding y*y = 2^-24 ties back to 1 + 2^-11. A fused
    // multiply-add would keep both small terms: 1 + 2^-11 + 2^-23.
    const Vector3 d{1.0f + 0x1p-12f, 0x1p-12f, 0.0f};
    EXPECT_BITS_EQ(1.0f + 0x1p-11f, euclidian.Distance(d));
    EXPECT_BITS_EQ(1.0f + 0x1p-11f, euclidian.Distance(d, Vector3{1.0f, 1.0f, 1.0f}));
}

TEST(Metrics, ChessboardMaxRulePassesOverNaNExceptInTheLastTerm) {
    EXPECT_BITS_EQ(2.0f, chessboard.Distance(Vector3{kNaN, 1.0f, 2.0f}));
    EXPECT_BITS_EQ(2.0f, chessboard.Distance(Vector3{1.0f, kNaN, 2.0f}));
    EXPECT_TRUE(std::isnan(chessboard.Distance(Vector3{1.0f, 2.0f, kNaN})));
    // max(NaN, max(1, 2)) = 2 even when the NaN term is the x term alone.
    EXPECT_BITS_EQ(5.0f, chessboard.Distance(Vector3{kNaN, 5.0f, 1.0f}));
    // Weighted: a NaN weight makes that term NaN.
    const Vector3 d{1.0f, 2.0f, 3.0f};
    EXPECT_BITS_EQ(3.0f, chessboard.Distance(d, Vector3{kNaN, 1.0f, 1.0f}));
    EXPECT_TRUE(std::isnan(chessboard.Distance(d, Vector3{1.0f, 1.0f, kNaN})));
    // Infinities are ordinary large values.
    EXPECT_BITS_EQ(kInf, chessboard.Distance(Vector3{-kInf, 1.0f, 2.0f}));
    // ...but a NaN z term still wins over an infinite x term.
    EXPECT_TRUE(std::isnan(chessboard.Distance(Vector3{-kInf, 1.0f, kNaN})));
}

TEST(Metrics, InfinitiesAndNaNFollowIeeeArithmetic) {
    const Vector3 ones{1.0f, 1.0f, 1.0f};
    EXPECT_BITS_EQ(kInf, euclidian.Distance(Vector3{-kInf, 0.0f, 0.0f}, ones));
    EXPECT_BITS_EQ(kInf, manhattan.Distance(Vector3{0.0f, -kInf, 1.0f}, ones));
    // 0 * inf is NaN.
    EXPECT_TRUE(std::isnan(euclidian.Distance(Vector3{kInf, 0.0f, 0.0f}, Vector3{0.0f, 1.0f, 1.0f})));
    EXPECT_TRUE(std::isnan(manhattan.Distance(Vector3{kNaN, 0.0f, 0.0f})));
    EXPECT_TRUE(std::isnan(minkowski.Distance(Vector3{0.0f, 0.0f, 0.0f}, Vector3{kNaN, 0.0f, 0.0f})));
    // powf(x, 0) is 1 even for NaN and infinite x.
    EXPECT_BITS_EQ(3.0f, superquadratic.Distance(Vector3{kNaN, kInf, 0.0f}, Vector3{0.0f, 0.0f, 0.0f}));
}

TEST(Metrics, NumbersSelectTheMetricsByTheirValues) {
    // One offset and weights on which the five weighted forms all differ,
    // each value worked out by hand: factors (6*3 + 4*4 + 0), (6 + 4 + 0),
    // max(6, 4, 0); Minkowski (1 + 3^0.5 + 1)^2 through powf; exponents
    // 3^2 + 4^1 + 0^1.
    const Vector3 d{3.0f, 4.0f, 0.0f}, w{2.0f, 1.0f, 1.0f};
    const float root3 = std::pow(3.0f, 0.5f);
    const float expected[5] = {34.0f, 10.0f, 6.0f, std::pow((1.0f + root3) + 1.0f, 2.0f), 13.0f};
    for (int32_t m = kFirstMetric; m <= kLastMetric; ++m) {
        EXPECT_BITS_EQ(expected[m - 1], metric_by_number(m).Distance(d, w)) << "metric " << m;
    }
    EXPECT_BITS_EQ(0.5f, minkowski.exponent);
    EXPECT_BITS_EQ(2.0f, minkowski.outer_exponent);
}

#if defined(__GXX_ABI_VERSION)
// The renderer-facing order of the virtual operations: slot 0 of the
// vtable is the weighted form and slot 1 the plain form (Itanium C++ ABI:
// slots in declaration order, the vtable pointer first in the object).
TEST(Metrics, VtableSlotZeroIsTheWeightedFormAndSlotOneThePlainForm) {
    using Weighted = float (*)(const DistType*, const Vector3&, const Vector3&);
    using Plain = float (*)(const DistType*, const Vector3&);
    const Vector3 d{1.0f, 1.0f, 1.0f}, w{1.0f, 1.0f, 1.0f};
    for (int32_t m = kFirstMetric; m <= kLastMetric; ++m) {
        const DistType* metric = &metric_by_number(m);
        void* const* vtable;
        std::memcpy(&vtable, metric, sizeof(vtable));
        Weighted weighted;
        Plain plain;
        std::memcpy(&weighted, &vtable[0], sizeof(weighted));
        std::memcpy(&plain, &vtable[1], sizeof(plain));
        EXPECT_BITS_EQ(metric->Distance(d, w), weighted(metric, d, w)) << "metric " << m;
        EXPECT_BITS_EQ(metric->Distance(d), plain(metric, d)) << "metric " << m;
    }
    // Minkowski tells the two apart on (1, 1, 1): 0 weighted, 9 plain.
    void* const* vtable;
    std::memcpy(&vtable, &minkowski, sizeof(vtable));
    Weighted weighted;
    std::memcpy(&weighted, &vtable[0], sizeof(weighted));
    EXPECT_BITS_EQ(0.0f, weighted(&minkowski, d, w));
}
#endif

}  // namespace
}  // namespace tulo

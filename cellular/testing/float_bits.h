// Floats compared to the bit in tests: the library promises bit-identical
// results, so -0 differs from +0 and a NaN's payload counts.
#pragma once

#include <cstdint>
#include <cstring>

namespace tulo_test {

// The stored bits of f.
inline uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}

}  // namespace tulo_test

// Float equality to the bit, as a GoogleTest expectation.
#define EXPECT_BITS_EQ(expected, actual) EXPECT_EQ(::tulo_test::bits(expected), ::tulo_test::bits(actual))

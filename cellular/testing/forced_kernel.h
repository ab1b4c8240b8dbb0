// A test fixture that forces one search kernel for each test and puts the
// previous choice back afterwards; a kernel this CPU (or build) lacks makes
// the test skip. Tests are instantiated over the kernels with kAllKernels,
// and print each kernel by name.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "cellular/kernels.h"

namespace tulo {
namespace detail {
inline void PrintTo(Isa isa, std::ostream* os) { *os << isa_name(isa); }
}  // namespace detail
}  // namespace tulo

namespace tulo_test {

class ForcedKernel : public ::testing::TestWithParam<tulo::detail::Isa> {
protected:
    void SetUp() override {
        using namespace tulo::detail;
        if (!kernel_available(GetParam())) {
            GTEST_SKIP() << "this CPU (or build) has no " << isa_name(GetParam()) << " kernel";
        }
        previous_ = kernel_isa();
        ASSERT_TRUE(use_kernel_isa(GetParam()));
    }
    void TearDown() override {
        if (tulo::detail::kernel_available(GetParam())) tulo::detail::use_kernel_isa(previous_);
    }
    tulo::detail::Isa previous_ = tulo::detail::Isa::portable;
};

inline const auto kAllKernels =
    ::testing::Values(tulo::detail::Isa::portable, tulo::detail::Isa::avx2, tulo::detail::Isa::avx512);

inline std::string kernel_name(const ::testing::TestParamInfo<tulo::detail::Isa>& info) {
    return tulo::detail::isa_name(info.param);
}

}  // namespace tulo_test

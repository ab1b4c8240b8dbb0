// A test fixture that forces one search kernel for each test and puts the
// previous choice back afterwards; a kernel this CPU (or build) lacks makes
// the test skip. Tests are instantiated over the kernels with kAllKernels,
// and print each kernel by name.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "cellular/kernels/kernel.h"

namespace tulo {
namespace kernels {
inline void PrintTo(Isa isa, std::ostream* os) { *os << isa_name(isa); }
}  // namespace kernels
}  // namespace tulo

namespace tulo_test {

class ForcedKernel : public ::testing::TestWithParam<tulo::kernels::Isa> {
protected:
    void SetUp() override {
        using namespace tulo::kernels;
        if (!kernel_available(GetParam())) {
            GTEST_SKIP() << "this CPU (or build) has no " << isa_name(GetParam()) << " kernel";
        }
        previous_ = kernel_isa();
        ASSERT_TRUE(use_kernel_isa(GetParam()));
    }
    void TearDown() override {
        if (tulo::kernels::kernel_available(GetParam())) tulo::kernels::use_kernel_isa(previous_);
    }
    tulo::kernels::Isa previous_ = tulo::kernels::Isa::portable;
};

inline const auto kAllKernels = ::testing::Values(tulo::kernels::Isa::portable, tulo::kernels::Isa::avx2,
                                                  tulo::kernels::Isa::avx512, tulo::kernels::Isa::neon);

inline std::string kernel_name(const ::testing::TestParamInfo<tulo::kernels::Isa>& info) {
    return tulo::kernels::isa_name(info.param);
}

}  // namespace tulo_test

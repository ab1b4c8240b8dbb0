// The AVX2 kernel: the generic searches on 8 float lanes (lanes.h).
#include "cellular/kernels/avx2/lanes.h"
#include "cellular/kernels/generic/make_kernel.h"

namespace tulo {
namespace kernels {
namespace avx2 {

const Kernel kKernel = make_kernel<Lanes>(Isa::avx2);

}  // namespace avx2
}  // namespace kernels
}  // namespace tulo

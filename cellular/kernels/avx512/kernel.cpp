// The AVX-512 kernel: the generic searches on 16 float lanes (lanes.h).
#include "cellular/kernels/avx512/lanes.h"
#include "cellular/kernels/generic/make_kernel.h"

namespace tulo {
namespace kernels {
namespace avx512 {

const Kernel kKernel = make_kernel<Lanes>(Isa::avx512);

}  // namespace avx512
}  // namespace kernels
}  // namespace tulo

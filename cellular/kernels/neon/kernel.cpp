// The NEON kernel: the generic searches on 4 float lanes (lanes.h), the
// default on aarch64; single points go through the sequential search.
#include "cellular/kernels/neon/lanes.h"
#include "cellular/kernels/generic/make_kernel.h"

namespace tulo {
namespace kernels {
namespace neon {

const Kernel kKernel = make_kernel<Lanes>(Isa::neon);

}  // namespace neon
}  // namespace kernels
}  // namespace tulo

// The portable kernel: the generic searches on 4 float lanes (lanes.h), for
// every machine; single points go through the sequential search.
#include "cellular/kernels/portable/lanes.h"
#include "cellular/kernels/generic/make_kernel.h"

namespace tulo {
namespace kernels {
namespace portable {

const Kernel kKernel = make_kernel<Lanes>(Isa::portable);

}  // namespace portable
}  // namespace kernels
}  // namespace tulo

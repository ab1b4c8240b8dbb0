// The cellular basis for arrays: chunks across the pool, each computed in
// the default floating-point environment; see cellular_batch.h.
#include "cellular/cellular_batch.h"

#include <algorithm>

#include "cellular/float_environment.h"
#include "cellular/kernels.h"
#include "cellular/lattice.h"
#include "cellular/parallel.h"
#include "cellular/precondition.h"

namespace tulo {
namespace {

struct BasisCall {
    const DistType* metric;
    const Vector3* weights;
    const Vector3* points;
    int32_t N;
    float* F;
    Vector3* delta;
    uint32_t* ID;
};

void basis_chunk(void* context, std::size_t begin, std::size_t end) {
    const BasisCall& c = *static_cast<const BasisCall*>(context);
    const std::size_t n = static_cast<std::size_t>(c.N);
    // Pool threads inherit the mode of the thread that started them, so every
    // chunk sets the default itself. basis_points is a call no compiler sees
    // into (TULO_GUARDED_WORK): its arithmetic stays inside the guard.
    const DefaultFloatEnvironment environment;
    detail::basis_points(c.metric, c.weights, c.points + begin, end - begin, c.N, c.F + begin * n,
                         c.delta != nullptr ? c.delta + begin * n : nullptr, c.ID != nullptr ? c.ID + begin * n : nullptr);
}

}  // namespace

int32_t batch_default_threads() { return std::min(detail::available_cores(), kMaxBatchThreads); }

const char* cellular_kernel_name() { return detail::isa_name(detail::kernel_isa()); }

bool cellular_basis_batch(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID, const BatchOptions& options) {
    TULO_PRECONDITION(N >= 1);
    BasisCall call{metric, weights, points, N, F, delta, ID};
    return detail::run_batch(basis_chunk, &call, count, options);
}

bool detail::run_batch(ChunkFunction run, void* context, std::size_t count, const BatchOptions& options) {
    ParallelWork work;
    work.run = run;
    work.context = context;
    work.count = count;
    work.chunk = kBatchChunk;
    // The default asks the system for the cores available; one chunk needs
    // no more threads than the caller's.
    const bool one_chunk = count <= kBatchChunk;
    work.threads = options.threads > 0 ? std::min(options.threads, kMaxBatchThreads)
                   : one_chunk         ? 1
                                       : batch_default_threads();
    work.keep_going = options.keep_going;
    work.keep_going_context = options.keep_going_context;
    return run_parallel(work);
}

}  // namespace tulo

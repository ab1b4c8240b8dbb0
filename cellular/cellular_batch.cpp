// The cellular basis for arrays: chunks across the pool, each computed in
// the default floating-point environment; see cellular_batch.h.
#include "cellular/cellular_batch.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "cellular/arguments.h"
#include "cellular/float_environment.h"
#include "cellular/kernels/kernel.h"
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
    const lattice::LatticeHash* lattice;  // null: the plugin's
};

[[noreturn]] void reject_threads(const char* entry, const std::string& what) {
    throw std::invalid_argument(std::string(entry) + ": threads must be " + what);
}

// The thread-count rule of every array entry: 0 for one thread per available
// core, 1 to kMaxBatchThreads as given; returns the count to use.
int32_t resolve_threads(const char* entry, int32_t threads) {
    if (threads < 0) {
        reject_threads(entry, "0 (one per available core) or 1.." + std::to_string(kMaxBatchThreads) + ", got " +
                                  std::to_string(threads));
    }
    if (threads > kMaxBatchThreads) {
        reject_threads(entry, "at most " + std::to_string(kMaxBatchThreads) + ", got " + std::to_string(threads));
    }
    return threads == 0 ? batch_default_threads() : threads;
}

void basis_chunk(void* context, std::size_t begin, std::size_t end) {
    const BasisCall& c = *static_cast<const BasisCall*>(context);
    const std::size_t n = static_cast<std::size_t>(c.N);
    // Pool threads inherit the mode of the thread that started them, so every
    // chunk sets the default itself. basis_points is a call no compiler sees
    // into (TULO_GUARDED_WORK): its arithmetic stays inside the guard.
    const DefaultFloatEnvironment environment;
    detail::basis_points(c.metric, c.weights, c.points + begin, end - begin, c.N, c.F + begin * n,
                         c.delta != nullptr ? c.delta + begin * n : nullptr,
                         c.ID != nullptr ? c.ID + begin * n : nullptr, c.lattice);
}

// The checks both array entries make.
void check_batch_arguments(const char* entry, const DistType* metric, const Vector3* weights, const Vector3* points,
                           std::size_t count, int32_t N, const float* F) {
    detail::check_basis_arguments(entry, metric, weights, N);
    if (N > kMaxCandidates) {
        throw std::invalid_argument(std::string(entry) + ": N must lie in 1.." + std::to_string(kMaxCandidates) +
                                    " (slots past the candidates are never filled), got " + std::to_string(N));
    }
    detail::check_array(entry, "points", points, count);
    detail::check_array(entry, "F", F, count);
    detail::check_array_size(entry, count, static_cast<std::size_t>(N), sizeof(Vector3));
}

}  // namespace

int32_t batch_default_threads() { return std::min(detail::available_cores(), kMaxBatchThreads); }

const char* cellular_kernel_name() { return kernels::isa_name(kernels::kernel_isa()); }

std::size_t batch_chunk_points(int32_t N) {
    return N <= 2 ? kBatchChunk : std::max<std::size_t>(1, 2 * kBatchChunk / static_cast<std::size_t>(N));
}

bool cellular_basis_batch(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID, const BatchOptions& options) {
    constexpr const char* kEntry = "cellular_basis_batch";
    check_batch_arguments(kEntry, metric, weights, points, count, N, F);
    BasisCall call{metric, weights, points, N, F, delta, ID, nullptr};
    return detail::run_batch(kEntry, basis_chunk, &call, count, batch_chunk_points(N), options);
}

bool cellular_basis_batch(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID, const Lattice& lattice,
                          const BatchOptions& options) {
    constexpr const char* kEntry = "cellular_basis_batch";
    check_batch_arguments(kEntry, metric, weights, points, count, N, F);
    detail::check_lattice(kEntry, lattice);
    const lattice::LatticeHash hashed = lattice::lattice_hash(lattice);
    BasisCall call{metric, weights, points, N, F, delta, ID, detail::is_plugin_lattice(lattice) ? nullptr : &hashed};
    return detail::run_batch(kEntry, basis_chunk, &call, count, batch_chunk_points(N), options);
}

bool detail::run_batch(const char* entry, ChunkFunction run, void* context, std::size_t count, std::size_t chunk,
                       const BatchOptions& options) {
    const int32_t threads = resolve_threads(entry, options.threads);
    ParallelWork work;
    work.run = run;
    work.context = context;
    work.count = count;
    work.chunk = chunk;
    // One chunk needs no more threads than the caller's.
    work.threads = count <= chunk ? 1 : threads;
    work.keep_going = options.keep_going;
    work.keep_going_context = options.keep_going_context;
    work.progress = options.progress;
    work.progress_context = options.progress_context;
    return run_parallel(work);
}

}  // namespace tulo

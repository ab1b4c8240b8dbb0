// The cellular basis for whole arrays of points.
//
// Contract
// - cellular_basis_batch fills, for every point i of the array, exactly the
//   bits that cellular_basis (cellular_basis.h) gives for that point alone:
//   F[i*N .. i*N+N-1], and when given delta[i*N ..] and ID[i*N ..]. Slots no
//   candidate filled follow cellular_basis too: F gets about 2511.6, delta
//   NaN offsets, ID 0.
// - Points are packed x, y, z floats (Vector3); NaN, infinite and far points
//   are valid input and give what cellular_basis gives.
// - The arithmetic runs in the default floating-point environment whatever
//   the calling thread's mode (as the shader plugin and cellular_basis do);
//   the caller's mode and status flags are as they were when the call
//   returns.
// - The array is cut into chunks of kBatchChunk points (fewer for N above 2,
//   so that a chunk's work stays about the same), computed by the calling
//   thread and up to threads - 1 threads of a process-wide pool. The result
//   is the same for any number of threads. Nothing is allocated per point;
//   the pool's threads are started on first need and kept. A child process
//   made by fork() starts a pool of its own on its first call.
// - Any number of threads may call at once with their own output arrays.
// - A call takes up to about 64 KB of the calling thread's stack (the
//   sorting buffers of the lane search), as it does on the pool's threads.
// - Arguments are checked in every build: a null metric or weights, null
//   points or F for a non-empty array, N outside 1..kMaxCandidates, a
//   thread count outside 0..kMaxBatchThreads or an array too large to
//   address throws std::invalid_argument naming the argument, before
//   anything is written.
// - Exceptions: keep_going may throw; the call then stops (chunks already
//   started complete, no others start), waits until no pool thread holds
//   it, and the exception reaches the caller once. The outputs of the
//   chunks not computed are left as they were.
//
// Speed: for N = 2 with neither offsets nor ids and the metrics Euclidian,
// Manhattan and Chessboard, the points themselves go through vector lanes
// (16 at a time with AVX-512, 8 with AVX2), chosen at run time like the
// per-point kernels and capped by TULO_CELLULAR_MAX_ISA. Everything else
// runs the per-point search over the array.
#pragma once

#include <cstddef>
#include <cstdint>

// The installed headers name each other relative to their own folder, so
// that they resolve whatever include path a user gives.
#include "cellular_basis.h"

namespace tulo {

// Points per chunk for N <= 2: the unit of work handed to a thread, and the
// points between two questions to BatchOptions::keep_going.
constexpr std::size_t kBatchChunk = 4096;

// Most threads one call uses.
constexpr int32_t kMaxBatchThreads = 256;

struct BatchOptions {
    // Threads working on the call, the calling thread included: 0 for one
    // per core available to the process (at most kMaxBatchThreads), or 1 to
    // kMaxBatchThreads. Anything else is refused (std::invalid_argument).
    int32_t threads = 0;
    // Asked by the calling thread before each chunk it computes; returning
    // false stops the call early (chunks already started still complete),
    // and the outputs of the chunks not computed are left as they were. It
    // may throw: see the contract above.
    bool (*keep_going)(void* context) = nullptr;
    void* keep_going_context = nullptr;
    // Told, by the calling thread before each chunk it computes and once at
    // the end of a call that was not stopped, how many of the call's points
    // are done (chunks completed on any thread) of how many. It may throw,
    // as keep_going may.
    void (*progress)(void* context, std::size_t done, std::size_t count) = nullptr;
    void* progress_context = nullptr;
};

// Fills F (count * N floats) and, when not null, delta (count * N) and ID
// (count * N) for `count` points. N from 1 to kMaxCandidates. Returns false
// only when keep_going stopped the call.
bool cellular_basis_batch(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID, const BatchOptions& options = {});

// The same on another lattice (cellular_basis.h, Lattice): the bits that
// cellular_basis gives with that lattice; a period outside 0..kMaxPeriod
// throws std::invalid_argument.
bool cellular_basis_batch(const DistType* metric, const Vector3* weights, const Vector3* points, std::size_t count,
                          int32_t N, float* F, Vector3* delta, uint32_t* ID, const Lattice& lattice,
                          const BatchOptions& options = {});

// The threads a call with threads = 0 uses: the cores available to the
// process, at most kMaxBatchThreads.
int32_t batch_default_threads();

// Points per chunk of a call with N slots a point.
std::size_t batch_chunk_points(int32_t N);

// The name of the search kernel in use ("avx512", "avx2" or "portable"),
// chosen when the library is loaded from the CPU and TULO_CELLULAR_MAX_ISA.
const char* cellular_kernel_name();

}  // namespace tulo

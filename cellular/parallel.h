// Work on arrays split into chunks across a process-wide pool of threads.
// Internal to the library: the batch entry points (cellular_batch.h and the
// shader's texture for arrays) run on it.
//
// - The calling thread always works too, so a call completes even when every
//   pool thread is busy with other calls; calls from several threads at once
//   are independent.
// - Chunks are claimed in order from a shared counter; which thread computes
//   a chunk never changes what it computes.
// - The pool starts its threads on first need and keeps them (idle threads
//   sleep) until the process ends. One lock per call and per joining thread,
//   none per chunk or point; nothing is allocated per point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cellular/cellular_batch.h"

namespace tulo {
namespace detail {

// Computes chunk [begin, end) of the call's array.
using ChunkFunction = void (*)(void* context, std::size_t begin, std::size_t end);

// Asked by the calling thread between its chunks: false stops the call.
using KeepGoing = bool (*)(void* context);

struct ParallelWork {
    ChunkFunction run = nullptr;
    void* context = nullptr;
    std::size_t count = 0;  // elements
    std::size_t chunk = 1;  // elements per chunk (>= 1)
    int32_t threads = 1;    // threads working at most, the caller included (>= 1)
    KeepGoing keep_going = nullptr;
    void* keep_going_context = nullptr;
    // Told by the calling thread, before each of its chunks and once after
    // the last, how many elements are done (chunks completed) of count.
    void (*progress)(void* context, std::size_t done, std::size_t count) = nullptr;
    void* progress_context = nullptr;
};

// Runs work.run over every chunk; false when keep_going stopped it (some
// chunks then were not computed). Returns, or throws, only after every
// chunk started has finished and no pool thread holds the call any more.
// An exception from keep_going or from a chunk (on any thread) stops the
// call: chunks not yet claimed are not computed, and the first exception
// caught (the calling thread's own before a pool thread's) is rethrown to
// the caller; the pool stays usable.
bool run_parallel(const ParallelWork& work);

// Threads a call uses by default: the cores available to the process.
int32_t available_cores();

// run_parallel over `count` elements in chunks of `chunk`, with the threads
// (checked as BatchOptions says; a refusal names `entry`) and the stop
// question of a batch call's options.
bool run_batch(const char* entry, ChunkFunction run, void* context, std::size_t count, std::size_t chunk,
               const BatchOptions& options);

}  // namespace detail
}  // namespace tulo

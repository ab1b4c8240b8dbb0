// The pool behind run_parallel; see parallel.h.
#include "cellular/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#if defined(__linux__)
#    include <sched.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#    include <pthread.h>
#endif

namespace tulo {
namespace detail {
namespace {

// One call's shared state, on the calling thread's stack. The fields without
// an atomic type are guarded by the pool's lock.
struct Job {
    const ParallelWork* work;
    std::size_t chunks;
    std::atomic<std::size_t> next{0};  // the next chunk to claim
    std::atomic<std::size_t> done{0};  // elements of completed chunks
    std::atomic<bool> stopped{false};
    int32_t tickets = 0;  // pool threads still welcome to join
    int32_t joined = 0;   // pool threads working on it now
    Job* queued_next = nullptr;
    bool queued = false;
    std::exception_ptr error;  // the first exception a pool thread caught
};

// Claims and computes chunks until none is left or the call is stopped; the
// calling thread also asks keep_going before each of its chunks.
void work_on(Job& job, bool caller) {
    const ParallelWork& w = *job.work;
    for (;;) {
        if (caller && w.progress != nullptr)
            w.progress(w.progress_context, job.done.load(std::memory_order_relaxed), w.count);
        if (caller && w.keep_going != nullptr && !w.keep_going(w.keep_going_context)) {
            job.stopped.store(true, std::memory_order_relaxed);
        }
        if (job.stopped.load(std::memory_order_relaxed)) return;
        const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.chunks) return;
        const std::size_t begin = i * w.chunk, end = std::min(w.count, begin + w.chunk);
        w.run(w.context, begin, end);
        job.done.fetch_add(end - begin, std::memory_order_relaxed);
    }
}

class Pool {
public:
    // Queues the job for up to `helpers` pool threads, starting threads as
    // needed; returns how many may join (fewer if threads cannot be made).
    int32_t offer(Job& job, int32_t helpers) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (started_ < helpers) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (...) {  // std::system_error, std::bad_alloc
                break;       // run with the threads there are
            }
            ++started_;
        }
        job.tickets = std::min(helpers, started_);
        if (job.tickets == 0) return 0;
        job.queued = true;
        Job** tail = &head_;
        while (*tail != nullptr) tail = &(*tail)->queued_next;
        *tail = &job;
        work_ready_.notify_all();
        return job.tickets;
    }

    // Withdraws the job's unused tickets and waits for the threads that
    // joined it to leave.
    void finish(Job& job) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (job.queued) unlink(job);
        job_left_.wait(lock, [&] { return job.joined == 0; });
    }

#if defined(__unix__) || defined(__APPLE__)
    // fork() copies only the forking thread. The parent's lock is held
    // across the fork so that the child's copy of the queue is consistent;
    // the child then drops every job (their threads do not exist there) and
    // makes its lock and conditions anew: their copies may record waiters
    // of the parent's, which would never wake. Its first call starts new
    // threads.
    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }
    void reset_in_child() {
        new (&mutex_) std::mutex;
        new (&work_ready_) std::condition_variable;
        new (&job_left_) std::condition_variable;
        started_ = 0;
        head_ = nullptr;
    }
#endif

private:
    void unlink(Job& job) {
        Job** p = &head_;
        while (*p != &job) p = &(*p)->queued_next;
        *p = job.queued_next;
        job.queued = false;
    }

    [[noreturn]] void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_ready_.wait(lock, [this] { return head_ != nullptr; });
            Job& job = *head_;
            if (--job.tickets == 0) unlink(job);
            ++job.joined;
            lock.unlock();
            std::exception_ptr error;
            try {
                work_on(job, false);
            } catch (...) {
                error = std::current_exception();
                job.stopped.store(true, std::memory_order_relaxed);
            }
            lock.lock();
            if (error != nullptr && job.error == nullptr) job.error = std::move(error);
            if (--job.joined == 0) job_left_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_left_;
    Job* head_ = nullptr;  // jobs with tickets left, oldest first
    int32_t started_ = 0;
};

// Never destroyed: its threads may still sleep on it while the process exits.
Pool& pool() {
    static Pool* const instance = [] {
        Pool* p = new Pool;
#if defined(__unix__) || defined(__APPLE__)
        pthread_atfork([] { pool().lock_for_fork(); }, [] { pool().unlock_after_fork(); },
                       [] { pool().reset_in_child(); });
#endif
        return p;
    }();
    return *instance;
}

}  // namespace

bool run_parallel(const ParallelWork& work) {
    if (work.count == 0) return true;
    Job job;
    job.work = &work;
    job.chunks = (work.count - 1) / work.chunk + 1;
    const std::size_t wanted = std::min<std::size_t>(job.chunks, static_cast<std::size_t>(std::max(work.threads, 1)));
    const int32_t helpers = static_cast<int32_t>(wanted) - 1;
    const bool shared = helpers > 0 && pool().offer(job, helpers) > 0;
    // However the calling thread leaves its work, no pool thread may still
    // hold the job (it lives on this stack) when the call returns or throws.
    std::exception_ptr error;
    try {
        work_on(job, true);
    } catch (...) {
        error = std::current_exception();
        job.stopped.store(true, std::memory_order_relaxed);
    }
    if (shared) pool().finish(job);
    if (error == nullptr) error = job.error;  // read after finish: the pool's lock orders it
    if (error != nullptr) std::rethrow_exception(error);
    if (job.stopped.load(std::memory_order_relaxed)) return false;
    if (work.progress != nullptr) work.progress(work.progress_context, work.count, work.count);
    return true;
}

int32_t available_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int32_t>(n) : 1;
}

}  // namespace detail
}  // namespace tulo

#include "scan/worker_pool.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "common/heap.hpp"
#include "common/invariant.hpp"
#include "scan/worker_count.hpp"

namespace vak::scan {

// One caller's batch. Lives on the caller's stack; the caller leaves only once
// the job is off the queue and no worker holds it any more.
struct WorkerPool::Job {
    TaskFn task;
    void* context;
    std::size_t n;
    std::atomic<std::size_t> next{0};  // the next unclaimed index; >= n when exhausted
    std::atomic<bool> out_of_memory{false};
    // Guarded by the pool's mutex:
    std::size_t workers = 0;  // workers currently inside the job
    bool queued = false;
    bool finished = false;
    Job* next_job = nullptr;
    std::condition_variable done;

    // Runs tasks until none is left to claim.
    void drain() noexcept {
        for (;;) {
            const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= n) return;
            try {
                task(context, index);
            } catch (const std::bad_alloc&) {
                out_of_memory.store(true, std::memory_order_relaxed);
                next.store(n, std::memory_order_relaxed);  // skip what is left
                return;
            } catch (...) {
                invariant_failed("batch tasks throw nothing but std::bad_alloc", __FILE__, __LINE__);
            }
        }
    }
};

namespace {

std::atomic<WorkerPool*> g_pool{nullptr};
std::mutex g_creation_mutex;

bool debug_switch_on() noexcept {
    const char* value = std::getenv("VAK_ORN_KERNEL_DEBUG_POOL");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

WorkerPool::WorkerPool(std::size_t size, bool debug) noexcept : size_(size), debug_(debug) {}

WorkerPool& WorkerPool::instance() {
    if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> creation(g_creation_mutex);
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) return *pool;

    const std::size_t size = worker_count_from_environment();
    const bool debug = debug_switch_on();
    // Never destroyed: workers may still sleep on its condition variable while
    // the process exits.
    void* memory = heap::allocate_aligned(sizeof(WorkerPool), alignof(WorkerPool));
    if (memory == nullptr) throw std::bad_alloc();
    auto* pool = new (memory) WorkerPool(size, debug);
    if (debug) {
        std::fprintf(stderr, "vak_orn_kernel: worker pool size %zu\n", size);
        std::fflush(stderr);
    }
    g_pool.store(pool, std::memory_order_release);
    // Without this a forked child would queue work for workers it does not have.
#if !defined(_WIN32)  // Windows has no fork
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
#endif
    return *pool;
}

void WorkerPool::run(std::size_t n, TaskFn task, void* context) {
    if (n == 0) return;
    if (n == 1) {
        task(context, 0);
        return;
    }
    Job job;
    job.task = task;
    job.context = context;
    job.n = n;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        start_workers(std::min(n, size_));
        if (started_ > 0) {
            job.queued = true;
            (tail_ != nullptr ? tail_->next_job : head_) = &job;
            tail_ = &job;
            for (std::size_t wake = std::min(n, started_); wake > 0; --wake) work_ready_.notify_one();
            job.done.wait(lock, [&] { return job.finished; });
        }
    }
    // No worker could be started at all: the caller does the work itself.
    if (!job.finished) job.drain();
    if (job.out_of_memory.load(std::memory_order_relaxed)) throw std::bad_alloc();
}

void WorkerPool::start_workers(std::size_t wanted) {
    while (started_ < wanted) {
        try {
            std::thread(&WorkerPool::work_loop, this).detach();
        } catch (const std::system_error&) {
            return;  // the system refuses more threads: make do with those running
        } catch (const std::bad_alloc&) {
            return;
        }
        ++started_;
    }
}

void WorkerPool::work_loop() {
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), "vak-batch-scan");
#elif defined(__APPLE__)
    ::pthread_setname_np("vak-batch-scan");  // names the calling thread only
#endif
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return head_ != nullptr; });
        Job* job = head_;
        ++job->workers;
        lock.unlock();
        // Records made here are freed wherever Python drops them: take back what
        // other threads freed since the last batch before taking new memory.
        heap::collect();
        job->drain();
        lock.lock();
        // Exhausted: no other worker may enter it from now on.
        if (job->queued) unlink(job);
        if (--job->workers == 0) {
            job->finished = true;
            job->done.notify_one();
        }
    }
}

void WorkerPool::unlink(Job* job) noexcept {
    Job* previous = nullptr;
    for (Job* cursor = head_; cursor != job; cursor = cursor->next_job) {
        VAK_EXPECT(cursor != nullptr, "a queued job is on the queue");
        previous = cursor;
    }
    (previous != nullptr ? previous->next_job : head_) = job->next_job;
    if (tail_ == job) tail_ = previous;
    job->next_job = nullptr;
    job->queued = false;
}

// fork() copies only the calling thread. The locks are taken around it so that
// the child inherits them in a known state; the child then forgets the parent's
// workers and queued jobs and starts its own workers when it needs them.
void WorkerPool::before_fork() noexcept {
    g_creation_mutex.lock();
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) pool->mutex_.lock();
}

void WorkerPool::after_fork_in_parent() noexcept {
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) pool->mutex_.unlock();
    g_creation_mutex.unlock();
}

void WorkerPool::after_fork_in_child() noexcept {
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) {
        pool->head_ = pool->tail_ = nullptr;
        pool->started_ = 0;
        // The parent's workers may have been waiting on it; they do not exist here.
        new (&pool->work_ready_) std::condition_variable();
        pool->mutex_.unlock();
    }
    g_creation_mutex.unlock();
}

}  // namespace vak::scan

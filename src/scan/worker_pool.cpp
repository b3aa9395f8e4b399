#include "scan/worker_pool.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/heap.hpp"
#include "common/heap_purger.hpp"
#include "common/interrupt.hpp"
#include "common/invariant.hpp"
#include "common/process_wide.hpp"
#include "scan/pool_trace.hpp"
#include "scan/worker_count.hpp"

namespace vak::scan {

// Runs tasks until none is left to claim. A task that runs out of memory or is
// interrupted ends the job: the tasks not yet started are skipped.
void WorkerPool::Job::drain() noexcept {
    for (;;) {
        if (stopped()) return;
        const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= n_.load(std::memory_order_acquire)) return;
        if (!wait_until_published(index)) return;
        try {
            task_(context_, index);
        } catch (const std::bad_alloc&) {
            stop_after_failure();
        } catch (const std::length_error&) {
            stop_after_failure();
        } catch (const interrupt::Interrupted&) {
            cancelled_.store(true, std::memory_order_release);
            wake_waiting();
        } catch (...) {
            invariant_failed("batch tasks throw nothing but std::bad_alloc", __FILE__, __LINE__);
        }
        completed_.fetch_add(1, std::memory_order_release);
    }
}

// Sleeps until the caller has made task `index` (it publishes with a release
// store, so the task's input is complete when seen); false when the job was
// stopped meanwhile or ended with fewer tasks.
bool WorkerPool::Job::wait_until_published(std::size_t index) noexcept {
    std::size_t ready = published_.load(std::memory_order_acquire);
    while (ready <= index) {
        if (stopped()) return false;
        published_.wait(ready, std::memory_order_acquire);
        ready = published_.load(std::memory_order_acquire);
    }
    return !stopped() && index < n_.load(std::memory_order_acquire);
}

void WorkerPool::Job::stop_after_failure() noexcept {
    out_of_memory_.store(true, std::memory_order_release);
    wake_waiting();
}

// Stops the job: tasks not yet started are skipped, and workers waiting for a
// task to be published wake up and leave.
void WorkerPool::Job::cancel() noexcept {
    cancelled_.store(true, std::memory_order_release);
    wake_waiting();
}

void WorkerPool::Job::wake_waiting() noexcept {
    published_.store(kOpen, std::memory_order_release);
    published_.notify_all();
}

namespace {

// Installed on a worker while it runs a job's tasks: the tasks' own polls stop
// them once the caller was interrupted.
class CancelCheck final : public interrupt::Checker {
public:
    explicit CancelCheck(const std::atomic<bool>& cancelled) noexcept : cancelled_(cancelled) {}
    void poll() override {
        if (cancelled_.load(std::memory_order_acquire)) throw interrupt::Interrupted{};
    }

private:
    const std::atomic<bool>& cancelled_;
};

void name_this_thread() noexcept {
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), "vak-batch-scan");
#elif defined(__APPLE__)
    ::pthread_setname_np("vak-batch-scan");  // names the calling thread only
#endif
}

// How long a worker waits for the next job before it ends, and how often an
// idle worker looks whether to give freed pages back.
constexpr auto kIdleWorkerLifetime = std::chrono::seconds(3);
constexpr auto kIdleCheckInterval = std::chrono::milliseconds(250);

// How often a caller waiting for its job looks for an interrupt of its own.
constexpr auto kCallerPollInterval = std::chrono::milliseconds(50);

}  // namespace

namespace {

// Never destroyed: workers may still sleep on its condition variable while the
// process exits.
ProcessWide<WorkerPool> g_pool;

}  // namespace

WorkerPool::WorkerPool(std::size_t size) noexcept : size_(size) {}

WorkerPool& WorkerPool::instance() {
    return g_pool.get([] {
        const std::size_t size = worker_count_from_environment();
        WorkerPool* pool = make_forever<WorkerPool>(size);
        pool_trace::report_pool_size(size);
        // Without this a forked child would queue work for workers it does not have.
#if !defined(_WIN32)  // Windows has no fork
        ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
#endif
        return pool;
    });
}

WorkerPool* WorkerPool::existing() noexcept {
    return g_pool.peek();
}

bool WorkerPool::start(Job& job, std::size_t expected) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_workers(std::min(expected, size_));
    if (started_ == 0) return false;  // finish() does the work on the caller
    job.queued_ = true;
    (tail_ != nullptr ? tail_->next_job_ : head_) = &job;
    tail_ = &job;
    for (std::size_t wake = std::min(expected, started_); wake > 0; --wake) {
        work_ready_.notify_one();
    }
    return true;
}

void WorkerPool::publish(Job& job, std::size_t ready) noexcept {
    job.published_.store(ready, std::memory_order_release);
    job.published_.notify_all();
}

void WorkerPool::finish(Job& job, std::size_t count) {
    job.n_.store(count, std::memory_order_release);
    publish(job, Job::kOpen);  // every task below the count; waiters above it leave
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (job.queued_ || job.workers_ > 0) wait_for_workers(job, lock);
        // No worker could be started at all: the caller does the work itself.
        if (!job.finished_) {
            lock.unlock();
            job.drain();
            lock.lock();
            job.finished_ = true;
        }
    }
    if (job.cancelled()) throw interrupt::Interrupted{};
    if (job.out_of_memory()) throw std::bad_alloc();
}

void WorkerPool::abandon(Job& job) noexcept {
    job.cancel();
    std::unique_lock<std::mutex> lock(mutex_);
    if (job.queued_) unlink(&job);
    // Workers stop at their next poll (their check reads the job's flag).
    while (job.workers_ > 0) job.done_.wait(lock);
    job.finished_ = true;
}

// Sleeps until the job is finished, polling the caller's own interrupt check now
// and then (never with the pool's mutex held: the check may take the
// interpreter lock). An interrupt cancels the job: a job that no worker has
// entered yet (queued behind another caller's) leaves the queue at once; one
// that workers are in is left as soon as they have stopped, since they write
// into the caller's memory, and they stop at their next poll.
void WorkerPool::wait_for_workers(Job& job, std::unique_lock<std::mutex>& lock) {
    while (!job.finished_) {
        if (job.cancelled() && job.workers_ == 0) {
            if (job.queued_) unlink(&job);
            job.finished_ = true;
            return;
        }
        job.done_.wait_for(lock, kCallerPollInterval);
        if (job.finished_ || job.cancelled()) continue;
        lock.unlock();
        try {
            interrupt::poll();
        } catch (const interrupt::Interrupted&) {
            job.cancel();
        }
        lock.lock();
    }
}

bool WorkerPool::EarlyHelper::start(Job& job) noexcept {
    VAK_EXPECT(!running(), "one helper thread per batch");
    try {
        thread_ = std::thread([this, &job] {
            name_this_thread();
            {
                CancelCheck check(job.cancelled_);
                interrupt::Scope scope(&check);
                job.drain();
            }
            const std::lock_guard<std::mutex> lock(mutex_);
            left_job_ = true;
            left_.notify_one();
        });
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    job_ = &job;
    return true;
}

void WorkerPool::EarlyHelper::finish() {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!left_.wait_for(lock, kCallerPollInterval, [this] { return left_job_; })) {
        lock.unlock();  // never with the mutex held: the check may take the interpreter lock
        try {
            interrupt::poll();
        } catch (const interrupt::Interrupted&) {
            stop();
            throw;
        }
        lock.lock();
    }
    lock.unlock();
    thread_.join();
}

void WorkerPool::EarlyHelper::stop() noexcept {
    if (!thread_.joinable()) return;
    job_->cancel();
    thread_.join();
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
    name_this_thread();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // An idle worker ends. The memory of the records it made is owned by its
        // heap; freed elsewhere (where Python drops the results), it would stay
        // with a sleeping thread until its next job. An ended thread's heap is
        // given up, and such memory then goes back as soon as it is freed.
        if (!wait_for_job(lock)) {
            --started_;
            lock.unlock();
            // Hand every page this thread emptied back before it goes: pages left
            // to a thread that has ended are reused only after a while.
            heap::purge_now();
            return;
        }
        Job* job = head_;
        ++job->workers_;
        lock.unlock();
        // Records made here are freed wherever Python drops them: take back what
        // other threads freed since the last batch before taking new memory.
        heap::collect();
        {
            CancelCheck check(job->cancelled_);
            interrupt::Scope scope(&check);
            job->drain();
        }
        lock.lock();
        // Exhausted: no other worker may enter it from now on.
        if (job->queued_) unlink(job);
        if (--job->workers_ == 0) {
            job->finished_ = true;
            job->done_.notify_one();
        }
    }
}

// Waits for a queued job; false once the worker has been idle for its lifetime.
// Records made on this thread are freed on others (where Python drops them) and
// only this thread can give their pages back: while it waits, it takes back what
// was freed now and then, and returns it to the system whenever the heap's
// purger has run since it last looked.
bool WorkerPool::wait_for_job(std::unique_lock<std::mutex>& lock) {
    const auto give_up = std::chrono::steady_clock::now() + kIdleWorkerLifetime;
    unsigned seen = heap::purge_generation();
    while (head_ == nullptr) {
        if (work_ready_.wait_for(lock, kIdleCheckInterval) == std::cv_status::timeout) {
            if (std::chrono::steady_clock::now() >= give_up && head_ == nullptr) return false;
            const unsigned now = heap::purge_generation();
            lock.unlock();
            if (now != seen) {
                heap::purge_now();
            } else {
                heap::collect();
            }
            seen = now;
            lock.lock();
        }
    }
    return true;
}

void WorkerPool::unlink(Job* job) noexcept {
    Job* previous = nullptr;
    for (Job* cursor = head_; cursor != job; cursor = cursor->next_job_) {
        VAK_EXPECT(cursor != nullptr, "a queued job is on the queue");
        previous = cursor;
    }
    (previous != nullptr ? previous->next_job_ : head_) = job->next_job_;
    if (tail_ == job) tail_ = previous;
    job->next_job_ = nullptr;
    job->queued_ = false;
}

// fork() copies only the calling thread. The locks are taken around it so that
// the child inherits them in a known state; the child then forgets the parent's
// workers and queued jobs and starts its own workers when it needs them.
void WorkerPool::before_fork() noexcept {
    if (WorkerPool* pool = g_pool.peek()) pool->mutex_.lock();
}

void WorkerPool::after_fork_in_parent() noexcept {
    if (WorkerPool* pool = g_pool.peek()) pool->mutex_.unlock();
}

void WorkerPool::after_fork_in_child() noexcept {
    if (WorkerPool* pool = g_pool.peek()) {
        pool->head_ = pool->tail_ = nullptr;
        pool->started_ = 0;
        // The parent's workers may have been waiting on it; they do not exist here.
        new (&pool->work_ready_) std::condition_variable();
        pool->mutex_.unlock();
    }
}

}  // namespace vak::scan

// The process-wide pool of worker threads that runs batch scans.
//
// Callers hand in a job of n independent tasks (task i writes only its own
// output). Workers claim task indexes one at a time from a shared counter, so
// one long task never holds up the others: every worker keeps claiming until
// the job is exhausted. A caller may publish tasks while it still makes later
// ones, so that workers start on the first while it converts the rest. Several
// callers may run jobs at once; jobs queue in arrival order and each caller
// waits only for its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "common/process_wide.hpp"

namespace vak::scan {

class WorkerPool {
public:
    class Job;

    // The pool, created on first use with its size taken from the environment and
    // never torn down. Worker threads start on demand, up to that size, and end
    // when they have been idle for a while.
    static WorkerPool& instance();
    // The pool if a batch made it already, otherwise nullptr.
    static WorkerPool* existing() noexcept;

    std::size_t size() const noexcept { return size_; }

    // Calls task(i) once for every i in [0, n) and returns when every call has
    // ended. A single task runs on the calling thread; more run on the workers
    // while the caller sleeps. A std::bad_alloc thrown by any task is rethrown
    // here once all started tasks have ended (later tasks are skipped); so is
    // interrupt::Interrupted when the caller's interrupt check fires meanwhile.
    template <class Task>
    void for_each_index(std::size_t n, Task& task);

    // A job whose tasks are made while it runs: start() queues it and wakes
    // workers for about `expected` tasks, which wait for publish() to let them at
    // tasks [0, ready); the caller makes task k before publishing it. start()
    // returns false when no worker could be started: then no thread but the
    // caller ever touches the job, and finish() runs it on the caller. finish()
    // fixes the number of tasks, publishes them all and waits as for_each_index
    // does; a job that will not be finished (its maker failed) must be
    // abandoned, which stops the workers and waits for them to leave it.
    bool start(Job& job, std::size_t expected);
    static void publish(Job& job, std::size_t ready) noexcept;
    void finish(Job& job, std::size_t count);
    void abandon(Job& job) noexcept;

    class EarlyHelper;

    WorkerPool(const WorkerPool&) = delete;
    template <class T, class... Args>
    friend T* ::vak::make_forever(Args&&... args);
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    explicit WorkerPool(std::size_t size) noexcept;
    void start_workers(std::size_t wanted);  // mutex_ held
    void wait_for_workers(Job& job, std::unique_lock<std::mutex>& lock);
    void work_loop();
    bool wait_for_job(std::unique_lock<std::mutex>& lock);  // mutex_ held
    void unlink(Job* job) noexcept;                         // mutex_ held

    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;

    const std::size_t size_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    Job* head_ = nullptr;  // queued jobs that still have unclaimed tasks
    Job* tail_ = nullptr;
    std::size_t started_ = 0;  // live worker threads; an idle one ends after a while
};

// One caller's batch. Lives with the caller, which leaves only once the job is
// off the queue and no worker holds it any more.
class WorkerPool::Job {
public:
    // While the job is being made its number of tasks is open; finish() fixes it.
    static constexpr std::size_t kOpen = static_cast<std::size_t>(-1);

    template <class Task>
    Job(std::size_t n, Task& task) noexcept
        : task_([](void* context, std::size_t i) { (*static_cast<Task*>(context))(i); }),
          context_(&task),
          n_(n) {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Tasks that have ended, failed or not.
    std::size_t completed() const noexcept { return completed_.load(std::memory_order_acquire); }
    bool out_of_memory() const noexcept { return out_of_memory_.load(std::memory_order_acquire); }
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

private:
    friend class WorkerPool;
    using TaskFn = void (*)(void* context, std::size_t index);

    void drain() noexcept;
    bool wait_until_published(std::size_t index) noexcept;
    bool stopped() const noexcept { return cancelled() || out_of_memory(); }
    void stop_after_failure() noexcept;
    void cancel() noexcept;
    void wake_waiting() noexcept;

    TaskFn task_;
    void* context_;
    std::atomic<std::size_t> n_;             // kOpen until finish()
    std::atomic<std::size_t> next_{0};       // the next unclaimed index
    std::atomic<std::size_t> published_{0};  // tasks below this may run
    std::atomic<std::size_t> completed_{0};
    std::atomic<bool> out_of_memory_{false};
    std::atomic<bool> cancelled_{false};  // the caller was interrupted or failed: start nothing new
    // Guarded by the pool's mutex:
    std::size_t workers_ = 0;  // workers currently inside the job
    bool queued_ = false;
    bool finished_ = false;
    Job* next_job_ = nullptr;
    std::condition_variable done_;
};

// Only a batch whose streams all convert may create the pool, so the first batch
// of a process converts every stream before any worker exists. Meanwhile one
// thread of the call's own runs the job's tasks as the caller publishes them,
// as a worker does; once the pool exists its workers join in. The call cancels
// (when it fails) and joins the helper before it returns.
class WorkerPool::EarlyHelper {
public:
    EarlyHelper() noexcept = default;
    EarlyHelper(const EarlyHelper&) = delete;
    EarlyHelper& operator=(const EarlyHelper&) = delete;
    ~EarlyHelper() { stop(); }

    // Starts the thread on `job`, which must outlive it; false when the system
    // refuses a thread (the job then waits for the pool).
    bool start(Job& job) noexcept;
    bool running() const noexcept { return thread_.joinable(); }
    // Once every task is claimed: waits for the thread to leave the job, looking
    // for an interrupt of the caller's meanwhile (its last task may be long). An
    // interrupt stops the thread, as stop() does, and is thrown on.
    void finish();
    // Cancels the job, then waits for the thread, which leaves at its next look
    // at the job: for a call that fails.
    void stop() noexcept;

private:
    Job* job_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable left_;
    bool left_job_ = false;  // guarded by mutex_
};

template <class Task>
void WorkerPool::for_each_index(std::size_t n, Task& task) {
    if (n == 0) return;
    if (n == 1) {
        task(0);
        return;
    }
    Job job(n, task);
    start(job, n);
    finish(job, n);
}

}  // namespace vak::scan

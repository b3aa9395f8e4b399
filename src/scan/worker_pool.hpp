// The process-wide pool of worker threads that runs batch scans.
//
// Callers hand in a job of n independent tasks (task i writes only its own
// output). Workers claim task indexes one at a time from a shared counter, so
// one long task never holds up the others: every worker keeps claiming until
// the job is exhausted. Several callers may run jobs at once; jobs queue in
// arrival order and each caller waits only for its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "common/process_wide.hpp"

namespace vak::scan {

class WorkerPool {
public:
    // The pool, created on first use with its size taken from the environment and
    // never torn down. Worker threads start on demand, up to that size, and end
    // when they have been idle for a while.
    static WorkerPool& instance();

    std::size_t size() const noexcept { return size_; }

    // Calls task(i) once for every i in [0, n) and returns when every call has
    // ended. A single task runs on the calling thread; more run on the workers
    // while the caller sleeps. A std::bad_alloc thrown by any task is rethrown
    // here once all started tasks have ended (later tasks are skipped); so is
    // interrupt::Interrupted when the caller's interrupt check fires meanwhile.
    template <class Task>
    void for_each_index(std::size_t n, Task& task) {
        run(n, [](void* context, std::size_t i) { (*static_cast<Task*>(context))(i); }, &task);
    }

    WorkerPool(const WorkerPool&) = delete;
    template <class T, class... Args>
    friend T* ::vak::make_forever(Args&&... args);
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    using TaskFn = void (*)(void* context, std::size_t index);
    struct Job;

    explicit WorkerPool(std::size_t size) noexcept;
    void run(std::size_t n, TaskFn task, void* context);
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

}  // namespace vak::scan

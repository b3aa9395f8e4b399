// Several threads on the batch-scan worker pool at once. Built with
// ThreadSanitizer by tools/run_thread_sanitizer.sh and as a plain program by
// tests/test_native_threads.py. The pool's size comes from the environment.
//   pool_threads_probe batches  callers of every batch size (none, one, a few,
//                               many) from the pool's first use on; every record
//                               is checked against scanning its stream alone
//   pool_threads_probe cancel   callers interrupted while their job runs, while it
//                               waits behind another caller's job, and at random
//                               moments among other callers
//   pool_threads_probe fork     forks from several threads while the pool is busy;
//                               every child runs batches of its own
// Prints what it saw; a failed check exits with status 1.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "common/interrupt.hpp"
#include "scan/batch_scan.hpp"
#include "scan/worker_pool.hpp"
#include "thread_probe_support.hpp"

namespace {

using probe::Clock;
using vak::scan::WorkerPool;

// ------------------------------------------------------------------- batches

// Stream lengths of one batch: none, one, a few, many short ones, or a few with
// one long enough for the scan to look for interrupts inside it.
std::vector<std::size_t> batch_shape(probe::Random& random, unsigned kind) {
    std::vector<std::size_t> lengths;
    switch (kind % 6) {
        case 0: break;
        case 1: lengths.push_back(random.below(3000)); break;
        case 2:
            for (unsigned k = 2 + random.below(3); k > 0; --k) lengths.push_back(random.below(900));
            break;
        case 3:
            for (unsigned k = 0; k < 16; ++k) lengths.push_back(random.below(2000));
            break;
        case 4:
            for (unsigned k = 0; k < 200; ++k) lengths.push_back(random.below(40));
            break;
        default: lengths = {70000, 0, random.below(500)}; break;
    }
    return lengths;
}

void scan_and_check(probe::Random& random, unsigned kind) {
    const bool record_invalid = random.below(2) == 0;
    probe::Batch batch = make_batch(random, batch_shape(random, kind), record_invalid);
    const auto records = vak::scan::scan_batch(batch.streams, record_invalid);
    PROBE_CHECK(batch.streams.empty());
    PROBE_CHECK(records.size() == batch.expected.size());
    for (std::size_t k = 0; k < records.size(); ++k)
        PROBE_CHECK(probe::same_record(records[k], batch.expected[k]));
}

// The same batch handed over while it is made: streams published a few at a
// time with pauses between (so that workers wait for them), room reserved for
// only some of them (so that the streams move while workers are in the job),
// and in some rounds the maker gives up half-way, which must stop the workers
// and free everything. Made without the pool in half the rounds, as the
// process's first batch is: a helper thread scans until finish() brings the pool.
void stream_and_check(probe::Random& random, unsigned kind) {
    const bool record_invalid = random.below(2) == 0;
    probe::Batch batch = make_batch(random, batch_shape(random, kind), record_invalid);
    const std::size_t n = batch.streams.size();
    const bool give_up = n > 0 && random.below(3) == 0;
    const std::size_t stop_at = give_up ? random.below(static_cast<std::uint32_t>(n)) : n;
    WorkerPool* pool = random.below(2) == 0 ? nullptr : &WorkerPool::instance();
    vak::scan::StreamingBatch streaming(pool, record_invalid);
    streaming.reserve(random.below(static_cast<std::uint32_t>(n) + 1));
    for (std::size_t k = 0; k < stop_at; ++k) {
        if (streaming.full()) streaming.make_room();
        streaming.add(vak::WordVec(batch.streams[k]));
        if (random.below(4) == 0) {
            streaming.publish();
            std::this_thread::sleep_for(std::chrono::microseconds(random.below(300)));
        }
    }
    if (give_up) return;  // the destructor stops the workers
    const auto records = streaming.finish();
    PROBE_CHECK(records.size() == n);
    for (std::size_t k = 0; k < n; ++k) {
        PROBE_CHECK(probe::same_record(records[k], batch.expected[k]));
    }
}

// Task i writes only hits[i] (no lock: the pool must order those writes before
// the caller's reads). Tasks take unequal time, so workers claim unevenly.
// With `fail_at` < n that task throws std::bad_alloc, which the caller must get
// once no task runs any more.
void index_tasks(std::size_t n, std::size_t fail_at) {
    std::vector<unsigned> hits(n, 0);
    std::atomic<int> in_flight{0};
    auto task = [&](std::size_t i) {
        in_flight.fetch_add(1);
        if (i == fail_at) {
            in_flight.fetch_sub(1);
            throw std::bad_alloc();
        }
        volatile unsigned sink = 0;
        for (unsigned k = 0; k < (i % 7) * 300; ++k) sink = sink + k;
        ++hits[i];
        in_flight.fetch_sub(1);
    };
    bool failed = false;
    try {
        WorkerPool::instance().for_each_index(n, task);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    PROBE_CHECK(in_flight.load() == 0);
    PROBE_CHECK(failed == (fail_at < n));
    for (std::size_t i = 0; i < n; ++i) {
        if (fail_at < n) {
            PROBE_CHECK(hits[i] <= 1);
        } else {
            PROBE_CHECK(hits[i] == 1);
        }
    }
    if (fail_at < n) PROBE_CHECK(hits[fail_at] == 0);
}

void run_batches() {
    constexpr unsigned kCallers = 4;
    constexpr unsigned kRounds = 12;
    static constexpr std::size_t kTaskCounts[] = {0, 1, 2, 3, 9, 64, 1000};
    // Released together, the callers also race the pool's creation.
    probe::run_together(kCallers, [](unsigned t) {
        probe::Random random(t + 1);
        for (unsigned round = 0; round < kRounds; ++round) {
            scan_and_check(random, t + round);
            stream_and_check(random, t + round + 1);
            const std::size_t n = kTaskCounts[(t * 3 + round) % std::size(kTaskCounts)];
            const bool fail = n > 0 && round % 4 == 3;
            index_tasks(n, fail ? random.below(static_cast<std::uint32_t>(n)) : n);
        }
    });
    std::printf("batches: ok (%u callers, pool of %zu)\n", kCallers, WorkerPool::instance().size());
}

// -------------------------------------------------------------------- cancel

// Stops the caller's work once `stop` is set, as the module's signal check
// stops it on Ctrl-C.
class FlagChecker final : public vak::interrupt::Checker {
public:
    explicit FlagChecker(const std::atomic<bool>& stop) noexcept : stop_(stop) {}
    void poll() override {
        if (stop_.load(std::memory_order_acquire)) throw vak::interrupt::Interrupted{};
    }

private:
    const std::atomic<bool>& stop_;
};

struct InFlight {
    explicit InFlight(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~InFlight() { count_.fetch_sub(1); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

private:
    std::atomic<int>& count_;
};

// Polls for an interrupt until `limit` has passed or `release` is set.
void poll_until(std::chrono::milliseconds limit, const std::atomic<bool>* release = nullptr) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end && (release == nullptr || !release->load())) {
        vak::interrupt::poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

enum class Outcome { running, completed, interrupted };

// Runs n tasks under `checker`; tells how the call ended and how many tasks were
// still running when it did.
template <class Task>
Outcome run_checked(vak::interrupt::Checker& checker, std::size_t n, Task& task,
                    const std::atomic<int>& in_flight, int& in_flight_at_return) {
    vak::interrupt::Scope scope(&checker);
    Outcome outcome = Outcome::completed;
    try {
        WorkerPool::instance().for_each_index(n, task);
    } catch (const vak::interrupt::Interrupted&) {
        outcome = Outcome::interrupted;
    }
    in_flight_at_return = in_flight.load();
    return outcome;
}

// The caller is interrupted while its tasks run (tasks that would otherwise take
// 20 s); it must return soon, after its last running task has ended.
void cancel_running(std::size_t n) {
    std::atomic<bool> stop{false};
    std::atomic<int> started{0};
    std::atomic<int> in_flight{0};
    auto task = [&](std::size_t) {
        started.fetch_add(1);
        InFlight guard(in_flight);
        poll_until(std::chrono::seconds(20));
    };
    Outcome outcome = Outcome::running;
    int in_flight_at_return = -1;
    std::thread caller([&] {
        FlagChecker checker(stop);
        outcome = run_checked(checker, n, task, in_flight, in_flight_at_return);
    });
    PROBE_CHECK(probe::wait_until([&] { return started.load() > 0; }, 10000));
    const auto asked = Clock::now();
    stop.store(true, std::memory_order_release);
    caller.join();
    PROBE_CHECK(outcome == Outcome::interrupted);
    PROBE_CHECK(in_flight_at_return == 0);
    PROBE_CHECK(Clock::now() - asked < std::chrono::seconds(10));
}

// Caller A's tasks hold every worker; caller B's job waits behind A's and B is
// interrupted meanwhile. None of B's tasks may run, and A's job is untouched.
// Returns whether B left before A's job ended.
bool cancel_queued() {
    const std::size_t workers = WorkerPool::instance().size();
    const std::size_t tasks_a = std::max<std::size_t>(workers, 2);  // one would run on A itself
    std::atomic<bool> release_a{false};
    std::atomic<bool> stop_b{false};
    std::atomic<int> started_a{0};
    std::atomic<int> started_b{0};
    std::vector<unsigned> hits_a(tasks_a, 0);
    auto task_a = [&](std::size_t i) {
        started_a.fetch_add(1);
        poll_until(std::chrono::seconds(20), &release_a);
        ++hits_a[i];
    };
    auto task_b = [&](std::size_t) { started_b.fetch_add(1); };
    std::thread caller_a([&] { WorkerPool::instance().for_each_index(tasks_a, task_a); });
    PROBE_CHECK(
        probe::wait_until([&] { return started_a.load() == static_cast<int>(workers); }, 10000));
    std::atomic<bool> b_left{false};
    Outcome outcome_b = Outcome::running;
    int in_flight_b = -1;
    const std::atomic<int> none_in_flight{0};
    std::thread caller_b([&] {
        FlagChecker checker(stop_b);
        outcome_b = run_checked(checker, 8, task_b, none_in_flight, in_flight_b);
        b_left.store(true);
    });
    probe::sleep_ms(120);  // B is queued and has looked for an interrupt at least once
    stop_b.store(true, std::memory_order_release);
    const bool left_early = probe::wait_until([&] { return b_left.load(); }, 500);
    release_a.store(true);
    caller_b.join();
    caller_a.join();
    PROBE_CHECK(outcome_b == Outcome::interrupted);
    PROBE_CHECK(started_b.load() == 0);
    for (const unsigned hits : hits_a) PROBE_CHECK(hits == 1);
    return left_early;
}

// Callers whose interrupts come at random moments, among others that are not
// interrupted: an interrupted call may skip tasks but never runs one twice and
// never leaves one running; a completed call ran every task once.
void cancel_at_random() {
    constexpr unsigned kCallers = 4;
    constexpr unsigned kRounds = 10;
    static constexpr std::size_t kTaskCounts[] = {1, 2, 5, 30, 200};
    std::atomic<bool> stop[kCallers] = {};
    std::atomic<bool> done{false};
    std::atomic<unsigned> interrupted{0};
    std::atomic<unsigned> completed{0};
    std::thread canceller([&] {
        probe::Random random(99);
        while (!done.load()) {
            stop[random.below(kCallers)].store(true, std::memory_order_release);
            std::this_thread::sleep_for(std::chrono::microseconds(random.below(8000)));
        }
    });
    probe::run_together(kCallers, [&](unsigned t) {
        probe::Random random(t + 7);
        const vak::WordVec stream = probe::mixed_stream(random, 4000);
        for (unsigned round = 0; round < kRounds; ++round) {
            const std::size_t n = kTaskCounts[random.below(std::size(kTaskCounts))];
            std::vector<unsigned> hits(n, 0);
            std::atomic<int> in_flight{0};
            auto task = [&](std::size_t i) {
                InFlight guard(in_flight);
                vak::interrupt::poll();
                vak::scan::scan_words(stream.data(), stream.size(), true);
                vak::interrupt::poll();
                ++hits[i];
            };
            stop[t].store(false);
            FlagChecker checker(stop[t]);
            int in_flight_at_return = -1;
            const Outcome outcome = run_checked(checker, n, task, in_flight, in_flight_at_return);
            PROBE_CHECK(in_flight_at_return == 0);
            for (const unsigned h : hits) PROBE_CHECK(h <= 1);
            if (outcome == Outcome::completed) {
                for (const unsigned h : hits) PROBE_CHECK(h == 1);
                completed.fetch_add(1);
            } else {
                interrupted.fetch_add(1);
            }
        }
    });
    done.store(true);
    canceller.join();
    std::printf("cancel at random: %u calls interrupted, %u completed\n", interrupted.load(),
                completed.load());
}

void run_cancel() {
    for (const std::size_t n : {1, 2, 8, 64}) cancel_running(n);
    std::printf("cancel while running: ok\n");
    bool left_early = false;
    for (int round = 0; round < 3; ++round) left_early = cancel_queued();
    std::printf("cancel while queued: ok (left before the job ahead ended: %s)\n",
                left_early ? "yes" : "no");
    cancel_at_random();
}

// ---------------------------------------------------------------------- fork

// In the child: batches of every size on workers the child starts itself
// (without new threads: batches of no stream or one, which run on the caller).
[[noreturn]] void child_runs_batches() {
    probe::limit_run_time(60);
    probe::Random random(static_cast<std::uint64_t>(::getpid()));
    for (unsigned kind = 0; kind < 6; ++kind) {
        if (probe::kForkedChildrenStartThreads || kind < 2) scan_and_check(random, kind);
    }
    index_tasks(probe::kForkedChildrenStartThreads ? 50 : 1, 50);
    std::_Exit(0);
}

void fork_and_check(probe::ForkGate& gate) {
    const pid_t child = gate.fork();
    PROBE_CHECK(child >= 0);
    if (child == 0) child_runs_batches();
    int status = 0;
    PROBE_CHECK(::waitpid(child, &status, 0) == child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "child %d: %s %d\n", static_cast<int>(child),
                     WIFEXITED(status) ? "exit status" : "signal",
                     WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        probe::fail("the forked child ran its batches", __FILE__, __LINE__);
    }
}

void run_fork() {
    constexpr unsigned kBusyCallers = 3;
    constexpr unsigned kForks = 6;
    std::atomic<bool> done{false};
    std::atomic<unsigned> batches{0};
    std::vector<std::thread> busy;
    probe::ForkGate gate(kBusyCallers);
    for (unsigned t = 0; t < kBusyCallers; ++t) {
        busy.emplace_back([&, t] {
            probe::Random random(t + 100);
            while (!done.load()) {
                gate.pass();
                scan_and_check(random, 3);
                index_tasks(30, 30);
                batches.fetch_add(1);
            }
        });
    }
    PROBE_CHECK(probe::wait_until([&] { return batches.load() >= kBusyCallers; }, 20000));
    for (unsigned k = 0; k < kForks; ++k) {
        probe::sleep_ms(15);
        if (k % 2 == 0) {
            fork_and_check(gate);
        } else {
            std::thread forker(fork_and_check, std::ref(gate));
            forker.join();
        }
    }
    done.store(true);
    for (auto& thread : busy) thread.join();
    std::printf("fork: ok (%u children, %u batches alongside)\n", kForks, batches.load());
}

}  // namespace

int main(int argc, char** argv) {
    probe::limit_run_time(240);
    const char* mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "batches") == 0) {
        run_batches();
    } else if (std::strcmp(mode, "cancel") == 0) {
        run_cancel();
    } else if (std::strcmp(mode, "fork") == 0) {
        run_fork();
    } else {
        std::fprintf(stderr, "usage: pool_threads_probe batches|cancel|fork\n");
        return 2;
    }
    return 0;
}

// The heap's purger thread among other threads. Built with ThreadSanitizer by
// tools/run_thread_sanitizer.sh and as a plain program by
// tests/test_native_threads.py.
//   purger_threads_probe purges  bursts of large frees from several threads at
//                                once (blocks of their own, batch inputs, records
//                                made on the pool's workers) each start the purger,
//                                which purges once the frees have stopped and then
//                                ends; meanwhile the pool's idle workers wake now
//                                and then and purge their own heaps. Some bursts
//                                come right as the previous purger ends.
//   purger_threads_probe fork    forks while other threads ask for purges all the
//                                time; every child frees a large block, and some
//                                wait for their own purger to run
// Prints what it saw; a failed check exits with status 1.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common/heap_purger.hpp"
#include "scan/batch_scan.hpp"
#include "scan/worker_pool.hpp"
#include "thread_probe_support.hpp"

namespace {

constexpr unsigned kFreeingThreads = 3;
constexpr unsigned kBursts = 6;
// Longer than the purger's quiet period, and than an idle worker's wake-up interval.
constexpr int kPurgeWaitLimitMs = 10000;

std::size_t large_words() {
    return vak::heap::kPurgeWorthyBytes / sizeof(std::uint32_t) + 4096;
}

// A block worth purging, written and dropped on this thread.
void free_a_large_block(std::uint32_t seed) {
    vak::WordVec block(large_words());
    for (std::size_t k = 0; k < block.size(); k += 1024) block[k] = seed + k;
    PROBE_CHECK(block[1024] == seed + 1024);
}

// A batch whose large stream is freed by the batch itself and whose large
// record, made on a worker, is freed here.
void free_large_batch_memory(probe::Random& random) {
    vak::Vec<vak::WordVec> streams;
    streams.emplace_back(large_words(), 0x41u);  // text words: one large record array
    for (int k = 0; k < 5; ++k) streams.push_back(probe::mixed_stream(random, 300));
    const auto records = vak::scan::scan_batch(streams, false);
    PROBE_CHECK(records.size() == 6);
    PROBE_CHECK(records[0].text_words.size() == large_words());
}

void burst(unsigned index) {
    probe::run_together(kFreeingThreads, [index](unsigned t) {
        probe::Random random(index * kFreeingThreads + t + 1);
        free_a_large_block(random.next());
        if (t == 0) free_large_batch_memory(random);
        free_a_large_block(random.next());
    });
}

bool purge_after(unsigned generation) {
    return probe::wait_until([&] { return vak::heap::purge_generation() != generation; },
                             kPurgeWaitLimitMs);
}

void run_purges() {
    // Workers that will sleep between the bursts.
    probe::Random random(1);
    free_large_batch_memory(random);
    PROBE_CHECK(purge_after(0));

    unsigned purges = 0;
    for (unsigned index = 0; index < kBursts; ++index) {
        const unsigned before = vak::heap::purge_generation();
        burst(index);
        PROBE_CHECK(purge_after(before));
        purges += vak::heap::purge_generation() - before;
        // Every other burst follows at once, while the purger thread may still be ending.
        if (index % 2 == 1) probe::sleep_ms(400);
    }
    // Quiet from here on: the purger ends and purges no more, so a stretch of
    // 700 ms without a purge comes soon (a late purge of the last burst aside).
    PROBE_CHECK(probe::wait_until(
        [] {
            const unsigned seen = vak::heap::purge_generation();
            probe::sleep_ms(700);
            return vak::heap::purge_generation() == seen;
        },
        5000));
    std::printf("purger: ok (%u bursts, %u purges, pool of %zu)\n", kBursts, purges,
                vak::scan::WorkerPool::instance().size());
}

// The child of a process whose other threads used the purger: it must be able
// to ask for purges, and get them, on its own (which starts a purger thread).
[[noreturn]] void child_frees(bool wait_for_purge) {
    probe::limit_run_time(15);
    if (!probe::kForkedChildrenStartThreads) std::_Exit(0);
    const unsigned before = vak::heap::purge_generation();
    free_a_large_block(7);
    if (wait_for_purge) PROBE_CHECK(purge_after(before));
    std::_Exit(0);
}

void run_fork() {
    constexpr unsigned kAskingThreads = 2;
    constexpr unsigned kForks = 100;
    // The heap's first allocation reads the machine's memory size into a
    // function-local static; a fork while another thread does that would leave
    // the child waiting for it. The probe's subject is the purger: read it first.
    free_a_large_block(0);
    std::atomic<bool> done{false};
    std::vector<std::thread> asking;
    for (unsigned t = 0; t < kAskingThreads; ++t) {
        asking.emplace_back([&, t] {
            for (unsigned k = 0; !done.load(); ++k) {
                if (k % 1024 == 0) free_a_large_block(t);
                vak::heap::purge_soon();
            }
        });
    }
    for (unsigned k = 0; k < kForks; ++k) {
        const pid_t child = ::fork();
        PROBE_CHECK(child >= 0);
        if (child == 0) child_frees(k % 25 == 0);
        int status = 0;
        PROBE_CHECK(::waitpid(child, &status, 0) == child);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "child %u: %s %d\n", k,
                         WIFEXITED(status) ? "exit status" : "signal",
                         WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
            probe::fail("the forked child freed and purged", __FILE__, __LINE__);
        }
    }
    done.store(true);
    for (auto& thread : asking) thread.join();
    // The last purge asked for ends the purger thread before the process does.
    PROBE_CHECK(purge_after(vak::heap::purge_generation()));
    std::printf("purger fork: ok (%u children)\n", kForks);
}

}  // namespace

int main(int argc, char** argv) {
    probe::limit_run_time(120);
    const char* mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "purges") == 0) {
        run_purges();
    } else if (std::strcmp(mode, "fork") == 0) {
        run_fork();
    } else {
        std::fprintf(stderr, "usage: purger_threads_probe purges|fork\n");
        return 2;
    }
    return 0;
}

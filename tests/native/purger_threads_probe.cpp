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
// Prints what it saw; a failed check exits with status 1.
#include <atomic>
#include <cstdio>
#include <cstring>
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
    // Quiet from here on: the purger ends and purges no more.
    probe::sleep_ms(100);
    const unsigned settled = vak::heap::purge_generation();
    probe::sleep_ms(700);
    PROBE_CHECK(vak::heap::purge_generation() == settled);
    std::printf("purger: ok (%u bursts, %u purges, pool of %zu)\n", kBursts, purges,
                vak::scan::WorkerPool::instance().size());
}

}  // namespace

int main(int argc, char** argv) {
    probe::limit_run_time(120);
    const char* mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "purges") == 0) {
        run_purges();
    } else {
        std::fprintf(stderr, "usage: purger_threads_probe purges\n");
        return 2;
    }
    return 0;
}

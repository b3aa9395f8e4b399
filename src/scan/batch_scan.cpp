#include "scan/batch_scan.hpp"

#include <chrono>
#include <cstdio>

#include "scan/core_scan.hpp"
#include "scan/worker_pool.hpp"

namespace vak::scan {

Vec<ScanRecord> scan_batch(Vec<WordVec>& streams, bool record_invalid) {
    WorkerPool& pool = WorkerPool::instance();
    const auto start = std::chrono::steady_clock::now();

    // Every slot exists before any worker starts, so workers write in place.
    Vec<ScanRecord> records(streams.size());
    auto scan_one = [&](std::size_t k) {
        records[k] = scan_words(streams[k].data(), streams[k].size(), record_invalid);
    };
    pool.for_each_index(streams.size(), scan_one);
    Vec<WordVec>().swap(streams);  // on this thread, which made them and will reuse the memory

    if (pool.debug()) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "vak_orn_kernel: parallel phase %zu streams %lld ns\n", records.size(),
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
        std::fflush(stderr);
    }
    return records;
}

}  // namespace vak::scan

#include "scan/batch_scan.hpp"

#include "scan/core_scan.hpp"
#include "scan/pool_trace.hpp"
#include "scan/worker_pool.hpp"

namespace vak::scan {

Vec<ScanRecord> scan_batch(Vec<WordVec>& streams, bool record_invalid) {
    WorkerPool& pool = WorkerPool::instance();
    pool_trace::ParallelPhase phase(streams.size());

    // Every slot exists before any worker starts, so workers write in place.
    Vec<ScanRecord> records(streams.size());
    auto scan_one = [&](std::size_t k) {
        records[k] = scan_words(streams[k].data(), streams[k].size(), record_invalid);
    };
    pool.for_each_index(streams.size(), scan_one);
    Vec<WordVec>().swap(streams);  // on this thread, which made them and will reuse the memory

    phase.finish();
    return records;
}

}  // namespace vak::scan

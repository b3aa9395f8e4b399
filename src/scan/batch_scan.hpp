// The batch scan: many streams scanned in parallel, one record per stream.
#pragma once

#include <cstddef>

#include "common/heap_allocator.hpp"
#include "scan/pool_trace.hpp"
#include "scan/scan_record.hpp"
#include "scan/worker_pool.hpp"

namespace vak::scan {

// Scans stream k into record k on the worker pool (creating the pool on first
// use) and frees the streams. Runs without the interpreter lock; throws
// std::bad_alloc, with nothing partial kept, when memory runs out.
Vec<ScanRecord> scan_batch(Vec<WordVec>& streams, bool record_invalid);

// A batch of n streams whose first streams are scanned while the caller still
// makes the later ones, on a pool that exists already. The caller fills
// stream(k) and then publishes it (streams are published in index order);
// workers free each stream once scanned. finish() waits for every record, like
// scan_batch; a batch destroyed before finish() stops its workers and discards
// whatever they made.
class StreamingBatch {
public:
    // Throws std::bad_alloc.
    StreamingBatch(WorkerPool& pool, std::size_t n, bool record_invalid);
    ~StreamingBatch();
    StreamingBatch(const StreamingBatch&) = delete;
    StreamingBatch& operator=(const StreamingBatch&) = delete;

    WordVec& stream(std::size_t k) noexcept { return streams_[k]; }
    // Streams [0, ready) are complete and may be scanned; the first call wakes
    // the workers.
    void publish(std::size_t ready);
    // Runs without the interpreter lock; throws std::bad_alloc or
    // interrupt::Interrupted as scan_batch does.
    Vec<ScanRecord> finish();

private:
    struct ScanTask {
        StreamingBatch* batch;
        void operator()(std::size_t k);
    };

    WorkerPool& pool_;
    bool record_invalid_;
    Vec<WordVec> streams_;
    Vec<ScanRecord> records_;
    ScanTask task_{this};
    WorkerPool::Job job_;
    bool started_ = false;
    bool finished_ = false;
    pool_trace::ParallelPhase phase_;  // from the first stream made to the last record
};

}  // namespace vak::scan

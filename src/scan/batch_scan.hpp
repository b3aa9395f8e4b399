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

// A batch whose first streams are scanned while the caller still makes the
// later ones. The caller adds streams in order and publishes what it has added
// now and then; workers free each stream once scanned. The number of streams
// need not be known in advance: when the room reserved is used up, make_room()
// waits until every published stream is scanned (no other thread then touches
// the batch) and only then moves the streams. finish() waits for every record,
// like scan_batch; a batch destroyed before finish() stops its workers and
// discards whatever they made.
//
// Made with no pool (the process's first batch, whose streams must all convert
// before the pool may exist), it scans published streams on a helper thread of
// its own until finish() creates the pool, whose workers then join in.
class StreamingBatch {
public:
    // `pool` is null when no batch has created the pool yet.
    StreamingBatch(WorkerPool* pool, bool record_invalid) noexcept;
    ~StreamingBatch();
    StreamingBatch(const StreamingBatch&) = delete;
    StreamingBatch& operator=(const StreamingBatch&) = delete;

    // Room for `count` streams; throws std::bad_alloc.
    void reserve(std::size_t count);
    // Whether the next add() needs make_room() first.
    bool full() const noexcept { return streams_.size() == streams_.capacity(); }
    // Runs without the interpreter lock; throws std::bad_alloc (also when a
    // worker ran out of memory) or interrupt::Interrupted.
    void make_room();
    void add(WordVec&& words);
    std::size_t size() const noexcept { return streams_.size(); }
    // Lets the workers at every stream added so far (the first call wakes them).
    void publish();
    // Runs without the interpreter lock (it may create the pool); throws
    // std::bad_alloc or interrupt::Interrupted as scan_batch does.
    Vec<ScanRecord> finish();

private:
    struct ScanTask {
        StreamingBatch* batch;
        void operator()(std::size_t k);
    };

    void throw_if_failed() const;

    WorkerPool* pool_;
    bool record_invalid_;
    Vec<WordVec> streams_;
    Vec<ScanRecord> records_;
    ScanTask task_{this};
    WorkerPool::Job job_;
    WorkerPool::EarlyHelper helper_;  // declared after the job: gone before it
    std::size_t published_ = 0;
    bool started_ = false;  // handed to the pool: finish or abandon it there
    bool shared_ = false;   // a thread besides the caller may be in the job
    bool finished_ = false;
    pool_trace::ParallelPhase phase_{0};  // from construction to the last record
};

}  // namespace vak::scan

#include "scan/batch_scan.hpp"

#include "scan/core_scan.hpp"

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

StreamingBatch::StreamingBatch(WorkerPool& pool, std::size_t n, bool record_invalid)
    : pool_(pool),
      record_invalid_(record_invalid),
      streams_(n),
      records_(n),
      job_(n, task_),
      phase_(n) {}

StreamingBatch::~StreamingBatch() {
    if (started_ && !finished_) pool_.abandon(job_);
}

void StreamingBatch::ScanTask::operator()(std::size_t k) {
    WordVec& words = batch->streams_[k];
    batch->records_[k] = scan_words(words.data(), words.size(), batch->record_invalid_);
    // Freed at once: the caller's next streams reuse the memory while it is warm.
    WordVec().swap(words);
}

void StreamingBatch::publish(std::size_t ready) {
    if (!started_) {
        pool_.start(job_);
        started_ = true;
    }
    WorkerPool::publish(job_, ready);
}

Vec<ScanRecord> StreamingBatch::finish() {
    if (!started_) {
        pool_.start(job_);
        started_ = true;
    }
    finished_ = true;  // finish() waits for every worker, whatever it throws
    pool_.finish(job_);
    phase_.finish();
    return std::move(records_);
}

}  // namespace vak::scan

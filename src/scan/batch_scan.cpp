#include "scan/batch_scan.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/interrupt.hpp"
#include "common/invariant.hpp"
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

StreamingBatch::StreamingBatch(WorkerPool* pool, bool record_invalid) noexcept
    : pool_(pool), record_invalid_(record_invalid), job_(WorkerPool::Job::kOpen, task_) {}

StreamingBatch::~StreamingBatch() {
    if (finished_) return;
    if (started_) pool_->abandon(job_);
    helper_.stop();
}

void StreamingBatch::ScanTask::operator()(std::size_t k) {
    WordVec& words = batch->streams_[k];
    batch->records_[k] = scan_words(words.data(), words.size(), batch->record_invalid_);
    // Freed at once: the caller's next streams reuse the memory while it is warm.
    WordVec().swap(words);
}

void StreamingBatch::reserve(std::size_t count) {
    if (published_ > 0) return;
    streams_.reserve(count);
    records_.reserve(count);
}

void StreamingBatch::make_room() {
    // Nothing published may be in another thread's hands while the streams move.
    for (unsigned spins = 0; shared_ && job_.completed() < published_; ++spins) {
        throw_if_failed();
        interrupt::poll();
        if (spins < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    const std::size_t room = std::max<std::size_t>(2 * streams_.capacity(), 16);
    streams_.reserve(room);
    records_.reserve(room);
}

void StreamingBatch::add(WordVec&& words) {
    VAK_EXPECT(!full(), "room was made for the stream");
    records_.emplace_back();
    streams_.push_back(std::move(words));
}

void StreamingBatch::publish() {
    published_ = streams_.size();
    if (pool_ != nullptr && !started_) {
        shared_ = pool_->start(job_, streams_.capacity()) || helper_.running();
        started_ = true;
    } else if (pool_ == nullptr && !helper_.running() && published_ >= 2) {
        // With one stream so far there is nothing to share yet.
        shared_ = helper_.start(job_);
    }
    WorkerPool::publish(job_, published_);
}

Vec<ScanRecord> StreamingBatch::finish() {
    // The process's first batch: every stream has converted, so it may create the pool.
    if (pool_ == nullptr) pool_ = &WorkerPool::instance();
    if (!started_ && !helper_.running() && streams_.size() < 2) {
        // Nothing to share: scanned here, as scan_batch does.
        for (std::size_t k = 0; k < streams_.size(); ++k) task_(k);
        finished_ = true;
        phase_.finish(streams_.size());
        return std::move(records_);
    }
    if (!started_) {
        pool_->start(job_, streams_.size());
        started_ = true;
    }
    finished_ = true;  // finish() waits for every worker, whatever it throws
    try {
        pool_->finish(job_, streams_.size());
    } catch (...) {
        helper_.stop();  // the job has failed: no task of it is worth finishing
        throw;
    }
    helper_.finish();  // every task is claimed: it leaves after its last one
    throw_if_failed();
    phase_.finish(streams_.size());
    return std::move(records_);
}

void StreamingBatch::throw_if_failed() const {
    if (job_.out_of_memory()) throw std::bad_alloc();
    if (job_.cancelled()) throw interrupt::Interrupted{};
}

}  // namespace vak::scan

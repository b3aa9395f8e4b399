// scan_stream_batch: strict conversion of every stream, the parallel scan with
// the lock released, then one result dictionary per stream in input order.
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"
#include "module/scan_result.hpp"
#include "scan/batch_scan.hpp"
#include "scan/core_scan.hpp"

namespace vak::py {

namespace {

bool check_stream_lengths(const Vec<WordVec>& streams) {
    for (const WordVec& stream : streams) {
        if (!check_stream_length(stream.size())) return false;
    }
    return true;
}

// Converts the records in slot order. When record k fails, the records after it
// are freed unconverted and the dictionaries before it released. A dictionary
// takes microseconds to build: signals are looked at between any two.
PyObject* build_result_list(Vec<scan::ScanRecord>& records) {
    Vec<PyRef> dicts;
    dicts.reserve(records.size());
    SignalPace pace(1);
    for (scan::ScanRecord& record : records) {
        pace.step();
        PyRef dict(build_scan_result(std::move(record)));
        if (!dict) return nullptr;
        dicts.push_back(std::move(dict));
    }
    return list_of(dicts).release();
}

// Streams published to the workers at a time: enough words that waking a waiting
// worker costs little beside scanning them.
constexpr std::size_t kPublishWords = std::size_t{1} << 16;

// Hands each converted stream to a batch whose workers scan the first streams
// while the later ones are still converted (each stream complete before it is
// handed over; the lock is given up only to wait).
class HandOver final : public StreamSink {
public:
    explicit HandOver(scan::StreamingBatch& batch) noexcept : batch_(batch) {}

    void reserve(std::size_t count) override { batch_.reserve(count); }

    void push_back(WordVec&& stream) override {
        if (!check_stream_length(stream.size())) throw ErrorPending{};
        if (batch_.full() && !run_released([&] { batch_.make_room(); })) throw ErrorPending{};
        unpublished_words_ += stream.size();
        batch_.add(std::move(stream));
        if (unpublished_words_ >= kPublishWords) {
            batch_.publish();
            unpublished_words_ = 0;
        }
    }

private:
    scan::StreamingBatch& batch_;
    std::size_t unpublished_words_ = 0;
};

// Streams are scanned while later ones convert (in the process's first batch,
// on a helper thread until the pool may exist), unless record_invalid needs a
// conversion that could fail or run code after the streams'.
PyObject* scan_converting_meanwhile(scan::WorkerPool* pool, PyObject* streams,
                                    bool record_invalid) {
    scan::StreamingBatch batch(pool, record_invalid);
    HandOver sink(batch);
    if (!to_word_vectors(streams, sink)) return argument_error("streams");
    Vec<scan::ScanRecord> records;
    if (!run_released([&] { records = batch.finish(); })) return nullptr;
    return build_result_list(records);
}

}  // namespace

PyObject* scan_stream_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"streams", "record_invalid"};
        static const Signature kSig{"scan_stream_batch", kParams, 2, 1};
        PyObject* slots[2] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        if (slots[1] == nullptr || PyBool_Check(slots[1])) {
            return scan_converting_meanwhile(scan::WorkerPool::existing(), slots[0],
                                             slots[1] == Py_True);
        }
        Vec<WordVec> streams;
        if (!to_word_vectors(slots[0], streams)) return argument_error("streams");
        bool record_invalid = false;
        if (slots[1] != nullptr && !to_bool(slots[1], record_invalid)) {
            return argument_error("record_invalid");
        }
        if (!check_stream_lengths(streams)) return nullptr;

        Vec<scan::ScanRecord> records;
        if (!run_released([&] { records = scan::scan_batch(streams, record_invalid); })) {
            return nullptr;
        }
        return build_result_list(records);
    });
}

}  // namespace vak::py

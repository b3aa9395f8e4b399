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

// The batch of a tuple (or a list's snapshot) of two or more streams, once the pool exists:
// the workers scan the first streams while this thread converts the later ones
// (each stream is still complete before it is handed over, and the lock is given
// up only once every stream is converted). The streams are the items the
// sequence held when the call began. Fails, with nothing kept, exactly as the
// conversion of the whole batch first would.
PyObject* scan_converting_meanwhile(scan::WorkerPool& pool, PyObject* items, bool record_invalid) {
    const std::size_t n = static_cast<std::size_t>(PyTuple_Size(items));
    scan::StreamingBatch batch(pool, n, record_invalid);
    SignalPace pace(1);
    std::size_t unpublished_words = 0;
    for (std::size_t k = 0; k < n; ++k) {
        pace.step();
        WordVec& stream = batch.stream(k);
        PyObject* item = PyTuple_GetItem(items, static_cast<Py_ssize_t>(k));
        if (item == nullptr) return nullptr;
        if (!to_word_vector(item, stream)) return argument_error("streams");
        if (!check_stream_length(stream.size())) return nullptr;
        unpublished_words += stream.size();
        if (unpublished_words >= kPublishWords) {
            batch.publish(k + 1);
            unpublished_words = 0;
        }
    }
    Vec<scan::ScanRecord> records;
    if (!run_released([&] { records = batch.finish(); })) return nullptr;
    return build_result_list(records);
}

// A pipeline is worth its hand-overs only where the pool is already there (the
// first batch of a process makes it once the arguments have converted), there
// are two streams or more in a tuple, and record_invalid needs no conversion
// that could fail or run code after the streams'.
bool worth_converting_meanwhile(PyObject* streams, PyObject* record_invalid) {
    return scan::WorkerPool::existing() != nullptr && PyTuple_CheckExact(streams) &&
           PyTuple_Size(streams) >= 2 &&
           (record_invalid == nullptr || PyBool_Check(record_invalid));
}

}  // namespace

PyObject* scan_stream_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"streams", "record_invalid"};
        static const Signature kSig{"scan_stream_batch", kParams, 2, 1};
        PyObject* slots[2] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        // A list is read as it was when the call began, whatever an item's
        // __index__ or a signal handler does to it meanwhile.
        PyRef snapshot = PyList_CheckExact(slots[0]) ? PyRef(PyList_AsTuple(slots[0]))
                                                     : PyRef::borrowed(slots[0]);
        if (!snapshot) return nullptr;
        if (worth_converting_meanwhile(snapshot.get(), slots[1])) {
            return scan_converting_meanwhile(*scan::WorkerPool::existing(), snapshot.get(),
                                             slots[1] == Py_True);
        }
        Vec<WordVec> streams;
        if (!to_word_vectors(snapshot.get(), streams)) return argument_error("streams");
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

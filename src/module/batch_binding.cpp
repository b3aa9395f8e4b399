// scan_stream_batch: strict conversion of every stream, the parallel scan with
// the lock released, then one result dictionary per stream in input order.
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
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
// are freed unconverted and the dictionaries before it released.
PyObject* build_result_list(Vec<scan::ScanRecord>& records) {
    Vec<PyRef> dicts;
    dicts.reserve(records.size());
    for (scan::ScanRecord& record : records) {
        PyRef dict(build_scan_result(std::move(record)));
        if (!dict) return nullptr;
        dicts.push_back(std::move(dict));
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(dicts.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < dicts.size(); ++k) {
        // PyList_SetItem steals the reference, even when it fails.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), dicts[k].release()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

}  // namespace

PyObject* scan_stream_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"streams", "record_invalid"};
        static const Signature kSig{"scan_stream_batch", kParams, 2, 1};
        PyObject* slots[2] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
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

// scan_stream: the fast path, the tolerant fallback and the released core scan.

#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/integer_buffer.hpp"
#include "module/py_ref.hpp"
#include "module/scan_result.hpp"
#include "scan/core_scan.hpp"
#include "scan/word_model.hpp"

namespace vak::py {

namespace {

// Reads one item of the tolerant path into a word, or into an item error whose
// reason is kept only when the result will carry it (`reasons` is null otherwise).
void read_tolerant_item(PyObject* item, WordVec& words, ItemReasons* reasons) {
    if (PyBool_Check(item)) {  // exactly bool: the type cannot be subclassed
        words.push_back(item == Py_True ? 1u : 0u);
        return;
    }
    if (PyLong_CheckExact(item)) {
        const long value = PyLong_AsLong(item);
        if (value == -1 && PyErr_Occurred()) {
            clear_expected({PyExc_OverflowError});  // beyond the signed 64-bit range
            if (reasons != nullptr) reasons->push_back(out_of_signed_range_reason());
        } else if (value < 0 || value > long{scan::kWordMask}) {
            if (reasons != nullptr) reasons->push_back(out_of_range_reason(value));
        } else {
            words.push_back(static_cast<std::uint32_t>(value));
            return;
        }
    } else if (reasons != nullptr) {
        reasons->push_back(non_int_reason(item));
    }
    words.push_back(scan::kItemError);
}

// The tolerant path: every item becomes a word or an item error. Fails only when
// iteration itself raises.
bool read_tolerant(PyObject* stream, WordVec& words, ItemReasons* reasons) {
    reserve_for_items(stream, words);
    PyRef iterator(PyObject_GetIter(stream));
    if (!iterator) return false;
    SignalPace pace;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        pace.step();
        read_tolerant_item(item.get(), words, reasons);
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* scan_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"stream", "record_invalid"};
        static const Signature kSig{"scan_stream", kParams, 2, 1};
        PyObject* slots[2] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        bool record_invalid = false;
        if (slots[1] != nullptr && !to_bool(slots[1], record_invalid)) {
            return argument_error("record_invalid");
        }
        scan::ScanRecord record;
        {
            WordVec words;
            if (to_word_vector(slots[0], words)) {
                if (!check_stream_length(words.size())) return nullptr;
                if (!run_released([&] {
                        record = scan::scan_words(words.data(), words.size(), record_invalid);
                    })) {
                    return nullptr;
                }
                WordVec().swap(words);
                return build_scan_result(std::move(record));
            }
        }
        // The tolerant path reads what the fast path refused: a str, a
        // non-sequence, an item that is not an integer (TypeError) or is out of
        // range (OverflowError). Any other exception (a signal handler's, one
        // sent from another thread, MemoryError) ends the call unchanged.
        clear_expected({PyExc_TypeError, PyExc_OverflowError});
        WordVec entries;
        ItemReasons reasons;
        ItemReasons* const kept = record_invalid ? &reasons : nullptr;
        // An integer array is read by value, not as the array's own scalar objects.
        if (read_tolerant_buffer(slots[0], entries, kept) == BufferRead::not_applicable &&
            !read_tolerant(slots[0], entries, kept)) {
            return nullptr;
        }
        if (!check_stream_length(entries.size())) return nullptr;
        if (!run_released([&] {
                record = scan::scan_words(entries.data(), entries.size(), record_invalid);
            })) {
            return nullptr;
        }
        return build_scan_result(std::move(record), &reasons);
    });
}

}  // namespace vak::py

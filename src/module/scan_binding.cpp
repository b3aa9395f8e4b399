// scan_stream: the fast path, the tolerant fallback and the released core scan.
#include <cinttypes>
#include <cstdio>

#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "module/scan_result.hpp"
#include "scan/core_scan.hpp"

namespace vak::py {

namespace {

MiString index_prefix(Py_ssize_t index) {
    char text[48];
    const int length = std::snprintf(text, sizeof text, "index %lld: ", static_cast<long long>(index));
    return MiString(text, static_cast<std::size_t>(length));
}

// `str()` of the type's name; "unknown" when the name cannot be obtained.
MiString type_name_of(PyObject* item) {
    PyRef name(PyType_GetName(Py_TYPE(item)));
    if (name) {
        // The name is a str already; str() of anything else may run handlers.
        PyRef text = PyUnicode_CheckExact(name.get()) ? std::move(name) : PyRef(PyObject_Str(name.get()));
        if (text) {
            Py_ssize_t length = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
            if (utf8 != nullptr) return MiString(utf8, static_cast<std::size_t>(length));
        }
    }
    absorb_ordinary_error();
    return MiString("unknown");
}

// Reads one item of the tolerant path into a word, or into an item error. The
// error's message is built only when the result will carry it (`item_errors`
// is null otherwise).
void read_tolerant_item(PyObject* item, Py_ssize_t index, WordVec& words,
                        Vec<MiString>* item_errors) {
    if (PyBool_Check(item)) {
        const int truth = PyObject_IsTrue(item);
        if (truth < 0) PyErr_Clear();
        words.push_back(truth > 0 ? 1u : 0u);
        return;
    }
    MiString message;
    if (PyLong_CheckExact(item)) {
        const long value = PyLong_AsLong(item);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            if (item_errors != nullptr) message = index_prefix(index) + "word out of range int";
        } else if (value < 0 || value > 0xFFFFF) {
            if (item_errors != nullptr) {
                char number[32];
                std::snprintf(number, sizeof number, "%ld", value);
                message = index_prefix(index) + "word out of range " + number;
            }
        } else {
            words.push_back(static_cast<std::uint32_t>(value));
            return;
        }
    } else if (item_errors != nullptr) {
        message = index_prefix(index) + "non-int word type=" + type_name_of(item);
    }
    if (item_errors != nullptr) item_errors->push_back(std::move(message));
    words.push_back(scan::kItemError);
}

// The tolerant path: every item becomes a word or an item error. Fails only when
// iteration itself raises.
bool read_tolerant(PyObject* stream, WordVec& words, Vec<MiString>* item_errors) {
    PyRef iterator(PyObject_GetIter(stream));
    if (!iterator) return false;
    Py_ssize_t index = 0;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        check_signals_at(static_cast<std::size_t>(index));
        read_tolerant_item(item.get(), index++, words, item_errors);
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
        absorb_ordinary_error();  // the tolerant path reads what the fast path refused
        WordVec entries;
        Vec<MiString> item_errors;
        if (!read_tolerant(slots[0], entries, record_invalid ? &item_errors : nullptr)) {
            return nullptr;
        }
        if (!check_stream_length(entries.size())) return nullptr;
        if (!run_released([&] {
                record = scan::scan_entries(entries.data(), entries.size(), record_invalid,
                                            item_errors);
            })) {
            return nullptr;
        }
        return build_scan_result(std::move(record));
    });
}

}  // namespace vak::py

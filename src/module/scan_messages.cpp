#include "module/scan_messages.hpp"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "common/invariant.hpp"
#include "module/call_frame.hpp"
#include "module/result_builders.hpp"

namespace vak::py {

namespace {

// `str()` of the type's name; "unknown" when the name cannot be obtained.
HeapString type_name_of(PyObject* item) {
    PyRef name(PyType_GetName(Py_TYPE(item)));
    if (name) {
        // The name is a str already; str() of anything else may run handlers.
        PyRef text =
            PyUnicode_CheckExact(name.get()) ? std::move(name) : PyRef(PyObject_Str(name.get()));
        if (text) {
            Py_ssize_t length = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
            if (utf8 != nullptr) return HeapString(utf8, static_cast<std::size_t>(length));
        }
    }
    clear_expected({PyExc_UnicodeError});  // a name without a UTF-8 form
    return HeapString("unknown");
}

PyObject* message(const scan::InvalidEntry& entry, const ItemReasons* reasons,
                  std::size_t& next_reason) {
    char text[96];
    const bool item_error = reasons != nullptr && entry.word == scan::kItemError;
    int length = item_error ? std::snprintf(text, sizeof text, "index %" PRIu64 ": ", entry.index)
                            : std::snprintf(text, sizeof text,
                                            "index %" PRIu64 ": word out of range %" PRIu32,
                                            entry.index, entry.word);
    if (!item_error) return PyUnicode_FromStringAndSize(text, length);
    VAK_EXPECT(next_reason < reasons->size(), "every item error has a reason");
    HeapString full(text, static_cast<std::size_t>(length));
    full += (*reasons)[next_reason++];
    return PyUnicode_FromStringAndSize(full.data(), static_cast<Py_ssize_t>(full.size()));
}

}  // namespace

HeapString out_of_range_reason(long value) {
    char text[48];
    const int length = std::snprintf(text, sizeof text, "word out of range %ld", value);
    return HeapString(text, static_cast<std::size_t>(length));
}

HeapString out_of_signed_range_reason() {
    return HeapString("word out of range int");
}

HeapString non_int_reason(PyObject* item) {
    return "non-int word type=" + type_name_of(item);
}

PyRef validation_errors(const Vec<scan::InvalidEntry>& entries, const ItemReasons* reasons) {
    PyRef list = placeholder_list(entries.size());
    if (!list) return list;
    std::size_t next_reason = 0;
    SignalPace pace;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        pace.step();
        PyObject* item = message(entries[i], reasons, next_reason);
        if (item == nullptr) return PyRef();
        replace_item(list.get(), i, item);
    }
    return list;
}

}  // namespace vak::py

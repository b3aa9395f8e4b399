#include "module/call_frame.hpp"

#include <cstdio>
#include <cstring>

#include "common/heap_allocator.hpp"

#include "common/invariant.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

namespace {

// Joins quoted names the way the interpreter does: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
HeapString quoted_name_list(const char* const* names, Py_ssize_t count) {
    HeapString out;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count == 2)
                out += " and ";
            else if (i == count - 1)
                out += ", and ";
            else
                out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

HeapString number(Py_ssize_t value) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return HeapString(text, static_cast<std::size_t>(length));
}

void set_type_error(const HeapString& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = sig.count;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) slots[i] = args[i];

    if (nargs > n) {
        HeapString msg = HeapString(sig.function) + "()";
        if (sig.required == n) {
            msg += " takes " + number(n);
        } else {
            msg += " takes from " + number(sig.required) + " to " + number(n);
        }
        msg += " positional arguments but " + number(nargs) +
               (nargs == 1 ? " was given" : " were given");
        set_type_error(msg);
        return false;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GetItem(kwnames, k);  // borrowed
        if (name == nullptr) return false;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
        Py_ssize_t match = -1;
        if (utf8 == nullptr) {
            clear_expected({PyExc_UnicodeError});  // a surrogate: reported by str(name)
        } else {
            for (Py_ssize_t p = 0; p < n; ++p) {
                if (static_cast<std::size_t>(len) == std::strlen(sig.params[p]) &&
                    std::memcmp(utf8, sig.params[p], static_cast<std::size_t>(len)) == 0) {
                    match = p;
                    break;
                }
            }
        }
        if (match < 0) {
            PyRef text(PyObject_Str(name));
            if (!text) return false;
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, text.get());
            return false;
        }
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.function, sig.params[match]);
            return false;
        }
        slots[match] = args[nargs + k];
    }

    VAK_EXPECT(sig.required <= 16, "signatures have at most 16 parameters");
    const char* missing[16];
    Py_ssize_t missing_count = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing[missing_count++] = sig.params[i];
    }
    if (missing_count > 0) {
        set_type_error(HeapString(sig.function) + "() missing " + number(missing_count) +
                       " required positional " + (missing_count == 1 ? "argument" : "arguments") +
                       ": " + quoted_name_list(missing, missing_count));
        return false;
    }
    return true;
}

bool cleared_if_expected(std::initializer_list<PyObject*> expected) {
    ensure_exception_set();
    for (PyObject* type : expected) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

void clear_expected(std::initializer_list<PyObject*> expected) {
    if (!cleared_if_expected(expected)) throw ErrorPending{};
}

void ensure_exception_set() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

PyObject* argument_error(const char* param) {
    ensure_exception_set();
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_tb = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
    if (raw_type != PyExc_TypeError) {
        PyErr_Restore(raw_type, raw_value, raw_tb);
        return nullptr;
    }
    PyRef type(raw_type), value(raw_value), tb(raw_tb);
    PyRef text(PyObject_Str(value.get()));
    if (!text) return nullptr;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return nullptr;
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return nullptr;
    // The new error carries the original's cause, not the original itself.
    PyObject* cause = PyException_GetCause(value.get());  // new reference or nullptr
    if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return nullptr;
}

void type_check_failure(PyObject* obj, const char* expected) {
    PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
    const char* name = nullptr;
    if (qualname) name = PyUnicode_AsUTF8AndSize(qualname.get(), nullptr);
    if (name == nullptr) {
        // A name without a UTF-8 form is replaced; anything else (MemoryError)
        // is the failure. Buffer slots call this too, so it throws nothing.
        if (!cleared_if_expected({PyExc_UnicodeError})) return;
        name = "<failed to extract type name>";
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name, expected);
}

}  // namespace vak::py

#include "module/result_builders.hpp"

#include <cstring>

#include "module/py_ref.hpp"

namespace vak::py {

PyRef make_text(const char* value) {
    return PyRef(PyUnicode_FromStringAndSize(value, static_cast<Py_ssize_t>(std::strlen(value))));
}

}  // namespace vak::py

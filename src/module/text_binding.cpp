#include "module/entry_points.hpp"

namespace vak::py {

PyObject* encode_text(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "encode_text");
    return nullptr;
}

}  // namespace vak::py

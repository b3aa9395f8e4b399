#include "module/entry_points.hpp"

namespace vak::py {

PyObject* scan_stream_batch(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "scan_stream_batch");
    return nullptr;
}

}  // namespace vak::py

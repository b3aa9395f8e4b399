#include "module/entry_points.hpp"

namespace vak::py {

PyObject* encode_quadtree(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "encode_quadtree");
    return nullptr;
}

PyObject* decode_quadtree(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "decode_quadtree");
    return nullptr;
}

}  // namespace vak::py

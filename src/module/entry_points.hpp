// The seven module functions, each defined in the binding file of its subsystem.
#pragma once

#include <Python.h>

namespace vak::py {

PyObject* configure_normal_words(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* backend_info(PyObject* module, PyObject* unused);
PyObject* encode_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encode_quadtree(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* decode_quadtree(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* scan_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scan_stream_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace vak::py

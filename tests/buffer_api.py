"""The interpreter's buffer request, called directly through ctypes, so that tests
can ask for what no Python-level consumer asks for (a writable view, a null view)."""
import ctypes

PyBUF_SIMPLE = 0
PyBUF_WRITABLE = 0x0001


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p),
                ("strides", ctypes.c_void_p), ("suboffsets", ctypes.c_void_p),
                ("internal", ctypes.c_void_p)]


def get_buffer(obj, view_address, flags):
    """PyObject_GetBuffer(obj, view, flags); raises the exception it sets."""
    fn = ctypes.pythonapi.PyObject_GetBuffer
    fn.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    fn.restype = ctypes.c_int
    return fn(obj, view_address, flags)


def release_buffer(view_address):
    fn = ctypes.pythonapi.PyBuffer_Release
    fn.argtypes = [ctypes.c_void_p]
    fn(view_address)

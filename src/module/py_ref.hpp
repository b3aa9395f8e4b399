// Owning handle for a PyObject*: every path out of a scope releases it.
#pragma once

#include <Python.h>

#include <utility>

namespace vak::py {

namespace detail {
// Set while this thread takes the interpreter lock back. If the interpreter is
// shutting down, it ends the thread there by unwinding it; objects still owned by
// the frames above are then left alone (the process is going away).
inline thread_local bool t_lock_lost = false;
}  // namespace detail

class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
    static PyRef borrowed(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~PyRef() {
        if (!detail::t_lock_lost) Py_XDECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (for APIs that steal, or for returning).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace vak::py

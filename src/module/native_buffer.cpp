#include "module/native_buffer.hpp"

#include <new>
#include <utility>

#include "common/invariant.hpp"
#include "module/call_frame.hpp"
#include "module/interpreter_life.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

namespace {

struct NativeBufferObject {
    PyObject_HEAD PayloadVec storage;
    Py_ssize_t shape;
    Py_ssize_t strides;
    char format[2];
};

// The type of the current interpreter, made on first use; forgotten (not
// released) when that interpreter is finalised.
PyObject* g_type = nullptr;

bool is_native_buffer(PyObject* obj) {
    return g_type != nullptr &&
           PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_type)) != 0;
}

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    if (!is_native_buffer(self)) {
        type_check_failure(self, "NativeBuffer");
        return -1;
    }
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "View is null");
        return -1;
    }
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable");
        return -1;
    }
    auto* obj = reinterpret_cast<NativeBufferObject*>(self);
    view->obj = Py_NewRef(self);
    view->buf = obj->storage.empty() ? nullptr : obj->storage.data();
    view->len = obj->shape * 4;
    view->itemsize = 4;
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? obj->format : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &obj->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &obj->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void buffer_release(PyObject* self, Py_buffer*) {
    if (!is_native_buffer(self)) {
        type_check_failure(self, "NativeBuffer");
        PyErr_WriteUnraisable(self);
    }
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name(PyType_GetName(type));
    if (!name) {
        // A name without a UTF-8 form; anything else (MemoryError) is reported.
        if (!cleared_if_expected({PyExc_UnicodeError})) return nullptr;
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<NativeBufferObject*>(self)->storage.~PayloadVec();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot kSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(buffer_release)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.NativeBuffer",
    static_cast<int>(sizeof(NativeBufferObject)),
    0,
    // Immutable like the interpreter's own types: assigning NativeBuffer.__new__
    // would otherwise make instances with no storage behind them.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* native_buffer_type() {
    if (g_type == nullptr) {
        PyRef bases(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        if (!bases) return nullptr;
        g_type = PyType_FromSpecWithBases(&kSpec, bases.get());
    }
    return g_type;
}

void forget_native_buffer_type() noexcept {
    g_type = nullptr;
}

PyObject* make_native_buffer(PayloadVec&& words) {
    PayloadVec owned = std::move(words);  // freed here if the object cannot be made
    PyObject* type = native_buffer_type();
    VAK_EXPECT(type != nullptr, "failed to create type object for NativeBuffer");
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(tp, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<NativeBufferObject*>(self);
    new (&obj->storage) PayloadVec(std::move(owned));
    obj->shape = static_cast<Py_ssize_t>(obj->storage.size());
    obj->strides = 4;
    obj->format[0] = 'I';
    obj->format[1] = '\0';
    return self;
}

}  // namespace vak::py

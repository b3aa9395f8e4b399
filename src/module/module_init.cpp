// Module entry: the sub-interpreter guard, the once-cell and registration.
//
// The guard and the cell last for one life of the main interpreter: an embedding
// program that finalises it and starts a new one gets a new module object (see
// interpreter_life.hpp). Within one life the module is made once.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "common/heap.hpp"
#include "common/invariant.hpp"
#include "common/kernel_choice.hpp"
#include "module/call_frame.hpp"
#include "module/entry_points.hpp"
#include "module/interpreter_life.hpp"
#include "module/module_identity.hpp"
#include "module/native_buffer.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"
#include "scan/pool_trace.hpp"
#include "scan/word_model.hpp"

namespace vak::py {

namespace {

constexpr std::int64_t kMainInterpreterId = 0;
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // the once-cell; emptied (not released) at finalisation

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, kModuleName, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef g_methods[] = {
    {"configure_normal_words", as_cfunction(configure_normal_words), METH_FASTCALL | METH_KEYWORDS,
     "configure_normal_words(words)\n--\n\n"},
    {"backend_info", as_cfunction(backend_info), METH_NOARGS, "backend_info()\n--\n\n"},
    {"encode_text", as_cfunction(encode_text), METH_FASTCALL | METH_KEYWORDS,
     "encode_text(text)\n--\n\n"},
    {"encode_quadtree", as_cfunction(encode_quadtree), METH_FASTCALL | METH_KEYWORDS,
     "encode_quadtree(image_data, width, height, bit_depth, threshold)\n--\n\n"},
    {"decode_quadtree", as_cfunction(decode_quadtree), METH_FASTCALL | METH_KEYWORDS,
     "decode_quadtree(words)\n--\n\n"},
    {"scan_stream", as_cfunction(scan_stream), METH_FASTCALL | METH_KEYWORDS,
     "scan_stream(stream, record_invalid=False)\n--\n\n"},
    {"scan_stream_batch", as_cfunction(scan_stream_batch), METH_FASTCALL | METH_KEYWORDS,
     "scan_stream_batch(streams, record_invalid=False)\n--\n\n"},
};

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!cleared_if_expected({PyExc_AttributeError})) return false;
        all = PyRef(PyList_New(0));
        if (!all) return false;
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        type_check_failure(all.get(), "PyList");
        return false;
    }
    PyRef name_obj(PyUnicode_FromString(name));
    if (!name_obj) return false;
    VAK_EXPECT(PyList_Append(all.get(), name_obj.get()) == 0,
               "could not append __name__ to __all__");
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* definition) {
    PyRef module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return false;
    PyRef function(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        type_check_failure(name.get(), "PyString");
        return false;
    }
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr) return false;
    return add(module, text, function.get());
}

bool register_contents(PyObject* module) {
    {
        PyRef version = make_text(kModuleVersion);
        if (!version || !add(module, "__version__", version.get())) return false;
    }
    {
        PyRef mask(PyLong_FromLong(scan::kWordMask));
        if (!mask || !add(module, "WORD_MASK", mask.get())) return false;
    }
    PyObject* type = native_buffer_type();  // borrowed, process-wide
    if (type == nullptr) {
        // Chain the underlying failure as the cause of the RuntimeError.
        PyObject *cause_type = nullptr, *cause = nullptr, *cause_tb = nullptr;
        PyErr_Fetch(&cause_type, &cause, &cause_tb);
        PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
        PyRef owned_type(cause_type), owned_tb(cause_tb);
        PyRef error(PyObject_CallFunction(
            PyExc_RuntimeError, "s", "An error occurred while initializing class NativeBuffer"));
        if (!error) return false;
        if (cause != nullptr) PyException_SetCause(error.get(), cause);  // steals
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        return false;
    }
    if (!add(module, "NativeBuffer", type)) return false;
    for (PyMethodDef& definition : g_methods) {
        if (!add_function(module, &definition)) return false;
    }
    return true;
}

// The process-wide choices that the cores make on first use (which kernels run,
// whether the pool traces) are made here, under the interpreter lock and before
// any worker thread exists: a first use on a worker racing a fork() on another
// thread could leave the child's copy of the choice half made, and the child
// would wait for it forever.
void settle_process_choices() {
    static_cast<void>(kernel_choice::settle());
    static_cast<void>(scan::pool_trace::enabled());
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        ensure_exception_set();
        return nullptr;
    }
    // Only the main interpreter may own the module. A sub-interpreter is refused
    // before anything is made: its import may be refused by the interpreter
    // after this function returns (3.12+ isolated interpreters refuse modules
    // like this one), and owning the guard would then lock the main interpreter
    // out for good; the process-wide objects must not live in its memory either.
    std::int64_t expected = -1;
    if (id != kMainInterpreterId ||
        (!g_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
         expected != id)) {
        PyErr_SetString(PyExc_ImportError,
                        "vak_orn_kernel does not support sub-interpreters: it can only be "
                        "imported in the main interpreter (see the project's issue tracker, "
                        "entry \"sub-interpreter support\")");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    if (!enter_interpreter_life()) return nullptr;
    heap::prefer_small_pages();
    prepare_signal_checks();
    settle_process_choices();
    PyRef module(PyModule_Create2(&g_definition, 3));
    if (!module) return nullptr;
    if (!register_contents(module.get())) return nullptr;
    if (g_module == nullptr) g_module = Py_NewRef(module.get());
    return Py_NewRef(g_module);
}

}  // namespace

void forget_module_cell() noexcept {
    g_module = nullptr;
    g_interpreter.store(-1, std::memory_order_seq_cst);
}

}  // namespace vak::py

// PyMODINIT_FUNC: extern "C", visible on ELF and Mach-O, dllexport on Windows.
PyMODINIT_FUNC PyInit_vak_orn_kernel() {
    return vak::py::guarded([] { return vak::py::initialise(); });
}

// backend_info: the build's identifiers and the live registry size.
#include <cstring>

#include "module/call_frame.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "registry/normal_word_registry.hpp"

namespace vak::py {

namespace {

PyRef text(const char* value) {
    return PyRef(PyUnicode_FromStringAndSize(value, static_cast<Py_ssize_t>(std::strlen(value))));
}

}  // namespace

PyObject* backend_info(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        PyRef report(PyDict_New());
        if (!report) return nullptr;
        const unsigned long long count = registry::normal_word_count();
        struct Entry {
            const char* key;
            PyRef value;
        };
        Entry entries[] = {
            {"backend", text("rust")},
            {"origin", text("pyo3_native_extension")},
            {"native", PyRef::borrowed(Py_True)},
            {"fallback_used", PyRef::borrowed(Py_False)},
            {"module_name", text("vak_orn_kernel")},
            {"module_version", text("0.1.0")},
            {"normal_word_count", PyRef(PyLong_FromUnsignedLongLong(count))},
            {"word_mask", PyRef(PyLong_FromLong(0xFFFFF))},
            {"payload_layout", text("u32le_bytes+spans_v1")},
            {"ffi_contract_version", text("orn_flat_u32le_v1")},
            {"normal_word_registry_kind", text("sorted_vec")},
            {"allocator", text("mimalloc")},
            {"scan_fast_path", text("u32_sequence_extract_v1")},
            {"text_encoder", text("rust_nfd_phf_v1")},
            {"image_encoder", text("rust_prefix_quadtree_v1")},
            {"image_decoder", text("rust_enhanced_quadtree_v1")},
            {"build_profile", text("release")},
        };
        for (Entry& entry : entries) {
            if (!entry.value) return nullptr;
            PyRef key = text(entry.key);
            if (!key) return nullptr;
            if (PyDict_SetItem(report.get(), key.get(), entry.value.get()) < 0) {
                ensure_exception_set();
                return nullptr;
            }
        }
        return report.release();
    });
}

}  // namespace vak::py

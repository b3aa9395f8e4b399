// backend_info: the build's identifiers and the live registry size.
#include "module/call_frame.hpp"
#include "module/entry_points.hpp"
#include "module/module_identity.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"
#include "registry/normal_word_registry.hpp"
#include "scan/word_model.hpp"

namespace vak::py {

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
            {"backend", make_text(kBackend)},
            {"origin", make_text(kOrigin)},
            {"native", PyRef::borrowed(Py_True)},
            {"fallback_used", PyRef::borrowed(Py_False)},
            {"module_name", make_text(kModuleName)},
            {"module_version", make_text(kModuleVersion)},
            {"normal_word_count", PyRef(PyLong_FromUnsignedLongLong(count))},
            {"word_mask", PyRef(PyLong_FromLong(scan::kWordMask))},
            {"payload_layout", make_text(kPayloadLayout)},
            {"ffi_contract_version", make_text(kFfiContractVersion)},
            {"normal_word_registry_kind", make_text("sorted_vec")},
            {"allocator", make_text("mimalloc")},
            {"scan_fast_path", make_text("u32_sequence_extract_v1")},
            {"text_encoder", make_text("rust_nfd_phf_v1")},
            {"image_encoder", make_text("rust_prefix_quadtree_v1")},
            {"image_decoder", make_text("rust_enhanced_quadtree_v1")},
            {"build_profile", make_text(kBuildProfile)},
        };
        for (Entry& entry : entries) {
            if (!entry.value) return nullptr;
            PyRef key = make_text(entry.key);
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

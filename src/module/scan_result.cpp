#include "module/scan_result.hpp"

#include <cstring>
#include <utility>

#include "module/call_frame.hpp"
#include "module/native_buffer.hpp"
#include "module/py_ref.hpp"
#include "module/module_identity.hpp"
#include "module/result_builders.hpp"
#include "scan/core_scan.hpp"

namespace vak::py {

namespace {

constexpr const char* kWordsKeys[scan::kSegmentModalityCount] = {
    "diagram_words_u32le", "music_words_u32le", "voice_words_u32le", "image_words_u32le",
    "mental_words_u32le",  "touch_words_u32le", "smell_words_u32le", "taste_words_u32le"};
constexpr const char* kSpansKeys[scan::kSegmentModalityCount] = {
    "diagram_spans_u32le", "music_spans_u32le", "voice_spans_u32le", "image_spans_u32le",
    "mental_spans_u32le",  "touch_spans_u32le", "smell_spans_u32le", "taste_spans_u32le"};

bool set_item(PyObject* dict, const char* key, PyRef value) {
    if (!value) return false;
    PyRef key_obj = make_text(key);
    if (!key_obj) return false;
    return PyDict_SetItem(dict, key_obj.get(), value.get()) == 0;
}

PyRef string_list(const Vec<MiString>& messages) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(messages.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        check_signals_at(i);
        PyObject* item = PyUnicode_FromStringAndSize(messages[i].data(),
                                                     static_cast<Py_ssize_t>(messages[i].size()));
        if (item == nullptr) return PyRef();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list;
}

}  // namespace

PyObject* build_scan_result(scan::ScanRecord&& record) {
    scan::ScanRecord owned = std::move(record);  // every array not handed over is freed here
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;

    PyRef counts(PyList_New(0));
    if (!counts) return nullptr;
    for (std::uint64_t count : owned.counts) {
        PyRef item(PyLong_FromUnsignedLongLong(count));
        if (!item || PyList_Append(counts.get(), item.get()) < 0) return nullptr;
    }
    PyRef errors = string_list(owned.validation_errors);
    if (!errors) return nullptr;

    if (!set_item(dict.get(), "text_words_u32le",
                  PyRef(make_native_buffer(std::move(owned.text_words)))) ||
        !set_item(dict.get(), "counts", std::move(counts))) {
        return nullptr;
    }
    for (std::size_t s = 0; s < scan::kSegmentModalityCount; ++s) {
        if (!set_item(dict.get(), kWordsKeys[s], PyRef(make_native_buffer(std::move(owned.words[s])))) ||
            !set_item(dict.get(), kSpansKeys[s], PyRef(make_native_buffer(std::move(owned.spans[s]))))) {
            return nullptr;
        }
    }
    PyRef modalities(PyList_New(0));
    if (!modalities) return nullptr;
    for (const char* name : scan::kSegmentNames) {
        PyRef item = make_text(name);
        if (!item || PyList_Append(modalities.get(), item.get()) < 0) return nullptr;
    }
    if (!set_item(dict.get(), "segment_modalities", std::move(modalities)) ||
        !set_item(dict.get(), "validation_errors", std::move(errors)) ||
        !set_item(dict.get(), "native_backend", PyRef::borrowed(Py_True)) ||
        !set_item(dict.get(), "backend", make_text(kBackend)) ||
        !set_item(dict.get(), "origin", make_text(kOrigin)) ||
        !set_item(dict.get(), "fallback_used", PyRef::borrowed(Py_False)) ||
        !set_item(dict.get(), "payload_layout", make_text(kPayloadLayout)) ||
        !set_item(dict.get(), "ffi_contract_version", make_text(kFfiContractVersion)) ||
        !set_item(dict.get(), "build_profile", make_text(kBuildProfile))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace vak::py

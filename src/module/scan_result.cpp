#include "module/scan_result.hpp"

#include <array>
#include <cstring>
#include <utility>

#include "module/interpreter_life.hpp"
#include "module/module_identity.hpp"
#include "module/native_buffer.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"
#include "scan/core_scan.hpp"

namespace vak::py {

namespace {

// The dictionary's keys in insertion order, then the fixed texts of its values.
enum Text : std::size_t {
    kTextWordsKey,
    kCountsKey,
    kFirstSegmentKey,  // words then spans of each segment modality, in slot order
    kSegmentModalitiesKey = kFirstSegmentKey + 2 * scan::kSegmentModalityCount,
    kValidationErrorsKey,
    kNativeBackendKey,
    kBackendKey,
    kOriginKey,
    kFallbackUsedKey,
    kPayloadLayoutKey,
    kFfiContractVersionKey,
    kBuildProfileKey,
    kBackendValue,
    kOriginValue,
    kPayloadLayoutValue,
    kFfiContractVersionValue,
    kBuildProfileValue,
    kFirstSegmentName,
    kTextCount = kFirstSegmentName + scan::kSegmentModalityCount
};

constexpr std::array<const char*, kTextCount> kTexts = {"text_words_u32le",
                                                        "counts",
                                                        "diagram_words_u32le",
                                                        "diagram_spans_u32le",
                                                        "music_words_u32le",
                                                        "music_spans_u32le",
                                                        "voice_words_u32le",
                                                        "voice_spans_u32le",
                                                        "image_words_u32le",
                                                        "image_spans_u32le",
                                                        "mental_words_u32le",
                                                        "mental_spans_u32le",
                                                        "touch_words_u32le",
                                                        "touch_spans_u32le",
                                                        "smell_words_u32le",
                                                        "smell_spans_u32le",
                                                        "taste_words_u32le",
                                                        "taste_spans_u32le",
                                                        "segment_modalities",
                                                        "validation_errors",
                                                        "native_backend",
                                                        "backend",
                                                        "origin",
                                                        "fallback_used",
                                                        "payload_layout",
                                                        "ffi_contract_version",
                                                        "build_profile",
                                                        kBackend,
                                                        kOrigin,
                                                        kPayloadLayout,
                                                        kFfiContractVersion,
                                                        kBuildProfile,
                                                        scan::kSegmentNames[0],
                                                        scan::kSegmentNames[1],
                                                        scan::kSegmentNames[2],
                                                        scan::kSegmentNames[3],
                                                        scan::kSegmentNames[4],
                                                        scan::kSegmentNames[5],
                                                        scan::kSegmentNames[6],
                                                        scan::kSegmentNames[7]};

// Every result shares one interned str per text, made on first use and kept for
// the interpreter's life (only one interpreter at a time loads the module):
// making 35 strs per result was a good part of the cost of a small scan.
std::array<PyObject*, kTextCount> g_texts{};

// Every result starts as a copy of this dictionary: all 27 keys in order, the
// fixed values in place and None where each result's own value goes. Copying it
// takes a fraction of growing a new dictionary key by key (three resizes on the
// way to 27), and a value replaced keeps its key's place.
PyObject* g_template = nullptr;

// A borrowed reference, or nullptr with an exception set.
PyObject* text(Text which) {
    PyObject*& slot = g_texts[which];
    if (slot == nullptr) slot = PyUnicode_InternFromString(kTexts[which]);
    return slot;
}

bool set_item(PyObject* dict, Text key, PyObject* value) {
    PyObject* key_obj = text(key);
    return key_obj != nullptr && value != nullptr && PyDict_SetItem(dict, key_obj, value) == 0;
}

bool set_item(PyObject* dict, Text key, const PyRef& value) {
    return set_item(dict, key, value.get());
}

PyRef buffer_of(PayloadVec& words) {
    return PyRef(make_native_buffer(std::move(words)));
}

// A borrowed reference, or nullptr with an exception set.
PyObject* result_template() {
    if (g_template != nullptr) return g_template;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t key = kTextWordsKey; key <= kValidationErrorsKey; ++key) {
        if (!set_item(dict.get(), static_cast<Text>(key), Py_None)) return nullptr;
    }
    if (!set_item(dict.get(), kNativeBackendKey, Py_True) ||
        !set_item(dict.get(), kBackendKey, text(kBackendValue)) ||
        !set_item(dict.get(), kOriginKey, text(kOriginValue)) ||
        !set_item(dict.get(), kFallbackUsedKey, Py_False) ||
        !set_item(dict.get(), kPayloadLayoutKey, text(kPayloadLayoutValue)) ||
        !set_item(dict.get(), kFfiContractVersionKey, text(kFfiContractVersionValue)) ||
        !set_item(dict.get(), kBuildProfileKey, text(kBuildProfileValue))) {
        return nullptr;
    }
    g_template = dict.release();
    return g_template;
}

}  // namespace

void forget_result_texts() noexcept {
    g_texts.fill(nullptr);
    g_template = nullptr;
}

PyObject* build_scan_result(scan::ScanRecord&& record, const ItemReasons* reasons) {
    scan::ScanRecord owned = std::move(record);  // every array not handed over is freed here
    PyObject* const shape = result_template();
    if (shape == nullptr) return nullptr;
    PyRef dict(PyDict_Copy(shape));
    if (!dict) return nullptr;

    PyRef counts(PyList_New(0));
    if (!counts) return nullptr;
    for (std::uint64_t count : owned.counts) {
        PyRef item(PyLong_FromUnsignedLongLong(count));
        if (!item || PyList_Append(counts.get(), item.get()) < 0) return nullptr;
    }
    PyRef errors = validation_errors(owned.invalid_entries, reasons);
    if (!errors) return nullptr;

    if (!set_item(dict.get(), kTextWordsKey, buffer_of(owned.text_words)) ||
        !set_item(dict.get(), kCountsKey, counts)) {
        return nullptr;
    }
    for (std::size_t s = 0; s < scan::kSegmentModalityCount; ++s) {
        const auto words_key = static_cast<Text>(kFirstSegmentKey + 2 * s);
        const auto spans_key = static_cast<Text>(kFirstSegmentKey + 2 * s + 1);
        if (!set_item(dict.get(), words_key, buffer_of(owned.words[s])) ||
            !set_item(dict.get(), spans_key, buffer_of(owned.spans[s]))) {
            return nullptr;
        }
    }
    PyRef modalities(PyList_New(0));
    if (!modalities) return nullptr;
    for (std::size_t s = 0; s < scan::kSegmentModalityCount; ++s) {
        PyObject* name = text(static_cast<Text>(kFirstSegmentName + s));
        if (name == nullptr || PyList_Append(modalities.get(), name) < 0) return nullptr;
    }
    if (!set_item(dict.get(), kSegmentModalitiesKey, modalities) ||
        !set_item(dict.get(), kValidationErrorsKey, errors)) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace vak::py

// Builders of Python results from native values; each returns a new reference
// or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "module/py_ref.hpp"

namespace vak::py {

// The module's own identity, shared by its attributes and the backend report.
inline constexpr const char* kModuleName = "vak_orn_kernel";
inline constexpr const char* kModuleVersion = "0.1.0";
inline constexpr long kWordMask = 0xFFFFF;

// Identifiers that the scan result and the backend report both carry.
inline constexpr const char* kBackend = "rust";
inline constexpr const char* kOrigin = "pyo3_native_extension";
inline constexpr const char* kPayloadLayout = "u32le_bytes+spans_v1";
inline constexpr const char* kFfiContractVersion = "orn_flat_u32le_v1";
inline constexpr const char* kBuildProfile = "release";

// A str from a fixed NUL-terminated text, made with its exact length.
PyRef make_text(const char* value);

PyObject* build_word_list(const std::uint32_t* words, std::size_t count);
PyObject* build_five_tuple(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint8_t d,
                           std::uint32_t e);

}  // namespace vak::py

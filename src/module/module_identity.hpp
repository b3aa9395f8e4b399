// The module's identity: its name and version, and the build identifiers that
// its attributes, the backend report and every scan result carry (the word mask
// is the word model's, scan/word_model.hpp).
#pragma once

namespace vak::py {

inline constexpr const char* kModuleName = "vak_orn_kernel";
inline constexpr const char* kModuleVersion = "0.1.0";

inline constexpr const char* kBackend = "rust";
inline constexpr const char* kOrigin = "pyo3_native_extension";
inline constexpr const char* kPayloadLayout = "u32le_bytes+spans_v1";
inline constexpr const char* kFfiContractVersion = "orn_flat_u32le_v1";
inline constexpr const char* kBuildProfile = "release";

}  // namespace vak::py

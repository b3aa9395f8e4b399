// Turns a finished scan record into the 27-key result dictionary.
#pragma once

#include <Python.h>

#include <cstddef>

#include "scan/scan_record.hpp"

namespace vak::py {

// Consumes the record (its arrays move into NativeBuffer objects). Returns a new
// dict, or nullptr with an exception set; nothing partial survives a failure.
PyObject* build_scan_result(scan::ScanRecord&& record);

}  // namespace vak::py

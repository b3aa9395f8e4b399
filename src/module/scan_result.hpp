// Turns a finished scan record into the 27-key result dictionary.
#pragma once

#include <Python.h>

#include <cstddef>

#include "module/scan_messages.hpp"
#include "scan/scan_record.hpp"

namespace vak::py {

// Consumes the record (its arrays move into NativeBuffer objects). Returns a new
// dict, or nullptr with an exception set; nothing partial survives a failure.
// `reasons`: the item reasons of a tolerant read, nullptr for a stream of words.
PyObject* build_scan_result(scan::ScanRecord&& record, const ItemReasons* reasons = nullptr);

}  // namespace vak::py

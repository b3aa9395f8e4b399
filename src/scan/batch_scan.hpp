// The batch scan: many streams scanned in parallel, one record per stream.
#pragma once

#include "common/heap_allocator.hpp"
#include "scan/scan_record.hpp"

namespace vak::scan {

// Scans stream k into record k on the worker pool (creating the pool on first
// use) and frees the streams. Runs without the interpreter lock; throws
// std::bad_alloc, with nothing partial kept, when memory runs out.
Vec<ScanRecord> scan_batch(Vec<WordVec>& streams, bool record_invalid);

}  // namespace vak::scan

#include "text/byte_pairs.hpp"

namespace vak::text {

ByteVec new_byte_run() {
    // Sized then cleared rather than reserved: the same capacity, and it keeps
    // GCC 12's -Wstringop-overflow from misreading the empty relocation.
    ByteVec run(kInitialRunCapacity);
    run.clear();
    return run;
}

void flush_byte_run(ByteVec& run, WordVec& out) {
    const std::size_t n = run.size();
    if (n == 0) return;
    reserve_more(out, (n + 1) / 2);
    const std::uint8_t* bytes = run.data();
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) out.push_back(byte_pair_word(bytes[i], bytes[i + 1]));
    if (i < n) out.push_back(byte_pair_word(bytes[i], 0x00));
    run.clear();
}

}  // namespace vak::text

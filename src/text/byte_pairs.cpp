#include "text/byte_pairs.hpp"

namespace vak::text {

void ByteRun::grow(std::size_t n) {
    const std::size_t doubled = storage.size() * 2;
    storage.resize(length + n > doubled ? length + n : doubled);
}

void ByteRun::pack_into(WordVec& out) {
    const std::size_t words = (length + 1) / 2;
    reserve_more(out, words);  // the whole share at once
    *room(1) = 0x00;           // pads an odd last byte
    const std::uint8_t* src = storage.data();
    for (std::size_t k = 0; k < words; ++k) out.push_back(byte_pair_word(src[2 * k], src[2 * k + 1]));
    length = 0;
}

}  // namespace vak::text

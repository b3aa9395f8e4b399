// The direct characters: 105 common code points written as one word equal to
// the code point. Everything else travels as UTF-8 byte pairs. The test is one
// bounds check and one bit lookup.
#pragma once

#include <array>
#include <cstdint>

namespace vak::text {

inline constexpr std::uint32_t kDirectLimit = 0x154;  // every direct code point is below

namespace detail {

constexpr std::array<std::uint64_t, (kDirectLimit + 63) / 64> make_direct_bitmap() {
    std::array<std::uint64_t, (kDirectLimit + 63) / 64> bits{};
    auto set = [&bits](std::uint32_t cp) { bits[cp >> 6] |= std::uint64_t{1} << (cp & 63); };
    set(0x09);                                                // tab
    set(0x0A);                                                // line feed
    set(0x0D);                                                // carriage return
    for (std::uint32_t cp = 0x20; cp <= 0x7E; ++cp) set(cp);  // space and printable ASCII
    for (std::uint32_t cp : {0xC6u, 0xE6u, 0xD8u, 0xF8u, 0xDFu, 0x152u, 0x153u}) set(cp);
    return bits;
}

inline constexpr auto kDirectBitmap = make_direct_bitmap();

constexpr int count_direct() {
    int n = 0;
    for (std::uint64_t word : kDirectBitmap) n += __builtin_popcountll(word);
    return n;
}
static_assert(count_direct() == 105);

}  // namespace detail

constexpr bool is_direct(std::uint32_t cp) noexcept {
    return cp < kDirectLimit && ((detail::kDirectBitmap[cp >> 6] >> (cp & 63)) & 1u) != 0;
}

}  // namespace vak::text

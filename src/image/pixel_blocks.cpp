#include "image/pixel_blocks.hpp"

#include "common/kernel_choice.hpp"

namespace vak::image {

namespace {

constexpr std::uint32_t kBy255Magic = 0x8081;  // (x * kBy255Magic) >> 23 == x / 255 for x < 2^16

std::uint32_t arithmetic_entry(std::uint32_t v, const ArithmeticQuantiser& q) {
    const std::uint32_t level = ((v * q.top_level + 127) * kBy255Magic) >> 23;
    return ((level * 510 + q.top_level) * q.entry_magic) >> (16 + q.entry_shift);
}

}  // namespace

std::optional<ArithmeticQuantiser> find_arithmetic_quantiser(
    const std::array<std::uint8_t, 256>& quantised) {
    // Every level occurs among the 256 bytes, so the distinct entries number top_level + 1.
    std::array<bool, 256> seen{};
    unsigned distinct = 0;
    for (std::uint8_t entry : quantised) {
        if (!seen[entry]) ++distinct;
        seen[entry] = true;
    }
    const std::uint32_t top_level = distinct - 1;
    if (top_level == 0 || top_level > 63) return std::nullopt;  // 16-bit lanes hold up to 63
    const std::uint64_t divisor = 2 * std::uint64_t{top_level};
    for (unsigned shift = 0; shift < 16; ++shift) {
        const std::uint64_t magic = ((std::uint64_t{1} << (16 + shift)) + divisor - 1) / divisor;
        if (magic > 0xFFFF) break;
        const ArithmeticQuantiser candidate{static_cast<std::uint16_t>(top_level),
                                            static_cast<std::uint16_t>(magic), shift};
        bool exact = true;
        for (std::uint32_t v = 0; v < 256 && exact; ++v) {
            exact = arithmetic_entry(v, candidate) == quantised[v];
        }
        if (exact) return candidate;
    }
    return std::nullopt;
}

bool avx2_blocks_available() {
    return kernel_choice::allows(kernel_choice::Path::kAvx2);  // never off x86-64
}

std::uint32_t avx2_block_count(std::uint32_t width) {
    constexpr std::uint64_t kBlockBytes = 12;  // four pixels of three channels
    constexpr std::uint64_t kLoadBytes = 16;
    const std::uint64_t row_bytes = std::uint64_t{width} * 3;
    if (row_bytes < kLoadBytes) return 0;
    const std::uint64_t loadable = (row_bytes - kLoadBytes) / kBlockBytes + 1;
    const std::uint32_t whole = width / 4;
    return loadable < whole ? static_cast<std::uint32_t>(loadable) : whole;
}

}  // namespace vak::image

#include "image/image_format.hpp"

#include <cmath>

namespace vak::image {

std::uint32_t round_to_u32(double x) noexcept {
    constexpr double kSaturationPoint = 4294967295.5;
    if (std::isnan(x) || x < 0.0) return 0;  // only a negative threshold reaches x < 0
    if (x >= kSaturationPoint) return 0xFFFFFFFFu;
    // Below 2^32 the conversion truncates, which for x >= 0 is the floor, and
    // the fraction x - floor(x) is exact.
    const auto whole = static_cast<std::uint32_t>(x);
    const double r = x - static_cast<double>(whole);
    if (r < 0.5) return whole;
    if (r > 0.5) return whole + 1;
    return whole + (whole & 1u);  // a tie goes to the even neighbour
}

Palette build_palette(unsigned bit_depth) noexcept {
    Palette palette;
    palette.size = std::size_t{1} << bit_depth;
    const double top_level = static_cast<double>(palette.size - 1);
    for (std::size_t k = 0; k < palette.size; ++k) {
        palette.entries[k] =
            static_cast<std::uint8_t>(round_to_u32(static_cast<double>(k) / top_level * 255.0));
    }
    return palette;
}

std::uint32_t quantise_level(double v, unsigned bit_depth) noexcept {
    const double top_level = static_cast<double>((1u << bit_depth) - 1);
    return round_to_u32(v / 255.0 * top_level);
}

}  // namespace vak::image

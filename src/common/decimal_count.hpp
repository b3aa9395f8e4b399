// Unsigned decimal counts as the sizing environment variables and the
// control-group files write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vak {

// Digits only, one optional leading '+', no spaces, fitting 64 bits. Anything
// else is nullopt.
constexpr std::optional<std::uint64_t> parse_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace vak

// Checked unsigned 64-bit arithmetic: memory figures never wrap.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace Core {

/// a × b, or absent when the product does not fit in 64 bits.
[[nodiscard]] constexpr std::optional<std::uint64_t> checkedMul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        return std::nullopt;
    }
    return a * b;
}

/// a + b, or absent when the sum does not fit in 64 bits.
[[nodiscard]] constexpr std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
    if (a > std::numeric_limits<std::uint64_t>::max() - b) {
        return std::nullopt;
    }
    return a + b;
}

/// Left-to-right chains that stop at the first overflow; an absent operand
/// keeps the chain absent.
[[nodiscard]] constexpr std::optional<std::uint64_t> checkedMul(std::optional<std::uint64_t> a,
                                                                std::uint64_t b) {
    return a ? checkedMul(*a, b) : std::nullopt;
}
[[nodiscard]] constexpr std::optional<std::uint64_t> checkedAdd(std::optional<std::uint64_t> a,
                                                                std::uint64_t b) {
    return a ? checkedAdd(*a, b) : std::nullopt;
}

} // namespace Core

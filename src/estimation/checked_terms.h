// Left-to-right checked sums and products over a list of terms, so that a
// formula with many terms reads as one line and still stops at the first
// overflow.
#pragma once

#include "common/checked_math.h"

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace Core::Estimation {

/// t1 + t2 + ... applied left to right; absent at the first overflow.
[[nodiscard]] constexpr std::optional<std::uint64_t>
checkedSum(std::initializer_list<std::uint64_t> terms) {
    std::optional<std::uint64_t> total = 0;
    for (const std::uint64_t term : terms) {
        total = checkedAdd(total, term);
    }
    return total;
}

/// t1 × t2 × ... applied left to right; absent at the first overflow, even
/// when a later factor is 0.
[[nodiscard]] constexpr std::optional<std::uint64_t>
checkedProduct(std::initializer_list<std::uint64_t> factors) {
    std::optional<std::uint64_t> total = 1;
    for (const std::uint64_t factor : factors) {
        total = checkedMul(total, factor);
    }
    return total;
}

} // namespace Core::Estimation

// Where a byte offset falls in a text, as a line and a column: JSON readers
// report a syntax error at an offset, and messages give lines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace Core {

struct TextPosition {
    std::uint32_t line = 1;
    std::uint32_t column = 1; ///< in bytes
};

/// The line and column of the last byte before offset `end` (clamped to the
/// text), as for a reader's error that counts one past the last byte it read.
/// A column of 0, at a line's start, is given as 1.
[[nodiscard]] inline TextPosition positionBefore(std::string_view text, std::size_t end) {
    end = std::min(end, text.size());
    std::uint32_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i + 1 < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    const std::size_t column = end > lineStart ? end - lineStart : 1;
    return {line, static_cast<std::uint32_t>(
                      std::min<std::size_t>(column, std::numeric_limits<std::uint32_t>::max()))};
}

} // namespace Core

// The one order of texts used by every map, set, sort and canonical form.
#pragma once

#include <string_view>

namespace Core {

/// Compares bytes as unsigned values, a proper prefix first. std::string's
/// own ordering already does this (char_traits<char> compares as unsigned
/// char), which the tests pin; the name makes the intent visible at call sites.
[[nodiscard]] inline bool byteLess(std::string_view a, std::string_view b) noexcept {
    return a < b;
}

/// Transparent comparator for ordered containers keyed by text.
struct ByteLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return byteLess(a, b); }
};

} // namespace Core

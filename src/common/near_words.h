// Near words: the valid name a misspelling was meant to be, for the notes of
// the placement language and of the system file alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Core {

namespace detail {

constexpr char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

/// Edits (insert, delete, replace, swap of two neighbours) that turn a into b;
/// anything above `limit` as soon as the lengths alone say so.
inline std::size_t editDistance(std::string_view a, std::string_view b, std::size_t limit) {
    const std::size_t longer = std::max(a.size(), b.size());
    const std::size_t shorter = std::min(a.size(), b.size());
    if (longer - shorter > limit) {
        return limit + 1;
    }
    // Three rows of the table: the swap looks two rows back.
    std::vector<std::size_t> before(b.size() + 1);
    std::vector<std::size_t> previous(b.size() + 1);
    std::vector<std::size_t> current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        previous[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t replace = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                current[j] = std::min(current[j], before[j - 2] + 1);
            }
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[b.size()];
}

} // namespace detail

/// How many names a note may list on its line.
inline constexpr std::size_t kListedNames = 8;

inline std::string didYouMean(std::string_view word) {
    return "did you mean '" + std::string(word) + "'?";
}

/// "'a', 'b' or 'c'".
inline std::string quotedList(std::span<const std::string_view> words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            text += i + 1 == words.size() ? " or " : ", ";
        }
        text += '\'';
        text += words[i];
        text += '\'';
    }
    return text;
}

/// The word of `words` nearest to `word`, when it is near enough to be taken
/// for a misspelling: the same letters in another case, or a few edits away
/// (one for short words, a third of the length for longer ones).
inline std::optional<std::string_view> nearestWord(std::string_view word,
                                                   std::span<const std::string_view> words) {
    if (word.empty()) {
        return std::nullopt;
    }
    const std::size_t limit = std::max<std::size_t>(1, word.size() / 3);
    std::optional<std::string_view> best;
    std::size_t bestDistance = limit + 1;
    for (const std::string_view candidate : words) {
        if (detail::equalIgnoringCase(word, candidate)) {
            return candidate;
        }
        const std::size_t distance = detail::editDistance(word, candidate, limit);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

/// A note for a name that is not one of `valid`: "did you mean 'x'?" for a
/// near one, else `listIntro` and the valid names when they are few; absent
/// when there is nothing to offer.
inline std::optional<std::string> nameNote(std::string_view name,
                                           std::span<const std::string_view> valid,
                                           std::string_view listIntro) {
    if (const std::optional<std::string_view> near = nearestWord(name, valid)) {
        return didYouMean(*near);
    }
    if (valid.empty() || valid.size() > kListedNames) {
        return std::nullopt;
    }
    return std::string(listIntro) + quotedList(valid);
}

} // namespace Core

// Hints: near words, the notes on parse errors, and the notes kept per issue.
#include "placement/hints.h"

#include <algorithm>
#include <cstddef>

namespace Core::Placement {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

/// Edits (insert, delete, replace, swap of two neighbours) that turn a into b;
/// anything above `limit` as soon as the lengths alone say so.
std::size_t editDistance(std::string_view a, std::string_view b, std::size_t limit) {
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

/// How many names a note may list on its line.
constexpr std::size_t kListedNames = 8;

std::string didYouMean(std::string_view word) { return "did you mean '" + std::string(word) + "'?"; }

std::string key(std::string_view path, std::string_view message) {
    std::string text(path);
    text += '\n'; // a path never holds a line feed
    text += message;
    return text;
}

} // namespace

void IssueNotes::add(std::string_view path, std::string_view message, std::string note) {
    notes_[key(path, message)].push_back(std::move(note));
}

std::span<const std::string> IssueNotes::of(std::string_view path, std::string_view message) const {
    const auto found = notes_.find(key(path, message));
    return found == notes_.end() ? std::span<const std::string>{} : found->second;
}

std::string quotedList(std::span<const std::string_view> words) {
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

std::optional<std::string_view> nearestWord(std::string_view word,
                                            std::span<const std::string_view> words) {
    if (word.empty()) {
        return std::nullopt;
    }
    const std::size_t limit = std::max<std::size_t>(1, word.size() / 3);
    std::optional<std::string_view> best;
    std::size_t bestDistance = limit + 1;
    for (const std::string_view candidate : words) {
        if (equalIgnoringCase(word, candidate)) {
            return candidate;
        }
        const std::size_t distance = editDistance(word, candidate, limit);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

std::optional<std::string> nameNote(std::string_view name, std::span<const std::string_view> valid,
                                    std::string_view listIntro) {
    if (const std::optional<std::string_view> near = nearestWord(name, valid)) {
        return didYouMean(*near);
    }
    if (valid.empty() || valid.size() > kListedNames) {
        return std::nullopt;
    }
    return std::string(listIntro) + quotedList(valid);
}

std::vector<std::string> parseErrorNotes(const ParseError& error) {
    const ParseHint& hint = error.hint();
    std::vector<std::string> notes;
    if (hint.byte_order_mark) {
        notes.emplace_back("the file starts with a UTF-8 byte-order mark; save it without one");
    }
    if (hint.words.empty()) {
        return notes;
    }
    if (hint.found.empty() && hint.what == "byte unit") {
        notes.push_back("a size takes a unit: " + quotedList(hint.words));
        return notes;
    }
    // A single expected word is already in the message; only its near miss helps.
    const std::string intro = "expected " + std::string(hint.what) + " ";
    if (hint.words.size() == 1) {
        if (const std::optional<std::string_view> near = nearestWord(hint.found, hint.words)) {
            notes.push_back(didYouMean(*near));
        }
    } else if (std::optional<std::string> note = nameNote(hint.found, hint.words, intro)) {
        notes.push_back(std::move(*note));
    }
    return notes;
}

} // namespace Core::Placement

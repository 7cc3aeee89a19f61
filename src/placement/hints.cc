// Hints: the notes on parse errors, and the notes kept per issue.
#include "placement/hints.h"

namespace Core::Placement {
namespace {

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

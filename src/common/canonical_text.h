// Encoders shared by the line-oriented canonical texts (the Placement IR text
// and the inventory text): both write values the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Core::CanonicalText {

inline void appendNumber(std::string& out, std::uint64_t value) { out += std::to_string(value); }

/// Length-prefixed ("11:example-cpu"), so no byte inside the string can be
/// mistaken for a separator.
inline void appendString(std::string& out, std::string_view text) {
    appendNumber(out, text.size());
    out += ':';
    out += text;
}

/// An absent value is "-".
template <typename Number>
void appendOptionalNumber(std::string& out, const std::optional<Number>& number) {
    if (number) {
        appendNumber(out, *number);
    } else {
        out += '-';
    }
}

inline void appendOptionalString(std::string& out, const std::optional<std::string>& text) {
    if (text) {
        appendString(out, *text);
    } else {
        out += '-';
    }
}

inline void appendFlag(std::string& out, bool value) { out += value ? '1' : '0'; }

} // namespace Core::CanonicalText

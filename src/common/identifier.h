// The bytes a name may be made of, shared by the placement lexer (which
// reads names) and graph validation (which judges identities).
#pragma once

namespace Core {

[[nodiscard]] constexpr bool isDigitByte(char c) {
    return c >= '0' && c <= '9';
}

/// Letters, digits, '_', '-' and '.'; a name in a placement may not start
/// with a digit, which makes a number instead.
[[nodiscard]] constexpr bool isIdentifierByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigitByte(c) || c == '_' ||
           c == '-' || c == '.';
}

} // namespace Core

// Tokens of the placement language, how messages show them, the one parse
// exception, and the lexer that cuts a placement text into tokens.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/source_location.h"

namespace Core::Placement {

enum class TokenKind : std::uint32_t {
    identifier = 0,
    string = 1,
    number = 2,
    lbrace = 3,
    rbrace = 4,
    colon = 5,
    semicolon = 6,
    end = 7,
};

/// How messages show a token kind after "expected ": punctuation quoted
/// ("'{'"), every other kind described ("quoted string").
[[nodiscard]] std::string_view describe(TokenKind kind);

struct Token {
    TokenKind kind = TokenKind::end;
    /// Views the placement text; a string with escapes views the lexer's
    /// buffer of its resolved content instead. Empty for the end token.
    std::string_view text;
    SourceLocation location;
};

/// The only exception of the placement language: a message at a location.
class ParseError : public std::runtime_error {
  public:
    ParseError(SourceLocation location, std::string message);
    [[nodiscard]] const SourceLocation& location() const noexcept { return location_; }
    /// The message alone, e.g. "expected ';'".
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    /// "file:line:column: message": the text of what(), whole even when the
    /// file name or an offending byte is a NUL, which would cut what() short.
    [[nodiscard]] const std::string& text() const noexcept { return text_; }

  private:
    SourceLocation location_;
    std::string message_;
    std::string text_;
};

/// "expected " and what was expected: every such message is made here.
[[nodiscard]] std::string expectedMessage(std::string_view what);
/// "unknown " + what + " '" + value + "'", as for an unknown keyword or field.
[[nodiscard]] std::string unknownMessage(std::string_view what, std::string_view value);

/// One row of a keyword table: the word as written and the value it stands for.
template <class T> struct Keyword {
    std::string_view word;
    T value;
};

template <class T>
[[nodiscard]] std::optional<T> findKeyword(std::span<const Keyword<T>> table,
                                           std::string_view word) {
    for (const Keyword<T>& entry : table) {
        if (entry.word == word) {
            return entry.value;
        }
    }
    return std::nullopt;
}

/// Cuts a placement text into tokens, on demand. The text is viewed, never
/// copied, and must outlive the lexer and its tokens.
class PlacementLexer {
  public:
    explicit PlacementLexer(std::string_view text) noexcept : text_(text) {}

    /// Reads the next token into `token`: its kind, text, line and column.
    /// The file of its location is left as the caller set it, so a whole
    /// parse shares one file name. A lexical error is thrown at the token's
    /// start. At the end of the text every call gives the end token.
    void next(Token& token);

  private:
    void skipTrivia();
    void lexString(Token& token);
    void startLine(std::size_t offset) {
        ++line_;
        lineStart_ = offset;
    }

    std::string_view text_;
    std::size_t offset_ = 0;    ///< the next unread byte
    std::uint32_t line_ = 1;    ///< line of the next unread byte
    std::size_t lineStart_ = 0; ///< offset of its line's first byte; columns derive from it
    std::string stringContent_; ///< the resolved content of a string with escapes
};

} // namespace Core::Placement

// Tokens of the placement language, the one parse exception, and the
// token-level reading operations the grammar is written on.
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

struct Token {
    TokenKind kind = TokenKind::end;
    /// Views the placement text; a string with escapes views the parser's
    /// buffer of its resolved content instead. Empty for the end token.
    std::string_view text;
    SourceLocation location;
};

/// The only exception of the placement language; what() reads
/// "file:line:column: message".
class ParseError : public std::runtime_error {
  public:
    ParseError(SourceLocation location, std::string_view message);
    [[nodiscard]] const SourceLocation& location() const noexcept { return location_; }
    /// The same text as what(), whole even when the file name or an offending
    /// byte is a NUL, which would cut the C string short.
    [[nodiscard]] const std::string& text() const noexcept { return text_; }

  private:
    SourceLocation location_;
    std::string text_;
};

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

/// A cursor over the placement text with exactly one current token. The text
/// is viewed, never copied; lexing happens on demand in advance().
class PlacementParser {
  public:
    /// A line and column of the text, cheaper to keep than a SourceLocation.
    struct Position {
        std::uint32_t line = 1;
        std::uint32_t column = 1;
    };

    /// Reads the first token, so a lexical error there is raised here.
    PlacementParser(std::string_view text, std::string file);

    [[nodiscard]] const Token& current() const noexcept { return current_; }
    [[nodiscard]] bool at(TokenKind kind) const noexcept { return current_.kind == kind; }
    [[nodiscard]] Position position() const noexcept {
        return {current_.location.line, current_.location.column};
    }
    [[nodiscard]] SourceLocation locationOf(Position position) const;

    void advance();
    [[noreturn]] void fail(std::string_view message) const;
    [[noreturn]] void failAt(Position position, std::string_view message) const;

    /// `shown` is the punctuation as messages show it, e.g. "'{'".
    void expectToken(TokenKind kind, std::string_view shown);
    void expectKeyword(std::string_view word);
    /// The identifier's text, a view of the placement text that stays valid
    /// while the text does.
    [[nodiscard]] std::string_view expectIdentifier(std::string_view what);
    [[nodiscard]] Token parseValue();
    [[nodiscard]] std::uint64_t parseUnsigned();
    [[nodiscard]] std::uint64_t parseByteQuantity();

    template <class T>
    [[nodiscard]] T lookupKeyword(const Token& token, std::span<const Keyword<T>> table,
                                  std::string_view what) const {
        if (const std::optional<T> value = findKeyword(table, token.text)) {
            return *value;
        }
        throw ParseError(token.location, "unknown " + std::string(what) + " '" +
                                             std::string(token.text) + "'");
    }

    /// parseValue followed by lookupKeyword, without copying the token unless
    /// the lookup fails.
    template <class T>
    [[nodiscard]] T parseKeyword(std::span<const Keyword<T>> table, std::string_view what) {
        requireValue();
        if (const std::optional<T> value = findKeyword(table, current_.text)) {
            advance();
            return *value;
        }
        const Token value = parseValue();
        return lookupKeyword(value, table, what);
    }

  private:
    void requireValue() const;
    void skipTrivia();
    void lexInto(Token& token);
    void lexString(Token& token);
    void startLine(std::size_t offset) {
        ++line_;
        lineStart_ = offset;
    }

    std::string_view text_;
    std::size_t offset_ = 0;    ///< the next unread byte
    std::uint32_t line_ = 1;    ///< line of the next unread byte
    std::size_t lineStart_ = 0; ///< offset of its line's first byte; columns derive from it
    Token current_;
    std::string stringContent_; ///< the resolved content of a string with escapes
};

} // namespace Core::Placement

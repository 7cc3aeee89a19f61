// Tokens of the placement language, how messages show them, the one parse
// exception, and the lexer that cuts a placement text into tokens.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/identifier.h"
#include "common/source_location.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

/// A note worked out from the text around an error.
struct ParseNote {
    std::string message;
    std::optional<SourceLocation> location; ///< where it points; absent: at the error

    friend bool operator==(const ParseNote&, const ParseNote&) = default;
};

/// What was found where a parse failed and what would have been taken there,
/// so that a hint can name the fix ("did you mean 'policy'?").
struct ParseHint {
    std::string found;                   ///< the text at fault, when it was a word
    std::vector<std::string_view> words; ///< the words accepted there (static texts)
    std::string_view what;               ///< what the words are ("policy", "byte unit")
    bool byte_order_mark = false;        ///< the text starts with a UTF-8 byte-order mark
    std::vector<ParseNote> notes;        ///< notes that needed the text to work out
};

/// The only exception of the placement language: a message at a location.
class ParseError : public std::runtime_error {
  public:
    ParseError(SourceLocation location, std::string message, ParseHint hint = {});
    [[nodiscard]] const SourceLocation& location() const noexcept { return location_; }
    /// The message alone, e.g. "expected ';'".
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    /// "file:line:column: message": the text of what(), whole even when the
    /// file name or an offending byte is a NUL, which would cut what() short.
    [[nodiscard]] const std::string& text() const noexcept { return text_; }
    [[nodiscard]] const ParseHint& hint() const noexcept { return hint_; }
    [[nodiscard]] ParseHint& hint() noexcept { return hint_; }

  private:
    SourceLocation location_;
    std::string message_;
    std::string text_;
    ParseHint hint_;
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
[[nodiscard]] std::vector<std::string_view> wordsOf(std::span<const Keyword<T>> table) {
    std::vector<std::string_view> words;
    words.reserve(table.size());
    for (const Keyword<T>& entry : table) {
        words.push_back(entry.word);
    }
    return words;
}

/// True when the `size` bytes at `a` and `b` are the same. Keywords are short:
/// up to 16 bytes are compared as two overlapping loads a side, inline,
/// where memcmp would be a call per keyword looked up.
[[nodiscard]] [[gnu::always_inline]] inline bool sameBytes(const char* a, const char* b,
                                                           std::size_t size) {
    const auto load = [](const char* p, auto word) {
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    if (size >= 8 && size <= 16) {
        return load(a, std::uint64_t{}) == load(b, std::uint64_t{}) &&
               load(a + size - 8, std::uint64_t{}) == load(b + size - 8, std::uint64_t{});
    }
    if (size >= 4 && size < 8) {
        return load(a, std::uint32_t{}) == load(b, std::uint32_t{}) &&
               load(a + size - 4, std::uint32_t{}) == load(b + size - 4, std::uint32_t{});
    }
    return std::memcmp(a, b, size) == 0;
}

/// Inlined wherever it is used: with the table known, the sizes and words
/// compared fold into constants, where a call would loop over the table.
template <class T>
[[nodiscard]] [[gnu::always_inline]] inline std::optional<T>
findKeyword(std::span<const Keyword<T>> table, std::string_view word) {
    for (const Keyword<T>& entry : table) {
        if (entry.word.size() == word.size() &&
            sameBytes(entry.word.data(), word.data(), entry.word.size())) {
            return entry.value;
        }
    }
    return std::nullopt;
}

/// Sets `into` to the value that `word` names in `table`; false, with `into`
/// untouched, when it names none.
template <class T>
[[nodiscard]] bool assignKeyword(std::optional<T>& into, std::span<const Keyword<T>> table,
                                 std::string_view word) {
    const std::optional<T> value = findKeyword(table, word);
    if (value) {
        into = *value;
    }
    return value.has_value();
}

/// The lexer's byte classes, looked up once per byte: lexing is the hot path
/// on large files, so the common tokens are cut inline, in the parser.
namespace LexerBytes {

inline constexpr std::uint8_t kBlank = 1; ///< space, tab, carriage return
inline constexpr std::uint8_t kDigit = 2;
inline constexpr std::uint8_t kWordStart = 4; ///< an identifier byte that is no digit
inline constexpr std::uint8_t kNewline = 8;
inline constexpr std::uint8_t kPunctuation = 16;  ///< { } : ;
inline constexpr std::uint8_t kCommentStart = 32; ///< '#', and '/' when another follows
inline constexpr std::uint8_t kTriviaStart = kBlank | kNewline | kCommentStart;

constexpr std::array<std::uint8_t, 256> makeClasses() {
    std::array<std::uint8_t, 256> classes{};
    for (std::size_t byte = 0; byte < classes.size(); ++byte) {
        const char c = static_cast<char>(byte);
        if (isDigitByte(c)) {
            classes[byte] = kDigit;
        } else if (isIdentifierByte(c)) {
            classes[byte] = kWordStart;
        }
    }
    classes[' '] = classes['\t'] = classes['\r'] = kBlank;
    classes['\n'] = kNewline;
    classes['{'] = classes['}'] = classes[':'] = classes[';'] = kPunctuation;
    classes['#'] = classes['/'] = kCommentStart;
    return classes;
}

inline constexpr std::array<std::uint8_t, 256> kClasses = makeClasses();

inline std::uint8_t classOf(char c) { return kClasses[static_cast<unsigned char>(c)]; }

/// Where the run of bytes from `pos` that `continues` (a class: a name's
/// bytes, or digits) ends, at most at `size`.
inline std::size_t runEnd(const char* data, std::size_t pos, std::size_t size,
                          std::uint8_t continues) {
#if defined(__SSE2__)
    // Sixteen bytes a step: names and numbers are most of a dense text.
    const bool name = (continues & kWordStart) != 0;
    while (pos + 16 <= size) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        // A byte is in [lo, lo + span] when its distance from lo, unsigned, is at most span.
        const auto within = [](__m128i v, char lo, char span) {
            const __m128i distance = _mm_sub_epi8(v, _mm_set1_epi8(lo));
            return _mm_cmpeq_epi8(_mm_min_epu8(distance, _mm_set1_epi8(span)), distance);
        };
        __m128i in;
        if (name) {
            // '-', '.' and the digits, with the '/' between them left out.
            in = _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('/')),
                                  within(bytes, '-', '9' - '-'));
            // Setting bit 5 folds 'A'..'Z' onto 'a'..'z' and nothing else onto them.
            in = _mm_or_si128(in, within(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), 'a', 25));
            in = _mm_or_si128(in, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')));
        } else {
            in = within(bytes, '0', 9);
        }
        const auto out = static_cast<unsigned>(~_mm_movemask_epi8(in)) & 0xFFFFU;
        if (out != 0) {
            return pos + static_cast<std::size_t>(__builtin_ctz(out));
        }
        pos += 16;
    }
#endif
    while (pos < size && (classOf(data[pos]) & continues) != 0) {
        ++pos;
    }
    return pos;
}

inline TokenKind punctuationKind(char c) {
    switch (c) {
    case '{':
        return TokenKind::lbrace;
    case '}':
        return TokenKind::rbrace;
    case ':':
        return TokenKind::colon;
    default:
        return TokenKind::semicolon;
    }
}

} // namespace LexerBytes

/// Cuts a placement text into tokens, on demand. The text is viewed, never
/// copied, and must outlive the lexer and its tokens.
class PlacementLexer {
  public:
    explicit PlacementLexer(std::string_view text) noexcept : text_(text) {}

    /// Reads the next token into `token`: its kind, text, line and column.
    /// The file of its location is left as the caller set it, so a whole
    /// parse shares one file name. A lexical error is thrown at the token's
    /// start. At the end of the text every call gives the end token.
    void next(Token& token) {
        namespace B = LexerBytes;
        const char* const data = text_.data();
        const std::size_t size = text_.size();
        // Dense text has no trivia between most tokens, and most other tokens
        // follow a single blank; only longer white space and comments take the loop.
        if (offset_ < size && (B::classOf(data[offset_]) & B::kTriviaStart) != 0) {
            if (data[offset_] == ' ' && offset_ + 1 < size &&
                (B::classOf(data[offset_ + 1]) & B::kTriviaStart) == 0) {
                ++offset_;
            } else {
                skipTrivia();
            }
        }
        const std::size_t start = offset_;
        token.location.line = line_;
        // Fits in 32 bits: the driver refuses texts whose last column would not.
        token.location.column = static_cast<std::uint32_t>(start - lineStart_ + 1);
        if (start >= size) {
            token.kind = TokenKind::end;
            token.text = {};
            return;
        }
        const char c = data[start];
        const std::uint8_t cls = B::classOf(c);
        std::size_t end = start + 1;
        if ((cls & B::kWordStart) != 0) {
            end = B::runEnd(data, end, size, B::kWordStart | B::kDigit);
            token.kind = TokenKind::identifier;
        } else if ((cls & B::kDigit) != 0) {
            end = B::runEnd(data, end, size, B::kDigit);
            token.kind = TokenKind::number;
        } else if (cls == B::kPunctuation) {
            token.kind = B::punctuationKind(c);
        } else {
            lexOther(token);
            return;
        }
        token.text = std::string_view(data + start, end - start);
        offset_ = end;
    }

    /// The rest of a "name: value;" field whose name was the last token read.
    struct FieldTail {
        std::string_view value; ///< a name
        std::size_t end = 0;    ///< the offset just past the ';'
    };

    /// The tail when the text right after the last token reads ": value ;",
    /// with only blanks between and a name for the value; nothing otherwise.
    /// It never spans lines. The lexer does not move: see skipFieldTail.
    [[nodiscard]] std::optional<FieldTail> peekFieldTail() const noexcept {
        namespace B = LexerBytes;
        const char* const data = text_.data();
        const std::size_t size = text_.size();
        std::size_t pos = offset_;
        const auto skipBlanks = [&] {
            while (pos < size && B::classOf(data[pos]) == B::kBlank) {
                ++pos;
            }
        };
        skipBlanks();
        if (pos >= size || data[pos] != ':') {
            return std::nullopt;
        }
        ++pos;
        skipBlanks();
        if (pos >= size || (B::classOf(data[pos]) & B::kWordStart) == 0) {
            return std::nullopt;
        }
        const std::size_t start = pos;
        pos = B::runEnd(data, pos + 1, size, B::kWordStart | B::kDigit);
        const std::string_view value(data + start, pos - start);
        skipBlanks();
        if (pos >= size || data[pos] != ';') {
            return std::nullopt;
        }
        return FieldTail{value, pos + 1};
    }
    /// Steps past a tail from peekFieldTail; the line stays, as the tail is on it.
    void skipFieldTail(const FieldTail& tail) noexcept { offset_ = tail.end; }

    /// Where the lexer stands: enough to read again from a token's start.
    struct State {
        std::size_t offset = 0;
        std::uint32_t line = 1;
        std::size_t lineStart = 0;
    };

    /// The state at the start of `token`, the last one read (a token never
    /// spans lines, so the lexer is still on its line).
    [[nodiscard]] State stateAt(const Token& token) const noexcept {
        return {lineStart_ + token.location.column - 1, line_, lineStart_};
    }
    void restore(const State& state) noexcept {
        offset_ = state.offset;
        line_ = state.line;
        lineStart_ = state.lineStart;
        fault_ = Fault::none;
    }
    /// The column just past the last token read.
    [[nodiscard]] std::uint32_t endColumn() const noexcept {
        return static_cast<std::uint32_t>(offset_ - lineStart_ + 1);
    }
    /// True when `token`, the last one read, is the first of its line.
    [[nodiscard]] bool startsLine(const Token& token) const noexcept;
    /// True when the last call to next() threw.
    [[nodiscard]] bool failed() const noexcept { return fault_ != Fault::none; }
    /// Steps past what made next() throw: a character that starts no token
    /// (all of it, when it is a multi-byte UTF-8 one), or the rest of the line
    /// of a broken string. A parse that goes on after an error uses it.
    void skipFault() noexcept;

  private:
    enum class Fault : std::uint8_t { none, character, string };

    // Out of line: rarer than names and punctuation.
    void skipTrivia();
    /// True when a comment starts at `pos`: '#' or "//".
    [[nodiscard]] bool startsComment(std::size_t pos) const noexcept {
        return text_[pos] == '#' ||
               (text_[pos] == '/' && pos + 1 < text_.size() && text_[pos + 1] == '/');
    }
    /// A string, or the error of a byte that starts no token.
    void lexOther(Token& token);
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
    Fault fault_ = Fault::none;
};

} // namespace Core::Placement

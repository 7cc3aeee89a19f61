// The placement lexer: positions, trivia, tokens and the reading operations.
#include "placement/lexer.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

namespace Core::Placement {
namespace {

// Byte classes, looked up once per byte: lexing is the hot path on large files.
enum ByteClass : std::uint8_t {
    kOther = 0,
    kBlank = 1,      // space, tab, carriage return
    kDigit = 2,      // 0-9
    kWordStart = 4,  // a-z, A-Z, '_', '-', '.'
    kNewline = 8,
    kPunctuation = 16, // { } : ;
    kCommentStart = 32, // '#', and '/' when another follows
    kTriviaStart = kBlank | kNewline | kCommentStart,
};

constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
    std::array<std::uint8_t, 256> classes{};
    classes[' '] = classes['\t'] = classes['\r'] = kBlank;
    classes['\n'] = kNewline;
    for (int c = '0'; c <= '9'; ++c) {
        classes[static_cast<std::size_t>(c)] = kDigit;
    }
    for (int c = 'a'; c <= 'z'; ++c) {
        classes[static_cast<std::size_t>(c)] = kWordStart;
    }
    for (int c = 'A'; c <= 'Z'; ++c) {
        classes[static_cast<std::size_t>(c)] = kWordStart;
    }
    classes['_'] = classes['-'] = classes['.'] = kWordStart;
    classes['{'] = classes['}'] = classes[':'] = classes[';'] = kPunctuation;
    classes['#'] = classes['/'] = kCommentStart;
    return classes;
}();

std::uint8_t byteClass(char c) { return kByteClasses[static_cast<unsigned char>(c)]; }

TokenKind punctuationKind(char c) {
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

// Kept out of line so the hot lexing path stays small.
[[noreturn, gnu::noinline]] void throwUnexpectedCharacter(const SourceLocation& location,
                                                          char c) {
    throw ParseError(location, "unexpected character '" + std::string(1, c) + "'");
}

std::string composeMessage(const SourceLocation& location, std::string_view message) {
    std::string text = location.file;
    text += ':';
    text += std::to_string(location.line);
    text += ':';
    text += std::to_string(location.column);
    text += ": ";
    text += message;
    return text;
}

constexpr std::array<Keyword<std::uint64_t>, 4> kByteUnits{{
    {"B", 1},
    {"KiB", 1024},
    {"MiB", 1048576},
    {"GiB", 1073741824},
}};

} // namespace

ParseError::ParseError(SourceLocation location, std::string_view message)
    : std::runtime_error(composeMessage(location, message)), location_(std::move(location)),
      text_(composeMessage(location_, message)) {}

PlacementParser::PlacementParser(std::string_view text, std::string file) : text_(text) {
    current_.location.file = std::move(file);
    advance();
}

SourceLocation PlacementParser::locationOf(Position position) const {
    return SourceLocation{current_.location.file, position.line, position.column};
}

void PlacementParser::fail(std::string_view message) const {
    throw ParseError(current_.location, message);
}

void PlacementParser::failAt(Position position, std::string_view message) const {
    throw ParseError(locationOf(position), message);
}

void PlacementParser::skipTrivia() {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t pos = offset_;
    while (pos < size) {
        const char c = data[pos];
        const std::uint8_t cls = byteClass(c);
        if (cls == kBlank) {
            ++pos;
        } else if (cls == kNewline) {
            ++pos;
            startLine(pos);
        } else if (c == '#' || (c == '/' && pos + 1 < size && data[pos + 1] == '/')) {
            const void* newline = std::memchr(data + pos, '\n', size - pos);
            if (newline == nullptr) {
                pos = size;
            } else {
                pos = static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
                startLine(pos);
            }
        } else {
            break;
        }
    }
    offset_ = pos;
}

void PlacementParser::advance() { lexInto(current_); }

void PlacementParser::lexInto(Token& token) {
    // Dense text has no trivia between most tokens; look once before looping.
    if (offset_ < text_.size() && (byteClass(text_[offset_]) & kTriviaStart) != 0) {
        skipTrivia();
    }
    token.location.line = line_;
    // Fits in 32 bits: the driver refuses texts whose last column would not.
    token.location.column = static_cast<std::uint32_t>(offset_ - lineStart_ + 1);
    const std::size_t size = text_.size();
    if (offset_ >= size) {
        token.kind = TokenKind::end;
        token.text = {};
        return;
    }
    const char c = text_[offset_];
    const std::uint8_t start = byteClass(c);
    std::size_t end = offset_ + 1;
    if ((start & (kDigit | kWordStart)) != 0) {
        // A number is a run of digits; a word may continue with digits.
        const std::uint8_t continues = start == kDigit ? kDigit : (kWordStart | kDigit);
        while (end < size && (byteClass(text_[end]) & continues) != 0) {
            ++end;
        }
        token.kind = start == kDigit ? TokenKind::number : TokenKind::identifier;
    } else if (start == kPunctuation) {
        token.kind = punctuationKind(c);
    } else if (c == '"') {
        lexString(token);
        return;
    } else {
        throwUnexpectedCharacter(token.location, c);
    }
    token.text = text_.substr(offset_, end - offset_);
    offset_ = end;
}

// Every string error is reported at the opening quote, wherever the fault lies.
// A string without escapes is a view of the text; one with escapes is
// resolved into a buffer that lives until the next string.
void PlacementParser::lexString(Token& token) {
    token.kind = TokenKind::string;
    const std::size_t size = text_.size();
    const std::size_t start = ++offset_;
    bool escaped = false;
    while (offset_ < size) {
        const char c = text_[offset_];
        if (c == '"') {
            token.text = escaped ? std::string_view(stringContent_)
                                 : text_.substr(start, offset_ - start);
            ++offset_;
            return;
        }
        if (c == '\n') {
            throw ParseError(token.location, "newline in string");
        }
        if (c != '\\') {
            if (escaped) {
                stringContent_.push_back(c);
            }
            ++offset_;
            continue;
        }
        if (!escaped) {
            escaped = true;
            stringContent_.assign(text_.substr(start, offset_ - start));
        }
        if (offset_ + 1 >= size) {
            throw ParseError(token.location, "unterminated escape");
        }
        const char next = text_[offset_ + 1];
        if (next == '"' || next == '\\') {
            stringContent_.push_back(next);
        } else if (next == 'n') {
            stringContent_.push_back('\n');
        } else {
            throw ParseError(token.location, "unsupported string escape");
        }
        offset_ += 2;
    }
    throw ParseError(token.location, "unterminated string");
}

void PlacementParser::expectToken(TokenKind kind, std::string_view shown) {
    if (current_.kind != kind) {
        fail("expected " + std::string(shown));
    }
    advance();
}

void PlacementParser::expectKeyword(std::string_view word) {
    if (current_.kind != TokenKind::identifier || current_.text != word) {
        fail("expected '" + std::string(word) + "'");
    }
    advance();
}

std::string_view PlacementParser::expectIdentifier(std::string_view what) {
    if (current_.kind != TokenKind::identifier) {
        fail("expected " + std::string(what));
    }
    const std::string_view text = current_.text;
    advance();
    return text;
}

void PlacementParser::requireValue() const {
    if (current_.kind != TokenKind::identifier && current_.kind != TokenKind::number) {
        fail("expected value");
    }
}

Token PlacementParser::parseValue() {
    requireValue();
    Token value = current_;
    advance();
    return value;
}

std::uint64_t PlacementParser::parseUnsigned() {
    if (current_.kind != TokenKind::number) {
        fail("expected unsigned integer");
    }
    const Position number = position();
    std::uint64_t value = 0;
    const std::string_view digits = current_.text;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    const bool fits = error == std::errc{} && end == digits.data() + digits.size();
    // The next token is read before the value is judged, so a lexical error
    // right after the number wins over the range error.
    advance();
    if (!fits) {
        failAt(number, "invalid unsigned integer");
    }
    return value;
}

std::uint64_t PlacementParser::parseByteQuantity() {
    const Position number = position();
    const std::uint64_t count = parseUnsigned();
    const std::uint64_t multiplier =
        parseKeyword<std::uint64_t>(kByteUnits, "byte unit");
    if (count > std::numeric_limits<std::uint64_t>::max() / multiplier) {
        failAt(number, "byte quantity overflow");
    }
    return count * multiplier;
}

} // namespace Core::Placement

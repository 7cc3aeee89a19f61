// The placement lexer: positions, trivia, tokens and the reading operations.
#include "placement/lexer.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

namespace Core::Placement {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isIdentifierStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-' || c == '.';
}

bool isIdentifierByte(char c) { return isIdentifierStart(c) || isDigit(c); }

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

// Columns stay in 32 bits because the driver refuses texts whose last column
// would not fit.
void PlacementParser::consumeColumns(std::size_t count) {
    offset_ += count;
    column_ += static_cast<std::uint32_t>(count);
}

void PlacementParser::skipTrivia() {
    const std::size_t size = text_.size();
    while (offset_ < size) {
        const char c = text_[offset_];
        if (c == ' ' || c == '\t' || c == '\r') {
            consumeColumns(1);
        } else if (c == '\n') {
            ++offset_;
            ++line_;
            column_ = 1;
        } else if (c == '#' || (c == '/' && offset_ + 1 < size && text_[offset_ + 1] == '/')) {
            const char* start = text_.data() + offset_;
            const void* newline = std::memchr(start, '\n', size - offset_);
            if (newline == nullptr) {
                consumeColumns(size - offset_);
            } else {
                offset_ += static_cast<std::size_t>(static_cast<const char*>(newline) - start) + 1;
                ++line_;
                column_ = 1;
            }
        } else {
            return;
        }
    }
}

void PlacementParser::advance() { lexInto(current_); }

void PlacementParser::lexInto(Token& token) {
    skipTrivia();
    token.location.line = line_;
    token.location.column = column_;
    token.text.clear();
    if (offset_ >= text_.size()) {
        token.kind = TokenKind::end;
        return;
    }
    const char c = text_[offset_];
    switch (c) {
    case '{':
        token.kind = TokenKind::lbrace;
        break;
    case '}':
        token.kind = TokenKind::rbrace;
        break;
    case ':':
        token.kind = TokenKind::colon;
        break;
    case ';':
        token.kind = TokenKind::semicolon;
        break;
    case '"':
        lexString(token);
        return;
    default: {
        bool (*const belongs)(char) =
            isDigit(c) ? isDigit : (isIdentifierStart(c) ? isIdentifierByte : nullptr);
        if (belongs == nullptr) {
            throw ParseError(token.location, "unexpected character '" + std::string(1, c) + "'");
        }
        std::size_t end = offset_ + 1;
        while (end < text_.size() && belongs(text_[end])) {
            ++end;
        }
        token.kind = belongs == isDigit ? TokenKind::number : TokenKind::identifier;
        token.text.assign(text_.substr(offset_, end - offset_));
        consumeColumns(end - offset_);
        return;
    }
    }
    token.text.push_back(c);
    consumeColumns(1);
}

// Every string error is reported at the opening quote, wherever the fault lies.
void PlacementParser::lexString(Token& token) {
    token.kind = TokenKind::string;
    consumeColumns(1);
    const std::size_t size = text_.size();
    while (offset_ < size) {
        const char c = text_[offset_];
        if (c == '"') {
            consumeColumns(1);
            return;
        }
        if (c == '\n') {
            throw ParseError(token.location, "newline in string");
        }
        if (c == '\\') {
            if (offset_ + 1 >= size) {
                throw ParseError(token.location, "unterminated escape");
            }
            const char escaped = text_[offset_ + 1];
            if (escaped == '"' || escaped == '\\') {
                token.text.push_back(escaped);
            } else if (escaped == 'n') {
                token.text.push_back('\n');
            } else {
                throw ParseError(token.location, "unsupported string escape");
            }
            consumeColumns(2);
            continue;
        }
        token.text.push_back(c);
        consumeColumns(1);
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

std::string PlacementParser::expectIdentifier(std::string_view what) {
    if (current_.kind != TokenKind::identifier) {
        fail("expected " + std::string(what));
    }
    std::string text = current_.text;
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
    const std::string& digits = current_.text;
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

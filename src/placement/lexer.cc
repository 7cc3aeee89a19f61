// The placement lexer: positions, trivia and tokens, and the parse exception.
#include "placement/lexer.h"

#include <array>
#include <cstring>
#include <utility>

#include "common/identifier.h"

namespace Core::Placement {
namespace {

// Byte classes, looked up once per byte: lexing is the hot path on large files.
enum ByteClass : std::uint8_t {
    kOther = 0,
    kBlank = 1,         // space, tab, carriage return
    kDigit = 2,         // 0-9
    kWordStart = 4,     // a name's first byte: an identifier byte that is no digit
    kNewline = 8,
    kPunctuation = 16,  // { } : ;
    kCommentStart = 32, // '#', and '/' when another follows
    kTriviaStart = kBlank | kNewline | kCommentStart,
};

constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
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

std::string positioned(const SourceLocation& location, std::string_view message) {
    std::string text = location.file;
    text += ':';
    text += std::to_string(location.line);
    text += ':';
    text += std::to_string(location.column);
    text += ": ";
    text += message;
    return text;
}

} // namespace

std::string_view describe(TokenKind kind) {
    switch (kind) {
    case TokenKind::identifier:
        return "identifier";
    case TokenKind::string:
        return "quoted string";
    case TokenKind::number:
        return "unsigned integer";
    case TokenKind::lbrace:
        return "'{'";
    case TokenKind::rbrace:
        return "'}'";
    case TokenKind::colon:
        return "':'";
    case TokenKind::semicolon:
        return "';'";
    case TokenKind::end:
        break;
    }
    return "end of text";
}

std::string expectedMessage(std::string_view what) {
    std::string message = "expected ";
    message += what;
    return message;
}

std::string unknownMessage(std::string_view what, std::string_view value) {
    std::string message = "unknown ";
    message += what;
    message += " '";
    message += value;
    message += '\'';
    return message;
}

ParseError::ParseError(SourceLocation location, std::string message)
    : std::runtime_error(positioned(location, message)), location_(std::move(location)),
      message_(std::move(message)), text_(positioned(location_, message_)) {}

void PlacementLexer::skipTrivia() {
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

void PlacementLexer::next(Token& token) {
    const std::size_t size = text_.size();
    // Most tokens follow one blank or none; only longer white space and
    // comments take the loop.
    if (offset_ < size && text_[offset_] == ' ') {
        ++offset_;
    }
    if (offset_ < size && (byteClass(text_[offset_]) & kTriviaStart) != 0) {
        skipTrivia();
    }
    token.location.line = line_;
    // Fits in 32 bits: the driver refuses texts whose last column would not.
    token.location.column = static_cast<std::uint32_t>(offset_ - lineStart_ + 1);
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
void PlacementLexer::lexString(Token& token) {
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

} // namespace Core::Placement

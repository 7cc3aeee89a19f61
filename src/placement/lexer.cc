// The placement lexer: positions, trivia and tokens, and the parse exception.
#include "placement/lexer.h"

#include <cstring>
#include <utility>

namespace Core::Placement {
namespace {

[[noreturn]] void throwUnexpectedCharacter(const SourceLocation& location, char c,
                                           ParseHint hint) {
    throw ParseError(location, "unexpected character '" + std::string(1, c) + "'",
                     std::move(hint));
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

ParseError::ParseError(SourceLocation location, std::string message, ParseHint hint)
    : std::runtime_error(positioned(location, message)), location_(std::move(location)),
      message_(std::move(message)), text_(positioned(location_, message_)),
      hint_(std::move(hint)) {}

void PlacementLexer::skipTrivia() {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t pos = offset_;
    while (pos < size) {
        const char c = data[pos];
        const std::uint8_t cls = LexerBytes::classOf(c);
        if (cls == LexerBytes::kBlank) {
            ++pos;
        } else if (cls == LexerBytes::kNewline) {
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

void PlacementLexer::lexOther(Token& token) {
    const char c = text_[offset_];
    if (c == '"') {
        lexString(token);
        return;
    }
    // Editors add a byte-order mark unasked; the message stays that of any
    // other byte, with a hint beside it.
    const bool byteOrderMark = offset_ == 0 && text_.starts_with("\xEF\xBB\xBF");
    fault_ = Fault::character;
    ParseHint hint;
    hint.byte_order_mark = byteOrderMark;
    // The message keeps the one byte; the note shows the whole character.
    std::size_t end = offset_ + 1;
    while (end < text_.size() && end - offset_ < 4 &&
           (static_cast<unsigned char>(text_[end]) & 0xC0U) == 0x80U) {
        ++end;
    }
    hint.found = std::string(text_.substr(offset_, end - offset_));
    hint.what = "character";
    throwUnexpectedCharacter(token.location, c, std::move(hint));
}

// Every string error is reported at the opening quote, wherever the fault lies.
// A string without escapes is a view of the text; one with escapes is
// resolved into a buffer that lives until the next string.
void PlacementLexer::lexString(Token& token) {
    token.kind = TokenKind::string;
    // Cleared on the way out; a throw below leaves it set.
    fault_ = Fault::string;
    const std::size_t size = text_.size();
    const std::size_t start = ++offset_;
    bool escaped = false;
    while (offset_ < size) {
        const char c = text_[offset_];
        if (c == '"') {
            token.text =
                escaped ? std::string_view(stringContent_) : text_.substr(start, offset_ - start);
            ++offset_;
            fault_ = Fault::none;
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
        const char after = text_[offset_ + 1];
        if (after == '"' || after == '\\') {
            stringContent_.push_back(after);
        } else if (after == 'n') {
            stringContent_.push_back('\n');
        } else {
            throw ParseError(token.location, "unsupported string escape");
        }
        offset_ += 2;
    }
    throw ParseError(token.location, "unterminated string");
}

bool PlacementLexer::startsLine(const Token& token) const noexcept {
    for (std::size_t pos = lineStart_; pos < lineStart_ + token.location.column - 1; ++pos) {
        if (LexerBytes::classOf(text_[pos]) != LexerBytes::kBlank) {
            return false;
        }
    }
    return true;
}

void PlacementLexer::skipFault() noexcept {
    const std::size_t size = text_.size();
    if (fault_ == Fault::character && offset_ < size) {
        ++offset_;
        while (offset_ < size && (static_cast<unsigned char>(text_[offset_]) & 0xC0U) == 0x80U) {
            ++offset_;
        }
    } else if (fault_ == Fault::string) {
        const void* newline = std::memchr(text_.data() + offset_, '\n', size - offset_);
        offset_ = newline == nullptr
                      ? size
                      : static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data());
    }
    fault_ = Fault::none;
}

} // namespace Core::Placement

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

namespace {

/// The offset of the first '\n' at or after `pos`, or `size`.
std::size_t newlineFrom(const char* data, std::size_t pos, std::size_t size) {
#if defined(__SSE2__)
    // Inline rather than memchr: most comments are shorter than a call's overhead.
    const __m128i newline = _mm_set1_epi8('\n');
    for (; pos + 16 <= size; pos += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        const auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
        if (found != 0) {
            return pos + static_cast<std::size_t>(__builtin_ctz(found));
        }
    }
#endif
    const void* found = std::memchr(data + pos, '\n', size - pos);
    return found == nullptr ? size
                            : static_cast<std::size_t>(static_cast<const char*>(found) - data);
}

} // namespace

void PlacementLexer::skipTrivia() {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t pos = offset_;
#if defined(__SSE2__)
    // Counts the newlines that `ended` marks, bit i for the byte at `at` + i.
    const auto endLines = [this](std::size_t at, unsigned ended) {
        if (ended == 0) {
            return;
        }
        lineStart_ = at + static_cast<std::size_t>(32 - __builtin_clz(ended));
        for (; ended != 0; ended &= ended - 1U) {
            ++line_;
        }
    };
    // Sixteen bytes a load: white space, the lines it ends, and the comment
    // it stops at, when that comment's newline is in the same load. The
    // text's last few bytes take the loop below.
    while (pos + 16 <= size) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        // Tab and carriage return are the two bytes that setting bit 2 makes 0x0D.
        const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x04));
        const auto newlines = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
        const auto blanks = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                                           _mm_cmpeq_epi8(folded, _mm_set1_epi8(0x0D)))));
        const unsigned stop = ~(newlines | blanks) & 0xFFFFU;
        if (stop == 0) {
            endLines(pos, newlines);
            pos += 16;
            continue;
        }
        const auto run = static_cast<unsigned>(__builtin_ctz(stop));
        endLines(pos, newlines & ((1U << run) - 1U));
        const std::size_t loadEnd = pos + 16;
        pos += run;
        if (!startsComment(pos)) {
            offset_ = pos;
            return;
        }
        // A comment runs to its line's end; the newline ends the line too.
        const unsigned after = newlines >> run;
        pos = after != 0 ? pos + static_cast<std::size_t>(__builtin_ctz(after))
                         : newlineFrom(data, loadEnd, size);
        if (pos == size) {
            offset_ = pos;
            return;
        }
        ++pos;
        startLine(pos);
    }
#endif
    for (; pos < size; ++pos) {
        const std::uint8_t cls = LexerBytes::classOf(data[pos]);
        if (cls == LexerBytes::kNewline) {
            startLine(pos + 1);
        } else if (cls == LexerBytes::kBlank) {
            continue;
        } else if (startsComment(pos)) {
            pos = newlineFrom(data, pos, size); // the loop steps past the newline
            if (pos == size) {
                break;
            }
            startLine(pos + 1);
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

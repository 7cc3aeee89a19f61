// The parser of the placement grammar: the token-level reading operations and
// one member function per block. Internal to the placement library; callers
// use parsePlacement.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/source_location.h"
#include "placement/document.h"
#include "placement/lexer.h"
#include "placement/parser.h"

namespace Core::Placement {

/// Holds the one current token and reads the grammar on it.
class PlacementParser {
  public:
    /// A line and column of the text, cheaper to keep than a SourceLocation.
    struct Position {
        std::uint32_t line = 1;
        std::uint32_t column = 1;
    };

    /// Reads the first token, so a lexical error there is raised here. With
    /// `errors`, every error is added there instead of thrown, and the parse
    /// resynchronises after it and goes on.
    PlacementParser(std::string_view text, std::string file,
                    std::vector<ParseError>* errors = nullptr);

    /// True when a recovering parse stopped at kMaxParseErrors.
    [[nodiscard]] bool stoppedEarly() const noexcept { return stopped_; }

    /// The whole file: returns the header, hands every block to `blocks`.
    [[nodiscard]] PlacementSpec parseDocument(PlacementBlockSink& blocks);

    // Block parsers: each is called on the token after the block's keyword
    // and returns on the token after its closing brace.
    [[nodiscard]] DeviceSpec parseDeviceBlock(SourceLocation keyword);
    [[nodiscard]] EngineDefaults parseDefaultsBlock(SourceLocation keyword);
    [[nodiscard]] EnginePlacement parseEngineBlock(SourceLocation keyword);
    /// One field of an engine block, on its first token.
    void parseEngineField(EnginePlacement& engine);
    [[nodiscard]] ModelSpec parseModelBlock();
    [[nodiscard]] MemorySpec parseMemoryBlock();

    // Token-level reading operations; every failure is a ParseError.
    [[nodiscard]] const Token& current() const noexcept { return current_; }
    [[nodiscard]] bool at(TokenKind kind) const noexcept { return current_.kind == kind; }
    [[nodiscard]] Position position() const noexcept {
        return {current_.location.line, current_.location.column};
    }
    [[nodiscard]] SourceLocation locationOf(Position position) const;

    void advance() { lexer_.next(current_); }
    /// A "{" that opens a block, and the "}" that closes it: the parse keeps
    /// count, so that recovery knows which braces are the block's.
    void openBlock() {
        expectToken(TokenKind::lbrace);
        ++depth_;
    }
    void closeBlock() {
        --depth_; // first: the token after the '}' may not be readable
        advance();
    }
    /// Reads the fields of a block with `field` up to its "}", and consumes
    /// it. False when recovery cut the block short (the text ended, or a new
    /// top-level block began where its "}" was missing).
    template <class Field> bool parseFields(Field&& field) {
        while (!at(TokenKind::rbrace)) {
            if (unwinding_) {
                return false;
            }
            recoverable(field);
        }
        closeBlock();
        return true;
    }
    /// The fast path of a "name: value;" field, which most fields of a large
    /// file are: when the current token, the field's name, is followed on its
    /// line by ": value ;" with a name for the value, and `take(name, value)`
    /// accepts them, the field is consumed and true returned. Otherwise
    /// nothing is read and `take` must have changed nothing: the general path
    /// then reads the field and reports what is wrong with it.
    template <class Take> bool takeSimpleField(Take&& take) {
        if (current_.kind != TokenKind::identifier) {
            return false;
        }
        const std::optional<PlacementLexer::FieldTail> tail = lexer_.peekFieldTail();
        if (!tail || !take(current_.text, tail->value)) {
            return false;
        }
        lexer_.skipFieldTail(*tail);
        advance();
        return true;
    }
    /// Runs `parse`; when recovering, an error it throws is kept and the
    /// parse resynchronises at the end of what `parse` was reading.
    template <class Parse> void recoverable(Parse&& parse) {
        if (errors_ == nullptr) {
            parse();
            return;
        }
        const Mark mark = markHere();
        try {
            parse();
        } catch (ParseError& error) {
            recover(std::move(error), mark);
        }
    }
    /// An error that leaves the parse where it was: thrown, or when recovering kept.
    void report(ParseError error);
    /// How many errors a recovering parse has kept; 0 otherwise.
    [[nodiscard]] std::size_t errorCount() const noexcept {
        return errors_ == nullptr ? 0 : errors_->size();
    }
    [[noreturn]] void fail(std::string message) const;
    [[noreturn]] void failAt(Position position, std::string message) const;
    /// Fails with expectedMessage(what) at the current token.
    [[noreturn]] void failExpected(std::string_view what) const;

    /// The current token must be of `kind`; it is consumed.
    void expectToken(TokenKind kind) {
        if (current_.kind != kind) {
            failExpected(describe(kind));
        }
        advance();
    }
    void expectKeyword(std::string_view word);
    /// The identifier's text, a view of the placement text that stays valid
    /// while the text does.
    [[nodiscard]] std::string_view expectIdentifier(std::string_view what) {
        if (current_.kind != TokenKind::identifier) {
            failExpected(what);
        }
        const std::string_view text = current_.text;
        advance();
        return text;
    }
    [[nodiscard]] Token parseValue();
    [[nodiscard]] std::uint64_t parseUnsigned();
    /// parseUnsigned for a 32-bit field; the range error is reported at the
    /// token after the number.
    [[nodiscard]] std::uint32_t parseUnsigned32();
    [[nodiscard]] std::uint64_t parseByteQuantity();
    /// "unknown byte unit '.5'" at the fraction of a size written "1.5 GiB",
    /// with a note giving the size as a whole number.
    [[noreturn]] void failDecimalSize(std::string_view digits, std::uint64_t count) const;
    [[nodiscard]] std::string parseQuotedString();

    template <class T>
    [[nodiscard]] T lookupKeyword(const Token& token, std::span<const Keyword<T>> table,
                                  std::string_view what) const {
        if (const std::optional<T> value = findKeyword(table, token.text)) {
            return *value;
        }
        throw ParseError(token.location, unknownMessage(what, token.text),
                         {std::string(token.text), wordsOf(table), what, false, {}});
    }

    /// parseValue followed by lookupKeyword, without copying the token unless
    /// the lookup fails.
    template <class T>
    [[nodiscard]] T parseKeyword(std::span<const Keyword<T>> table, std::string_view what) {
        if (!atValue()) {
            // The table's words only for the hint of a failure: this is the hot path.
            failNoValue(wordsOf(table), what);
        }
        if (const std::optional<T> value = findKeyword(table, current_.text)) {
            advance();
            return *value;
        }
        const Token value = parseValue();
        return lookupKeyword(value, table, what);
    }

    /// The field that `word` names in `table`; fails with
    /// unknownMessage(what, word) at the word when it names none, where
    /// `what` names the kind of field ("device field").
    template <class T>
    [[nodiscard]] T fieldOf(std::span<const Keyword<T>> table, Position field,
                            std::string_view what, std::string_view word) const {
        if (const std::optional<T> value = findKeyword(table, word)) {
            return *value;
        }
        failUnknownField(table, field, what, word);
    }

    template <class T>
    [[noreturn]] void failUnknownField(std::span<const Keyword<T>> table, Position field,
                                       std::string_view what, std::string_view word) const {
        throw ParseError(locationOf(field), unknownMessage(what, word),
                         {std::string(word), wordsOf(table), what, false, {}});
    }

  private:
    [[nodiscard]] bool atValue() const noexcept {
        return current_.kind == TokenKind::identifier || current_.kind == TokenKind::number;
    }
    /// Fails with "expected value"; `words` are the values accepted there and
    /// `what` names them, for the hint.
    [[noreturn]] void failNoValue(std::vector<std::string_view> words = {},
                                  std::string_view what = {}) const;

    /// Where a field started, to resynchronise after an error in it.
    struct Mark {
        std::uint32_t depth = 0;
        PlacementLexer::State state;
        Position position;
    };
    [[nodiscard]] Mark markHere() const noexcept {
        return {depth_, lexer_.stateAt(current_), position()};
    }
    void recover(ParseError error, const Mark& mark);
    /// Keeps the error with the notes that need the text; false once the
    /// parse has kept as many as it reports.
    bool keep(ParseError error, const Mark& mark);
    /// Reads the next token, stepping over what the lexer cannot read.
    void advanceTolerant();
    /// True at a word that begins a line and can only begin a top-level
    /// field: where a block whose "}" is missing must have ended. With the
    /// line of the token before, when the caller knows it.
    [[nodiscard]] bool atTopLevelStart(std::optional<std::uint32_t> previousLine = {}) const;
    void recoverHeader(ParseError error, const Mark& mark);

    std::string_view text_;
    PlacementLexer lexer_;
    Token current_;
    std::vector<ParseError>* errors_ = nullptr;
    std::uint32_t depth_ = 0;  ///< blocks opened and not yet closed
    bool unwinding_ = false;   ///< recovery returns to the top level
    bool stopped_ = false;     ///< recovery kept kMaxParseErrors and stopped
    bool topFieldLost_ = false; ///< a top-level field could not be told
};

} // namespace Core::Placement

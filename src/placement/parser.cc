// The token-level reading operations, the top level of the placement grammar,
// and its device and defaults blocks.
#include "placement/parser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/checked_math.h"
#include "placement/keywords.h"
#include "placement/placement_parser.h"

namespace Core::Placement {
namespace {

constexpr std::uint64_t kUint32Max = std::numeric_limits<std::uint32_t>::max();

/// The names already used by one kind of block. The names, views into the
/// text, are kept in arrival order; the open-addressed table holds only each
/// name's hash and position, 8 bytes a slot, so that on a wide file of
/// hundreds of thousands of names it stays small enough for the caches.
class NameSet {
  public:
    /// A name about to be inserted, with its hash.
    struct Entry {
        std::string_view name;
        std::uint32_t hash = 0;
    };

    /// Hashes the name and starts loading its slot: the caller parses the
    /// block before it inserts the name, and the slot arrives meanwhile, where
    /// a table larger than the caches would otherwise stall every insert.
    [[nodiscard]] Entry prepare(std::string_view name) const {
        const Entry entry{name, hashOf(name)};
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[entry.hash & (slots_.size() - 1)]);
        }
        return entry;
    }

    /// False when the name is already in the set.
    bool insert(const Entry& entry) {
        // Grows at 4/5 full: linear probing stays short while the table stays small.
        if (5 * (names_.size() + 1) > 4 * slots_.size()) {
            grow();
        }
        const std::string_view name = entry.name;
        const std::uint32_t hash = entry.hash;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.position == 0) {
                if (names_.size() >= std::numeric_limits<std::uint32_t>::max()) {
                    throw std::length_error("more names than a placement can hold");
                }
                names_.push_back(name);
                slot = {hash, static_cast<std::uint32_t>(names_.size())};
                return true;
            }
            if (slot.hash == hash && names_[slot.position - 1] == name) {
                return false;
            }
        }
    }

  private:
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t position = 0; ///< 1 + the name's index in names_; 0 for a free slot
    };

    static std::uint32_t hashOf(std::string_view name) {
        return static_cast<std::uint32_t>(std::hash<std::string_view>{}(name));
    }

    void grow() {
        std::vector<Slot> larger(slots_.empty() ? 16 : 2 * slots_.size());
        const std::size_t mask = larger.size() - 1;
        for (const Slot& slot : slots_) {
            if (slot.position == 0) {
                continue;
            }
            std::size_t i = slot.hash & mask;
            while (larger[i].position != 0) {
                i = (i + 1) & mask;
            }
            larger[i] = slot;
        }
        slots_ = std::move(larger);
    }

    std::vector<std::string_view> names_;
    std::vector<Slot> slots_;
};

/// Collects the blocks into the document, for the plain parsePlacement.
class DocumentBlocks final : public PlacementBlockSink {
  public:
    explicit DocumentBlocks(PlacementSpec& placement) : placement_(placement) {}
    void device(DeviceSpec&& device) override { placement_.devices.push_back(std::move(device)); }
    void defaults(EngineDefaults&& defaults) override {
        placement_.defaults.push_back(std::move(defaults));
    }
    void engine(EnginePlacement&& engine) override {
        placement_.engines.push_back(std::move(engine));
    }

  private:
    PlacementSpec& placement_;
};

} // namespace

PlacementParser::PlacementParser(std::string_view text, std::string file,
                                 std::vector<ParseError>* errors)
    : text_(text), lexer_(text), errors_(errors) {
    current_.location.file = std::move(file);
    if (errors_ == nullptr) {
        advance();
        return;
    }
    try {
        advance();
    } catch (ParseError& error) {
        keep(std::move(error), Mark{});
        advanceTolerant();
    }
}

void PlacementParser::report(ParseError error) {
    if (errors_ == nullptr) {
        throw std::move(error);
    }
    keep(std::move(error), markHere());
}

void PlacementParser::advanceTolerant() {
    for (;;) {
        if (lexer_.failed()) {
            lexer_.skipFault();
        }
        try {
            lexer_.next(current_);
            return;
        } catch (const ParseError&) {
            // Inside what recovery skips; the fault it started from is reported.
        }
    }
}

namespace {

/// How a note names the token the parse found: 'policy', '}', a quoted string.
std::string foundText(const Token& token) {
    switch (token.kind) {
    case TokenKind::identifier:
    case TokenKind::number: {
        std::string quoted(1, '\'');
        quoted += token.text;
        quoted += '\'';
        return quoted;
    }
    case TokenKind::string:
        return "a quoted string";
    case TokenKind::end:
        return "the end of the text";
    default:
        return std::string(describe(token.kind));
    }
}

} // namespace

bool PlacementParser::keep(ParseError error, const Mark& mark) {
    if (stopped_) {
        return false;
    }
    // A missing ';' is seen only at the token after it, often on the next
    // line: point at the end of the token it should follow.
    if (error.message() == expectedMessage(describe(TokenKind::semicolon)) && !lexer_.failed()) {
        PlacementLexer scan = lexer_;
        scan.restore(mark.state);
        Token token;
        token.location.file = current_.location.file;
        std::optional<SourceLocation> previousEnd;
        std::string previous;
        try {
            for (;;) {
                scan.next(token);
                const SourceLocation& where = token.location;
                if (token.kind == TokenKind::end || where.line > error.location().line ||
                    (where.line == error.location().line &&
                     where.column >= error.location().column)) {
                    break;
                }
                previousEnd = SourceLocation{where.file, where.line, scan.endColumn()};
                previous = foundText(token);
            }
        } catch (const ParseError&) {
            previousEnd.reset();
        }
        if (previousEnd) {
            error.hint().notes.push_back(
                {"the ';' is missing here, after " + previous + "; the next token is " +
                     foundText(current_) +
                     (previousEnd->line < error.location().line ? ", on a later line" : ""),
                 std::move(previousEnd)});
        }
    }
    errors_->push_back(std::move(error));
    if (errors_->size() >= kMaxParseErrors) {
        stopped_ = true;
        unwinding_ = true;
        return false;
    }
    return true;
}

bool PlacementParser::atTopLevelStart(std::optional<std::uint32_t> previousLine) const {
    if (current_.kind != TokenKind::identifier) {
        return false;
    }
    const std::optional<Keywords::PlacementField> field = findKeyword(
        std::span<const Keyword<Keywords::PlacementField>>(Keywords::kPlacementFields),
        current_.text);
    // The keyword first: looking back along a long line costs more.
    if (!field || (previousLine ? *previousLine == current_.location.line
                                : !lexer_.startsLine(current_))) {
        return false;
    }
    PlacementLexer peek = lexer_;
    Token next;
    try {
        peek.next(next);
    } catch (const ParseError&) {
        return false;
    }
    // "device: gpu0;" is an engine's field; "device gpu0 {" a block.
    switch (*field) {
    case Keywords::PlacementField::device:
    case Keywords::PlacementField::engine:
    case Keywords::PlacementField::defaults:
        return next.kind != TokenKind::colon;
    default:
        return next.kind == TokenKind::colon;
    }
}

void PlacementParser::recover(ParseError error, const Mark& mark) {
    const bool lexical = lexer_.failed();
    const bool missingSemicolon =
        !lexical && error.message() == expectedMessage(describe(TokenKind::semicolon));
    if (!keep(std::move(error), mark)) {
        return;
    }
    // A ';' missing at the end of a line: the next line is the next field.
    if (missingSemicolon && depth_ == mark.depth && current_.location.line > mark.position.line &&
        lexer_.startsLine(current_)) {
        return;
    }
    if (lexical) {
        advanceTolerant();
    }
    // A field inside a block that begins as only a top-level field can was
    // one: the block's '}' is missing. Go back to it, at the top level.
    if (mark.depth > 1) {
        const PlacementLexer::State here = lexer_.stateAt(current_);
        lexer_.restore(mark.state);
        advanceTolerant();
        if (atTopLevelStart()) {
            unwinding_ = true;
            depth_ = mark.depth;
            return;
        }
        lexer_.restore(here);
        advanceTolerant();
    }
    // Skip to the ';' that ends the field, or the '}' of a block it opened,
    // without leaving the field's own block.
    std::uint32_t open = depth_ - mark.depth;
    depth_ = mark.depth;
    bool moved = current_.location.line != mark.position.line ||
                 current_.location.column != mark.position.column;
    std::optional<std::uint32_t> previousLine; // known once the skip has read a token
    for (;;) {
        if (at(TokenKind::end)) {
            unwinding_ = true;
            return;
        }
        if (moved && mark.depth >= 1 && atTopLevelStart(previousLine)) {
            unwinding_ = mark.depth > 1;
            return;
        }
        switch (current_.kind) {
        case TokenKind::lbrace:
            ++open;
            break;
        case TokenKind::rbrace:
            if (open == 0) {
                return; // the block's own: its loop closes it
            }
            if (--open == 0) {
                advanceTolerant();
                if (at(TokenKind::semicolon)) {
                    advanceTolerant();
                }
                return;
            }
            break;
        case TokenKind::semicolon:
            if (open == 0) {
                advanceTolerant();
                return;
            }
            break;
        default:
            break;
        }
        previousLine = current_.location.line;
        advanceTolerant();
        moved = true;
    }
}

void PlacementParser::recoverHeader(ParseError error, const Mark& mark) {
    const bool lexical = lexer_.failed();
    if (!keep(std::move(error), mark)) {
        return;
    }
    if (lexical) {
        advanceTolerant();
    }
    // The body is read as if the header had ended at its '{'.
    std::optional<std::uint32_t> previousLine;
    while (!at(TokenKind::end) && !at(TokenKind::lbrace) && !atTopLevelStart(previousLine)) {
        previousLine = current_.location.line;
        advanceTolerant();
    }
    if (at(TokenKind::lbrace)) {
        advanceTolerant();
    }
    depth_ = 1;
    unwinding_ = at(TokenKind::end); // a text that is all header has nothing more to say
}

SourceLocation PlacementParser::locationOf(Position position) const {
    return SourceLocation{current_.location.file, position.line, position.column};
}

void PlacementParser::fail(std::string message) const {
    throw ParseError(current_.location, std::move(message));
}

void PlacementParser::failAt(Position position, std::string message) const {
    throw ParseError(locationOf(position), std::move(message));
}

void PlacementParser::failExpected(std::string_view what) const {
    fail(expectedMessage(what));
}

void PlacementParser::expectKeyword(std::string_view word) {
    if (current_.kind != TokenKind::identifier || current_.text != word) {
        std::string quoted(1, '\'');
        quoted.append(word).push_back('\'');
        throw ParseError(current_.location, expectedMessage(quoted),
                         {std::string(current_.text), {word}, "keyword", false, {}});
    }
    advance();
}

void PlacementParser::failNoValue(std::vector<std::string_view> words,
                                  std::string_view what) const {
    throw ParseError(current_.location, expectedMessage("value"), {{}, std::move(words), what, false, {}});
}

Token PlacementParser::parseValue() {
    if (!atValue()) {
        failNoValue();
    }
    Token value = current_;
    advance();
    return value;
}

std::uint64_t PlacementParser::parseUnsigned() {
    if (current_.kind != TokenKind::number) {
        failExpected(describe(TokenKind::number));
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

std::uint32_t PlacementParser::parseUnsigned32() {
    const std::uint64_t value = parseUnsigned();
    if (value > kUint32Max) {
        fail("integer exceeds uint32");
    }
    return static_cast<std::uint32_t>(value);
}

std::uint64_t PlacementParser::parseByteQuantity() {
    const Position number = position();
    const std::string_view digits = current_.text;
    const std::uint64_t count = parseUnsigned();
    if (at(TokenKind::identifier) && current_.text.starts_with('.') &&
        !findKeyword(std::span<const Keyword<std::uint64_t>>(Keywords::kByteUnits), current_.text)) {
        failDecimalSize(digits, count);
    }
    const std::uint64_t multiplier = parseKeyword<std::uint64_t>(Keywords::kByteUnits, "byte unit");
    const std::optional<std::uint64_t> bytes = checkedMul(count, multiplier);
    if (!bytes) {
        failAt(number, "byte quantity overflow");
    }
    return *bytes;
}

void PlacementParser::failDecimalSize(std::string_view digits, std::uint64_t count) const {
    const Token fraction = current_;
    ParseError error(fraction.location, unknownMessage("byte unit", fraction.text),
                     {std::string(fraction.text), wordsOf(std::span<const Keyword<std::uint64_t>>(
                                                      Keywords::kByteUnits)),
                      "byte unit", false, {}});
    // "1.5 GiB": the unit after the fraction says what the size was meant to be.
    PlacementLexer peek = lexer_;
    Token unit;
    unit.location.file = current_.location.file; // an error there names the file too
    std::optional<std::uint64_t> multiplier;
    try {
        peek.next(unit);
        if (unit.kind == TokenKind::identifier) {
            multiplier = findKeyword(
                std::span<const Keyword<std::uint64_t>>(Keywords::kByteUnits), unit.text);
        }
    } catch (const ParseError&) {
        throw; // reading on to the unit meets this first, as for any other unit
    }
    const std::string_view decimals = fraction.text.substr(1);
    std::string note = "sizes are whole numbers in B, KiB, MiB or GiB";
    if (multiplier && !decimals.empty() && decimals.size() <= 9 &&
        std::all_of(decimals.begin(), decimals.end(), isDigitByte)) {
        std::uint64_t scale = 1;
        for (std::size_t i = 0; i < decimals.size(); ++i) {
            scale *= 10;
        }
        std::uint64_t fractionValue = 0;
        (void)std::from_chars(decimals.data(), decimals.data() + decimals.size(), fractionValue);
        const std::optional<std::uint64_t> whole = checkedMul(count, *multiplier);
        const std::uint64_t part = fractionValue * *multiplier;
        if (whole && part % scale == 0) {
            if (const std::optional<std::uint64_t> bytes = checkedAdd(*whole, part / scale)) {
                constexpr std::array<std::pair<std::uint64_t, std::string_view>, 4> kUnits = {
                    {{1073741824, "GiB"}, {1048576, "MiB"}, {1024, "KiB"}, {1, "B"}}};
                for (const auto& [size, name] : kUnits) {
                    if (*bytes % size == 0) {
                        note = "sizes are whole numbers: write ";
                        note += std::to_string(*bytes / size);
                        note += ' ';
                        note += name;
                        note += " for ";
                        note += digits;
                        note += fraction.text;
                        note += ' ';
                        note += unit.text;
                        break;
                    }
                }
            }
        }
    }
    error.hint().notes.push_back({std::move(note), std::nullopt});
    throw error;
}

std::string PlacementParser::parseQuotedString() {
    if (!at(TokenKind::string)) {
        failExpected(describe(TokenKind::string));
    }
    std::string text(current_.text);
    advance();
    return text;
}

DeviceSpec PlacementParser::parseDeviceBlock(SourceLocation keyword) {
    DeviceSpec device;
    device.name = expectIdentifier("device name");
    openBlock();
    const std::size_t errorsBefore = errorCount();
    bool kindSeen = false;
    const bool closed = parseFields([&] {
        const Position field = position();
        const std::string_view word = expectIdentifier("device field");
        expectToken(TokenKind::colon);
        switch (fieldOf<Keywords::DeviceField>(Keywords::kDeviceFields, field, "device field",
                                               word)) {
        case Keywords::DeviceField::kind:
            if (kindSeen) {
                report(ParseError(locationOf(field), "duplicate kind"));
            }
            device.kind = parseKeyword<DeviceKind>(Keywords::kDeviceKinds, "device kind");
            kindSeen = true;
            expectToken(TokenKind::semicolon);
            break;
        case Keywords::DeviceField::selector:
            openBlock();
            expectKeyword("index");
            expectToken(TokenKind::colon);
            device.selector.index = parseUnsigned32();
            expectToken(TokenKind::semicolon);
            expectToken(TokenKind::rbrace);
            --depth_;
            expectToken(TokenKind::semicolon);
            break;
        case Keywords::DeviceField::reserve:
            device.reserve = parseByteQuantity();
            expectToken(TokenKind::semicolon);
            break;
        }
    });
    // A block that recovery cut short may have lost its kind with the rest.
    if (!kindSeen && closed && errorCount() == errorsBefore) {
        report(ParseError(keyword, "device requires kind"));
    }
    device.location = std::move(keyword);
    return device;
}

EngineDefaults PlacementParser::parseDefaultsBlock(SourceLocation keyword) {
    EngineDefaults defaults;
    defaults.engine_class = parseKeyword<EngineClass>(Keywords::kEngineClasses, "engine class");
    openBlock();
    parseFields([&] {
        if (takeSimpleField([&](std::string_view name, std::string_view value) {
                const std::optional<Keywords::DefaultsField> field = findKeyword(
                    std::span<const Keyword<Keywords::DefaultsField>>(Keywords::kDefaultsFields),
                    name);
                if (field == Keywords::DefaultsField::residency) {
                    return assignKeyword<Residency>(defaults.residency, Keywords::kResidencies,
                                                    value);
                }
                return field == Keywords::DefaultsField::priority &&
                       assignKeyword<Priority>(defaults.priority, Keywords::kPriorities, value);
            })) {
            return;
        }
        const Position field = position();
        const std::string_view word = expectIdentifier("defaults field");
        expectToken(TokenKind::colon);
        switch (fieldOf<Keywords::DefaultsField>(Keywords::kDefaultsFields, field,
                                                 "defaults field", word)) {
        case Keywords::DefaultsField::residency:
            defaults.residency = parseKeyword<Residency>(Keywords::kResidencies, "residency");
            break;
        case Keywords::DefaultsField::priority:
            defaults.priority = parseKeyword<Priority>(Keywords::kPriorities, "priority");
            break;
        }
        expectToken(TokenKind::semicolon);
    });
    defaults.location = std::move(keyword);
    return defaults;
}

PlacementSpec PlacementParser::parseDocument(PlacementBlockSink& blocks) {
    PlacementSpec placement;
    placement.location = current_.location;

    const Mark start = markHere();
    try {
        expectKeyword("placement");
        placement.name = expectIdentifier("placement name");
        expectKeyword("for");
        expectKeyword("system");
        placement.system = expectIdentifier("system name");
        openBlock();
    } catch (ParseError& error) {
        if (errors_ == nullptr) {
            throw;
        }
        recoverHeader(std::move(error), start);
    }

    NameSet deviceNames;
    NameSet engineNames;
    bool formatSeen = false;
    bool policySeen = false;
    bool determinismSeen = false;
    // The top-level fields that may be written only once.
    const auto markSeen = [this](bool& seen, Position keyword, const char* duplicate) {
        if (seen) {
            report(ParseError(locationOf(keyword), duplicate));
        }
        seen = true;
    };

    while (!at(TokenKind::rbrace)) {
        if (unwinding_) {
            // Back from a block whose '}' was missing, or at the end of the text.
            if (stopped_ || at(TokenKind::end)) {
                return placement;
            }
            unwinding_ = false;
            depth_ = 1;
        }
        bool told = false; // the field's keyword was read and known
        recoverable([&] {
            if (at(TokenKind::end)) {
                failExpected(describe(TokenKind::rbrace));
            }
            const Position keyword = position();
            const std::string_view word = expectIdentifier("placement field");
            const Keywords::PlacementField field = fieldOf<Keywords::PlacementField>(
                Keywords::kPlacementFields, keyword, "placement field", word);
            told = true;
            switch (field) {
            case Keywords::PlacementField::format:
                markSeen(formatSeen, keyword, "duplicate format");
                expectToken(TokenKind::colon);
                placement.format = parseUnsigned32();
                expectToken(TokenKind::semicolon);
                if (placement.format != 1) {
                    report(ParseError(locationOf(keyword), "unsupported placement format " +
                                                               std::to_string(placement.format)));
                }
                break;
            case Keywords::PlacementField::policy:
                markSeen(policySeen, keyword, "duplicate policy");
                expectToken(TokenKind::colon);
                placement.policy = parseKeyword<PlacementPolicy>(Keywords::kPolicies, "policy");
                expectToken(TokenKind::semicolon);
                break;
            case Keywords::PlacementField::determinism:
                markSeen(determinismSeen, keyword, "duplicate determinism");
                expectToken(TokenKind::colon);
                placement.determinism =
                    parseKeyword<Determinism>(Keywords::kDeterminism, "determinism");
                expectToken(TokenKind::semicolon);
                break;
            case Keywords::PlacementField::device: {
                // The name is a view of the text; the block's copy of it may move away.
                const NameSet::Entry name = deviceNames.prepare(current_.text);
                DeviceSpec device = parseDeviceBlock(locationOf(keyword));
                if (!deviceNames.insert(name)) {
                    report(ParseError(locationOf(keyword),
                                      "duplicate device '" + device.name + "'"));
                }
                blocks.device(std::move(device));
                break;
            }
            case Keywords::PlacementField::defaults:
                blocks.defaults(parseDefaultsBlock(locationOf(keyword)));
                break;
            case Keywords::PlacementField::engine: {
                const NameSet::Entry name = engineNames.prepare(current_.text);
                EnginePlacement engine = parseEngineBlock(locationOf(keyword));
                if (!engineNames.insert(name)) {
                    report(ParseError(locationOf(keyword),
                                      "duplicate engine '" + engine.name + "'"));
                }
                blocks.engine(std::move(engine));
                break;
            }
            }
        });
        // A field that could not be told may have been the format.
        topFieldLost_ = topFieldLost_ || (!told && errorCount() != 0);
    }
    if (errors_ == nullptr) {
        closeBlock();
    } else {
        try {
            closeBlock();
        } catch (ParseError& error) {
            keep(std::move(error), markHere()); // nothing may follow the body anyway
            return placement;
        }
    }
    if (!at(TokenKind::end)) {
        // What follows an early '}' is the rest of the body: nothing after it
        // is judged, so the format it may hold is not missed either.
        report(ParseError(current_.location, "unexpected content after placement"));
        return placement;
    }
    if (!formatSeen && !topFieldLost_) {
        report(ParseError(placement.location, "missing required format"));
    }
    return placement;
}

PlacementSpec parsePlacement(std::string_view text, std::string file, PlacementBlockSink& blocks) {
    if (text.size() > kMaxPlacementBytes) {
        throw PlacementTooLarge(file);
    }
    return PlacementParser(text, std::move(file)).parseDocument(blocks);
}

PlacementParseErrors collectParseErrors(std::string_view text, std::string file) {
    if (text.size() > kMaxPlacementBytes) {
        throw PlacementTooLarge(file);
    }
    /// Blocks are parsed to find their errors, and dropped.
    class Discard final : public PlacementBlockSink {
      public:
        void device(DeviceSpec&& /*device*/) override {}
        void defaults(EngineDefaults&& /*defaults*/) override {}
        void engine(EnginePlacement&& /*engine*/) override {}
    };
    PlacementParseErrors result;
    Discard blocks;
    PlacementParser parser(text, std::move(file), &result.errors);
    (void)parser.parseDocument(blocks);
    result.stopped_early = parser.stoppedEarly();
    return result;
}

PlacementSpec parsePlacement(std::string_view text, std::string file) {
    PlacementSpec placement;
    DocumentBlocks blocks(placement);
    PlacementSpec header = parsePlacement(text, std::move(file), blocks);
    header.devices = std::move(placement.devices);
    header.defaults = std::move(placement.defaults);
    header.engines = std::move(placement.engines);
    return header;
}

} // namespace Core::Placement

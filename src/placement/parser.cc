// The token-level reading operations, the top level of the placement grammar,
// and its device and defaults blocks.
#include "placement/parser.h"

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

PlacementParser::PlacementParser(std::string_view text, std::string file)
    : text_(text), lexer_(text) {
    current_.location.file = std::move(file);
    advance();
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

void PlacementParser::expectToken(TokenKind kind) {
    if (current_.kind != kind) {
        failExpected(describe(kind));
    }
    advance();
}

void PlacementParser::expectKeyword(std::string_view word) {
    if (current_.kind != TokenKind::identifier || current_.text != word) {
        std::string quoted(1, '\'');
        quoted.append(word).push_back('\'');
        throw ParseError(current_.location, expectedMessage(quoted),
                         {std::string(current_.text), {word}, "keyword"});
    }
    advance();
}

std::string_view PlacementParser::expectIdentifier(std::string_view what) {
    if (current_.kind != TokenKind::identifier) {
        failExpected(what);
    }
    const std::string_view text = current_.text;
    advance();
    return text;
}

void PlacementParser::failNoValue(std::vector<std::string_view> words,
                                  std::string_view what) const {
    throw ParseError(current_.location, expectedMessage("value"), {{}, std::move(words), what});
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
    const std::uint64_t count = parseUnsigned();
    const std::uint64_t multiplier = parseKeyword<std::uint64_t>(Keywords::kByteUnits, "byte unit");
    const std::optional<std::uint64_t> bytes = checkedMul(count, multiplier);
    if (!bytes) {
        failAt(number, "byte quantity overflow");
    }
    return *bytes;
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
    expectToken(TokenKind::lbrace);
    bool kindSeen = false;
    while (!at(TokenKind::rbrace)) {
        const Position field = position();
        const std::string_view word = expectIdentifier("device field");
        expectToken(TokenKind::colon);
        switch (fieldOf<Keywords::DeviceField>(Keywords::kDeviceFields, field, "device field",
                                               word)) {
        case Keywords::DeviceField::kind:
            if (kindSeen) {
                failAt(field, "duplicate kind");
            }
            device.kind = parseKeyword<DeviceKind>(Keywords::kDeviceKinds, "device kind");
            kindSeen = true;
            expectToken(TokenKind::semicolon);
            break;
        case Keywords::DeviceField::selector:
            expectToken(TokenKind::lbrace);
            expectKeyword("index");
            expectToken(TokenKind::colon);
            device.selector.index = parseUnsigned32();
            expectToken(TokenKind::semicolon);
            expectToken(TokenKind::rbrace);
            expectToken(TokenKind::semicolon);
            break;
        case Keywords::DeviceField::reserve:
            device.reserve = parseByteQuantity();
            expectToken(TokenKind::semicolon);
            break;
        }
    }
    advance();
    if (!kindSeen) {
        throw ParseError(keyword, "device requires kind");
    }
    device.location = std::move(keyword);
    return device;
}

EngineDefaults PlacementParser::parseDefaultsBlock(SourceLocation keyword) {
    EngineDefaults defaults;
    defaults.engine_class = parseKeyword<EngineClass>(Keywords::kEngineClasses, "engine class");
    expectToken(TokenKind::lbrace);
    while (!at(TokenKind::rbrace)) {
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
    }
    advance();
    defaults.location = std::move(keyword);
    return defaults;
}

PlacementSpec PlacementParser::parseDocument(PlacementBlockSink& blocks) {
    PlacementSpec placement;
    placement.location = current_.location;

    expectKeyword("placement");
    placement.name = expectIdentifier("placement name");
    expectKeyword("for");
    expectKeyword("system");
    placement.system = expectIdentifier("system name");
    expectToken(TokenKind::lbrace);

    NameSet deviceNames;
    NameSet engineNames;
    bool formatSeen = false;
    bool policySeen = false;
    bool determinismSeen = false;
    // The top-level fields that may be written only once.
    const auto markSeen = [this](bool& seen, Position keyword, const char* duplicate) {
        if (seen) {
            failAt(keyword, duplicate);
        }
        seen = true;
    };

    while (!at(TokenKind::rbrace)) {
        if (at(TokenKind::end)) {
            failExpected(describe(TokenKind::rbrace));
        }
        const Position keyword = position();
        const std::string_view word = expectIdentifier("placement field");
        switch (fieldOf<Keywords::PlacementField>(Keywords::kPlacementFields, keyword,
                                                  "placement field", word)) {
        case Keywords::PlacementField::format:
            markSeen(formatSeen, keyword, "duplicate format");
            expectToken(TokenKind::colon);
            placement.format = parseUnsigned32();
            expectToken(TokenKind::semicolon);
            if (placement.format != 1) {
                failAt(keyword, "unsupported placement format " + std::to_string(placement.format));
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
                failAt(keyword, "duplicate device '" + device.name + "'");
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
                failAt(keyword, "duplicate engine '" + engine.name + "'");
            }
            blocks.engine(std::move(engine));
            break;
        }
        }
    }
    advance();
    if (!at(TokenKind::end)) {
        fail("unexpected content after placement");
    }
    if (!formatSeen) {
        throw ParseError(std::move(placement.location), "missing required format");
    }
    return placement;
}

PlacementSpec parsePlacement(std::string_view text, std::string file, PlacementBlockSink& blocks) {
    if (text.size() > kMaxPlacementBytes) {
        throw PlacementTooLarge(file);
    }
    return PlacementParser(text, std::move(file)).parseDocument(blocks);
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

// The top level of the placement grammar and its device and defaults blocks.
#include "placement/parser.h"

#include <limits>
#include <set>

#include "common/byte_order.h"
#include "placement/blocks.h"
#include "placement/keywords.h"

namespace Core::Placement {
namespace {

constexpr std::uint64_t kUint32Max = std::numeric_limits<std::uint32_t>::max();

/// parseUnsigned for a 32-bit field; the range error is reported at the
/// token after the number.
std::uint32_t parseUnsigned32(PlacementParser& parser) {
    const std::uint64_t value = parser.parseUnsigned();
    if (value > kUint32Max) {
        parser.fail("integer exceeds uint32");
    }
    return static_cast<std::uint32_t>(value);
}

/// Guards the top-level fields that may be written only once.
void markSeen(const PlacementParser& parser, bool& seen, PlacementParser::Position keyword,
              std::string_view duplicateMessage) {
    if (seen) {
        parser.failAt(keyword, duplicateMessage);
    }
    seen = true;
}

} // namespace

DeviceSpec parseDeviceBlock(PlacementParser& parser, SourceLocation keyword) {
    DeviceSpec device;
    device.name = parser.expectIdentifier("device name");
    parser.expectToken(TokenKind::lbrace, "'{'");
    bool kindSeen = false;
    while (!parser.at(TokenKind::rbrace)) {
        const PlacementParser::Position field = parser.position();
        const std::string_view word = parser.expectIdentifier("device field");
        parser.expectToken(TokenKind::colon, "':'");
        if (word == "kind") {
            if (kindSeen) {
                parser.failAt(field, "duplicate kind");
            }
            device.kind = parser.parseKeyword<DeviceKind>(Keywords::kDeviceKinds, "device kind");
            kindSeen = true;
            parser.expectToken(TokenKind::semicolon, "';'");
        } else if (word == "selector") {
            parser.expectToken(TokenKind::lbrace, "'{'");
            parser.expectKeyword("index");
            parser.expectToken(TokenKind::colon, "':'");
            device.selector.index = parseUnsigned32(parser);
            parser.expectToken(TokenKind::semicolon, "';'");
            parser.expectToken(TokenKind::rbrace, "'}'");
            parser.expectToken(TokenKind::semicolon, "';'");
        } else if (word == "reserve") {
            device.reserve = parser.parseByteQuantity();
            parser.expectToken(TokenKind::semicolon, "';'");
        } else {
            parser.failAt(field, "unknown device field '" + std::string(word) + "'");
        }
    }
    parser.advance();
    if (!kindSeen) {
        throw ParseError(keyword, "device requires kind");
    }
    device.location = std::move(keyword);
    return device;
}

EngineDefaults parseDefaultsBlock(PlacementParser& parser, SourceLocation keyword) {
    EngineDefaults defaults;
    defaults.engine_class =
        parser.parseKeyword<EngineClass>(Keywords::kEngineClasses, "engine class");
    parser.expectToken(TokenKind::lbrace, "'{'");
    while (!parser.at(TokenKind::rbrace)) {
        const PlacementParser::Position field = parser.position();
        const std::string_view word = parser.expectIdentifier("defaults field");
        parser.expectToken(TokenKind::colon, "':'");
        if (word == "residency") {
            defaults.residency =
                parser.parseKeyword<Residency>(Keywords::kResidencies, "residency");
        } else if (word == "priority") {
            defaults.priority = parser.parseKeyword<Priority>(Keywords::kPriorities, "priority");
        } else {
            parser.failAt(field, "unknown defaults field '" + std::string(word) + "'");
        }
        parser.expectToken(TokenKind::semicolon, "';'");
    }
    parser.advance();
    defaults.location = std::move(keyword);
    return defaults;
}

PlacementSpec parsePlacement(std::string_view text, std::string file) {
    PlacementParser parser(text, std::move(file));
    PlacementSpec placement;
    placement.location = parser.current().location;

    parser.expectKeyword("placement");
    placement.name = parser.expectIdentifier("placement name");
    parser.expectKeyword("for");
    parser.expectKeyword("system");
    placement.system = parser.expectIdentifier("system name");
    parser.expectToken(TokenKind::lbrace, "'{'");

    std::set<std::string, ByteLess> deviceNames;
    std::set<std::string, ByteLess> engineNames;
    bool formatSeen = false;
    bool policySeen = false;
    bool determinismSeen = false;

    while (!parser.at(TokenKind::rbrace)) {
        if (parser.at(TokenKind::end)) {
            parser.fail("expected '}'");
        }
        const PlacementParser::Position keyword = parser.position();
        const std::string_view field = parser.expectIdentifier("placement field");
        if (field == "format") {
            markSeen(parser, formatSeen, keyword, "duplicate format");
            parser.expectToken(TokenKind::colon, "':'");
            placement.format = parseUnsigned32(parser);
            parser.expectToken(TokenKind::semicolon, "';'");
            if (placement.format != 1) {
                parser.failAt(keyword,
                              "unsupported placement format " + std::to_string(placement.format));
            }
        } else if (field == "policy") {
            markSeen(parser, policySeen, keyword, "duplicate policy");
            parser.expectToken(TokenKind::colon, "':'");
            placement.policy = parser.parseKeyword<PlacementPolicy>(Keywords::kPolicies, "policy");
            parser.expectToken(TokenKind::semicolon, "';'");
        } else if (field == "determinism") {
            markSeen(parser, determinismSeen, keyword, "duplicate determinism");
            parser.expectToken(TokenKind::colon, "':'");
            placement.determinism =
                parser.parseKeyword<Determinism>(Keywords::kDeterminism, "determinism");
            parser.expectToken(TokenKind::semicolon, "';'");
        } else if (field == "device") {
            DeviceSpec device = parseDeviceBlock(parser, parser.locationOf(keyword));
            if (!deviceNames.insert(device.name).second) {
                parser.failAt(keyword, "duplicate device '" + device.name + "'");
            }
            placement.devices.push_back(std::move(device));
        } else if (field == "defaults") {
            placement.defaults.push_back(parseDefaultsBlock(parser, parser.locationOf(keyword)));
        } else if (field == "engine") {
            EnginePlacement engine = parseEngineBlock(parser, parser.locationOf(keyword));
            if (!engineNames.insert(engine.name).second) {
                parser.failAt(keyword, "duplicate engine '" + engine.name + "'");
            }
            placement.engines.push_back(std::move(engine));
        } else {
            parser.failAt(keyword, "unknown placement field '" + std::string(field) + "'");
        }
    }
    parser.advance();
    if (!parser.at(TokenKind::end)) {
        parser.fail("unexpected content after placement");
    }
    if (!formatSeen) {
        throw ParseError(std::move(placement.location), "missing required format");
    }
    return placement;
}

} // namespace Core::Placement

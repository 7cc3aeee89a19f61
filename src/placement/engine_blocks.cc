// The engine block of the placement grammar and its model and memory sub-blocks.
#include "placement/blocks.h"
#include "placement/keywords.h"

namespace Core::Placement {
namespace {

/// The current token must be a quoted string; returns its text.
std::string parseQuotedString(PlacementParser& parser) {
    if (!parser.at(TokenKind::string)) {
        parser.fail("expected quoted string");
    }
    std::string text(parser.current().text);
    parser.advance();
    return text;
}

} // namespace

EnginePlacement parseEngineBlock(PlacementParser& parser, SourceLocation keyword) {
    EnginePlacement engine;
    engine.location = std::move(keyword);
    engine.name = parser.expectIdentifier("engine name");
    parser.expectToken(TokenKind::lbrace, "'{'");
    while (!parser.at(TokenKind::rbrace)) {
        const PlacementParser::Position field = parser.position();
        const std::string_view word = parser.expectIdentifier("engine field");
        // Sub-blocks take no ':' and no ';'; every other field needs its ':'
        // before the word is judged.
        if (word == "model") {
            if (engine.model) {
                parser.failAt(field, "duplicate model block");
            }
            engine.model = parseModelBlock(parser);
            continue;
        }
        if (word == "memory") {
            if (engine.memory) {
                parser.failAt(field, "duplicate memory block");
            }
            engine.memory = parseMemoryBlock(parser);
            continue;
        }
        parser.expectToken(TokenKind::colon, "':'");
        if (word == "device") {
            if (!parser.at(TokenKind::identifier)) {
                parser.fail("expected device reference");
            }
            engine.device = parser.current().text;
            parser.advance();
        } else if (word == "residency") {
            engine.residency = parser.parseKeyword<Residency>(Keywords::kResidencies, "residency");
        } else if (word == "priority") {
            engine.priority = parser.parseKeyword<Priority>(Keywords::kPriorities, "priority");
        } else {
            parser.failAt(field, "unknown engine field '" + std::string(word) + "'");
        }
        parser.expectToken(TokenKind::semicolon, "';'");
    }
    parser.advance();
    return engine;
}

ModelSpec parseModelBlock(PlacementParser& parser) {
    ModelSpec model;
    parser.expectToken(TokenKind::lbrace, "'{'");
    while (!parser.at(TokenKind::rbrace)) {
        const PlacementParser::Position field = parser.position();
        const std::string_view word = parser.expectIdentifier("model field");
        parser.expectToken(TokenKind::colon, "':'");
        if (word == "artifact") {
            model.artifact = parseQuotedString(parser);
        } else if (word == "sharing_group") {
            model.sharing_group = parseQuotedString(parser);
        } else if (word == "weights") {
            const Token value = parser.parseValue();
            if (value.text != "shared_read_only") {
                throw ParseError(value.location, "weights must be shared_read_only");
            }
            model.weights_shared_read_only = true;
        } else if (word == "adapter") {
            model.adapter = parseQuotedString(parser);
        } else {
            parser.failAt(field, "unknown model field '" + std::string(word) + "'");
        }
        parser.expectToken(TokenKind::semicolon, "';'");
    }
    parser.advance();
    // Reported at the token after the closing brace: the block as a whole lacks it.
    if (model.artifact.empty()) {
        parser.fail("model requires artifact");
    }
    return model;
}

MemorySpec parseMemoryBlock(PlacementParser& parser) {
    MemorySpec memory;
    parser.expectToken(TokenKind::lbrace, "'{'");
    while (!parser.at(TokenKind::rbrace)) {
        const PlacementParser::Position field = parser.position();
        const std::string_view word = parser.expectIdentifier("memory field");
        parser.expectToken(TokenKind::colon, "':'");
        if (word == "weights") {
            // auto is accepted bare or quoted; neither form clears the other.
            if (parser.current().text == "auto" &&
                (parser.at(TokenKind::identifier) || parser.at(TokenKind::string))) {
                parser.advance();
                memory.weights_auto = true;
            } else {
                memory.weights = parser.parseByteQuantity();
            }
        } else if (word == "kv_cache_max") {
            memory.kv_cache_max = parser.parseByteQuantity();
        } else if (word == "workspace_max") {
            memory.workspace_max = parser.parseByteQuantity();
        } else {
            parser.failAt(field, "unknown memory field '" + std::string(word) + "'");
        }
        parser.expectToken(TokenKind::semicolon, "';'");
    }
    parser.advance();
    return memory;
}

} // namespace Core::Placement

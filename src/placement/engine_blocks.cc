// The engine block of the placement grammar and its model and memory sub-blocks.
#include "placement/keywords.h"
#include "placement/placement_parser.h"

namespace Core::Placement {

EnginePlacement PlacementParser::parseEngineBlock(SourceLocation keyword) {
    EnginePlacement engine;
    engine.location = std::move(keyword);
    engine.name = expectIdentifier("engine name");
    expectToken(TokenKind::lbrace);
    while (!at(TokenKind::rbrace)) {
        const Position field = position();
        const std::string_view word = expectIdentifier("engine field");
        // Sub-blocks take no ':' and no ';'; every other field needs its ':'
        // before the word is judged.
        if (word == "model") {
            if (engine.model) {
                failAt(field, "duplicate model block");
            }
            engine.model = parseModelBlock();
            continue;
        }
        if (word == "memory") {
            if (engine.memory) {
                failAt(field, "duplicate memory block");
            }
            engine.memory = parseMemoryBlock();
            continue;
        }
        expectToken(TokenKind::colon);
        if (word == "device") {
            engine.device = expectIdentifier("device reference");
        } else if (word == "residency") {
            engine.residency = parseKeyword<Residency>(Keywords::kResidencies, "residency");
        } else if (word == "priority") {
            engine.priority = parseKeyword<Priority>(Keywords::kPriorities, "priority");
        } else {
            failUnknownField(field, "engine field", word);
        }
        expectToken(TokenKind::semicolon);
    }
    advance();
    return engine;
}

ModelSpec PlacementParser::parseModelBlock() {
    ModelSpec model;
    expectToken(TokenKind::lbrace);
    while (!at(TokenKind::rbrace)) {
        const Position field = position();
        const std::string_view word = expectIdentifier("model field");
        expectToken(TokenKind::colon);
        if (word == "artifact") {
            model.artifact = parseQuotedString();
        } else if (word == "sharing_group") {
            model.sharing_group = parseQuotedString();
        } else if (word == "weights") {
            const Token value = parseValue();
            if (value.text != "shared_read_only") {
                throw ParseError(value.location, "weights must be shared_read_only");
            }
            model.weights_shared_read_only = true;
        } else if (word == "adapter") {
            model.adapter = parseQuotedString();
        } else {
            failUnknownField(field, "model field", word);
        }
        expectToken(TokenKind::semicolon);
    }
    advance();
    // Reported at the token after the closing brace: the block as a whole lacks it.
    if (model.artifact.empty()) {
        fail("model requires artifact");
    }
    return model;
}

MemorySpec PlacementParser::parseMemoryBlock() {
    MemorySpec memory;
    expectToken(TokenKind::lbrace);
    while (!at(TokenKind::rbrace)) {
        const Position field = position();
        const std::string_view word = expectIdentifier("memory field");
        expectToken(TokenKind::colon);
        if (word == "weights") {
            // auto is accepted bare or quoted; neither form clears the other.
            if (current().text == "auto" && (at(TokenKind::identifier) || at(TokenKind::string))) {
                advance();
                memory.weights_auto = true;
            } else {
                memory.weights = parseByteQuantity();
            }
        } else if (word == "kv_cache_max") {
            memory.kv_cache_max = parseByteQuantity();
        } else if (word == "workspace_max") {
            memory.workspace_max = parseByteQuantity();
        } else {
            failUnknownField(field, "memory field", word);
        }
        expectToken(TokenKind::semicolon);
    }
    advance();
    return memory;
}

} // namespace Core::Placement

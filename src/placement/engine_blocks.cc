// The engine block of the placement grammar and its model and memory sub-blocks.
#include "placement/keywords.h"
#include "placement/placement_parser.h"

namespace Core::Placement {
namespace {

/// A "name: value;" engine field with a name for its value; false, with
/// `engine` untouched, when the general path must read it (a sub-block, an
/// unknown field, a value that is no keyword).
bool takeSimpleEngineField(EnginePlacement& engine, std::string_view name,
                           std::string_view value) {
    const std::optional<Keywords::EngineField> field = findKeyword(
        std::span<const Keyword<Keywords::EngineField>>(Keywords::kEngineFields), name);
    if (!field) {
        return false;
    }
    switch (*field) {
    case Keywords::EngineField::device:
        engine.device = std::string(value);
        return true;
    case Keywords::EngineField::residency:
        return assignKeyword<Residency>(engine.residency, Keywords::kResidencies, value);
    case Keywords::EngineField::priority:
        return assignKeyword<Priority>(engine.priority, Keywords::kPriorities, value);
    case Keywords::EngineField::model:
    case Keywords::EngineField::memory:
        break;
    }
    return false;
}

} // namespace

EnginePlacement PlacementParser::parseEngineBlock(SourceLocation keyword) {
    EnginePlacement engine;
    engine.location = std::move(keyword);
    engine.name = expectIdentifier("engine name");
    openBlock();
    parseFields([&] {
        // Most fields read "name: value;"; the rest take the general path.
        if (!takeSimpleField([&](std::string_view name, std::string_view value) {
                return takeSimpleEngineField(engine, name, value);
            })) {
            parseEngineField(engine);
        }
    });
    return engine;
}

// Out of line, so that the fast path of the loop above stays small.
[[gnu::noinline]] void PlacementParser::parseEngineField(EnginePlacement& engine) {
    const Position field = position();
    const std::string_view word = expectIdentifier("engine field");
    // Sub-blocks take no ':' and no ';'; every other field needs its ':'
    // before the word is judged.
    const std::optional<Keywords::EngineField> known = findKeyword(
        std::span<const Keyword<Keywords::EngineField>>(Keywords::kEngineFields), word);
    if (known == Keywords::EngineField::model) {
        if (engine.model) {
            report(ParseError(locationOf(field), "duplicate model block"));
        }
        engine.model = parseModelBlock();
        return;
    }
    if (known == Keywords::EngineField::memory) {
        if (engine.memory) {
            report(ParseError(locationOf(field), "duplicate memory block"));
        }
        engine.memory = parseMemoryBlock();
        return;
    }
    expectToken(TokenKind::colon);
    if (!known) {
        failUnknownField<Keywords::EngineField>(Keywords::kEngineFields, field, "engine field",
                                                word);
    }
    switch (*known) {
    case Keywords::EngineField::device:
        engine.device = expectIdentifier("device reference");
        break;
    case Keywords::EngineField::residency:
        engine.residency = parseKeyword<Residency>(Keywords::kResidencies, "residency");
        break;
    case Keywords::EngineField::priority:
        engine.priority = parseKeyword<Priority>(Keywords::kPriorities, "priority");
        break;
    case Keywords::EngineField::model:
    case Keywords::EngineField::memory:
        break; // taken above
    }
    expectToken(TokenKind::semicolon);
}

ModelSpec PlacementParser::parseModelBlock() {
    ModelSpec model;
    openBlock();
    const std::size_t errorsBefore = errorCount();
    const bool closed = parseFields([&] {
        const Position field = position();
        const std::string_view word = expectIdentifier("model field");
        expectToken(TokenKind::colon);
        switch (fieldOf<Keywords::ModelField>(Keywords::kModelFields, field, "model field", word)) {
        case Keywords::ModelField::artifact:
            model.artifact = parseQuotedString();
            break;
        case Keywords::ModelField::sharing_group:
            model.sharing_group = parseQuotedString();
            break;
        case Keywords::ModelField::weights: {
            const Token value = parseValue();
            if (value.text != "shared_read_only") {
                throw ParseError(value.location, "weights must be shared_read_only",
                                 {std::string(value.text), {"shared_read_only"}, "model weights", false, {}});
            }
            model.weights_shared_read_only = true;
            break;
        }
        case Keywords::ModelField::adapter:
            model.adapter = parseQuotedString();
            break;
        }
        expectToken(TokenKind::semicolon);
    });
    // Reported at the token after the closing brace: the block as a whole
    // lacks it. A block that recovery cut short may have lost it with the rest.
    if (model.artifact.empty() && closed && errorCount() == errorsBefore) {
        report(ParseError(current().location, "model requires artifact"));
    }
    return model;
}

MemorySpec PlacementParser::parseMemoryBlock() {
    MemorySpec memory;
    openBlock();
    parseFields([&] {
        const Position field = position();
        const std::string_view word = expectIdentifier("memory field");
        expectToken(TokenKind::colon);
        switch (fieldOf<Keywords::MemoryField>(Keywords::kMemoryFields, field, "memory field",
                                               word)) {
        case Keywords::MemoryField::weights:
            // auto is accepted bare or quoted; neither form clears the other.
            if (current().text == "auto" && (at(TokenKind::identifier) || at(TokenKind::string))) {
                advance();
                memory.weights_auto = true;
            } else {
                memory.weights = parseByteQuantity();
            }
            break;
        case Keywords::MemoryField::kv_cache_max:
            memory.kv_cache_max = parseByteQuantity();
            break;
        case Keywords::MemoryField::workspace_max:
            memory.workspace_max = parseByteQuantity();
            break;
        }
        expectToken(TokenKind::semicolon);
    });
    return memory;
}

} // namespace Core::Placement

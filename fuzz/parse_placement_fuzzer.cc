// Fuzzes the placement parser alone: every input gives a document or one
// ParseError whose text reads "file:LINE:COLUMN: message" at a position that
// exists in the input. Any other exception, a malformed message or a
// position outside the text is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "placement/parser.h"

namespace {

using namespace Core::Placement;
using Core::SourceLocation;
using Core::Fuzz::require;

constexpr std::string_view kFile = "fuzz.cplace";

void checkLocation(const SourceLocation& location, std::string_view text, std::string_view what) {
    require(location.file == kFile, what, "location names another file: " + location.file);
    require(Core::Fuzz::insideText(text, {location.line, location.column}), what,
            "location outside the text: " + std::to_string(location.line) + ":" +
                std::to_string(location.column));
}

void checkDocument(const PlacementSpec& placement, std::string_view text) {
    require(placement.format == 1, "document with a format other than 1",
            std::to_string(placement.format));
    require(!placement.name.empty() && !placement.system.empty(), "document without a name",
            placement.name + " / " + placement.system);
    checkLocation(placement.location, text, "placement location");
    for (const DeviceSpec& device : placement.devices) {
        checkLocation(device.location, text, "device location");
    }
    for (const EngineDefaults& defaults : placement.defaults) {
        checkLocation(defaults.location, text, "defaults location");
    }
    for (const EnginePlacement& engine : placement.engines) {
        checkLocation(engine.location, text, "engine location");
        require(!engine.model || !engine.model->artifact.empty(), "model without artifact",
                engine.name);
    }
}

void checkParseError(const ParseError& error, std::string_view text) {
    const std::string& message = error.text();
    const std::optional<Core::Fuzz::Position> position = Core::Fuzz::positionPrefix(message, kFile);
    require(position.has_value(), "parse error without a 'file:LINE:COLUMN: ' prefix", message);
    require(position->line == error.location().line && position->column == error.location().column,
            "parse error text and location disagree", message);
    checkLocation(error.location(), text, "parse error location");
    // what() is the same text, cut at the first NUL byte.
    require(std::string_view(error.what()) == std::string_view(message.c_str()),
            "what() differs from text()", message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        checkDocument(parsePlacement(text, std::string(kFile)), text);
    } catch (const ParseError& error) {
        checkParseError(error, text);
    } catch (const std::exception& error) {
        Core::Fuzz::finding("an exception other than ParseError", error.what());
    }
    return 0;
}

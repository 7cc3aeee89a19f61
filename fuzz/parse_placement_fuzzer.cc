// Fuzzes the placement parser alone. Every input gives a document or one
// ParseError whose location exists in the input and whose text reads
// "file:LINE:COLUMN: message". The input is parsed again behind one extra line feed,
// and behind one extra blank: the outcome must be the same, as nothing in a
// document may depend on where it was written, with an error one line lower,
// or one column further right when it is on the first line. Any other
// exception, a malformed message or a difference is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "fuzz_checks.h"
#include "placement/parser.h"

namespace {

using namespace Core::Placement;
using Core::SourceLocation;
using Core::Fuzz::Position;
using Core::Fuzz::require;

constexpr std::string_view kFile = "fuzz.cplace";

void checkLocation(const SourceLocation& location, std::string_view text, std::string_view what) {
    require(location.file == kFile, what, "location names another file: " + location.file.str());
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

template <class T> std::string show(const std::optional<T>& value) {
    if (!value) {
        return "-";
    }
    if constexpr (std::is_enum_v<T>) {
        return std::to_string(static_cast<std::uint32_t>(*value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        return std::to_string(value->size()) + ":" + *value;
    } else {
        return std::to_string(*value);
    }
}

template <class E> std::string show(E value) {
    return std::to_string(static_cast<std::uint32_t>(value));
}

/// Every field of the document but its locations, one item after another.
std::string summary(const PlacementSpec& placement) {
    std::string text = placement.name + " " + placement.system + " " +
                       std::to_string(placement.format) + " " + show(placement.policy) + " " +
                       show(placement.determinism);
    for (const DeviceSpec& device : placement.devices) {
        text += "|device " + device.name + " " + show(device.kind) + " " +
                show(device.selector.index) + " " + show(device.reserve);
    }
    for (const EngineDefaults& defaults : placement.defaults) {
        text += "|defaults " + show(defaults.engine_class) + " " + show(defaults.residency) + " " +
                show(defaults.priority);
    }
    for (const EnginePlacement& engine : placement.engines) {
        text += "|engine " + engine.name + " " + show(engine.device) + " " +
                show(engine.residency) + " " + show(engine.priority);
        if (engine.model) {
            text += " model " + show(std::optional(engine.model->artifact)) + " " +
                    show(std::optional(engine.model->sharing_group)) + " " +
                    std::to_string(static_cast<int>(engine.model->weights_shared_read_only)) +
                    " " + show(engine.model->adapter);
        }
        if (engine.memory) {
            text += " memory " + show(engine.memory->weights) + " " +
                    std::to_string(static_cast<int>(engine.memory->weights_auto)) + " " +
                    show(engine.memory->kv_cache_max) + " " + show(engine.memory->workspace_max);
        }
    }
    return text;
}

/// What one parse gave, without the positions of a document.
struct Outcome {
    bool parsed = false;
    std::string summary;   ///< the document's summary, or the error's message
    Position position;     ///< where the error was reported
};

Outcome parseOnce(std::string_view text) {
    try {
        const PlacementSpec placement = parsePlacement(text, std::string(kFile));
        checkDocument(placement, text);
        return {true, summary(placement), {}};
    } catch (const ParseError& error) {
        const SourceLocation& location = error.location();
        const std::string& message = error.message();
        require(!message.empty(), "parse error without a message", error.text());
        require(error.text() == std::string(kFile) + ":" + std::to_string(location.line) + ":" +
                                    std::to_string(location.column) + ": " + message,
                "parse error text is not 'file:LINE:COLUMN: message'", error.text());
        checkLocation(location, text, "parse error location");
        // what() is the same text, cut at the first NUL byte.
        require(std::string_view(error.what()) == std::string_view(error.text().c_str()),
                "what() differs from text()", error.text());
        return {false, message, {location.line, location.column}};
    } catch (const std::exception& error) {
        Core::Fuzz::finding("an exception other than ParseError", error.what());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Outcome plain = parseOnce(text);
    const Outcome down = parseOnce("\n" + std::string(text));
    require(plain.parsed == down.parsed && plain.summary == down.summary,
            "a leading line feed changed the outcome", plain.summary + " // " + down.summary);
    const Outcome right = parseOnce(" " + std::string(text));
    require(plain.parsed == right.parsed && plain.summary == right.summary,
            "a leading blank changed the outcome", plain.summary + " // " + right.summary);
    if (!plain.parsed) {
        require(down.position.line == plain.position.line + 1 &&
                    down.position.column == plain.position.column,
                "a leading line feed did not move the error one line down", plain.summary);
        const std::uint32_t column = plain.position.column + (plain.position.line == 1 ? 1 : 0);
        require(right.position.line == plain.position.line && right.position.column == column,
                "a leading blank did not move an error on line 1 one column right",
                plain.summary);
    }
    return 0;
}

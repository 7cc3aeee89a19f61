// Engine classes: the five that the placement language names, and the byte
// that graph engines and IR engines hold for the first three of them.
#pragma once

#include <cstdint>
#include <string_view>

namespace Core {

/// A class as a placement's defaults block names it.
enum class EngineClass : std::uint32_t {
    sync = 0,
    dpsh = 1,
    transformer = 2,
    sensory = 3,
    controller = 4,
};

/// The class byte of a graph engine and of an IR engine. Its values are those
/// of EngineClass, so they enter the canonical bytes and the identity texts
/// unchanged; a byte built in code may hold any other value.
enum class EngineClassCode : std::uint8_t {
    sync = 0,
    dpsh = 1,
    transformer = 2,
};

/// "sync", "dpsh" or "transformer"; the empty text for any other byte.
[[nodiscard]] constexpr std::string_view engineClassName(EngineClassCode code) {
    switch (code) {
    case EngineClassCode::sync:
        return "sync";
    case EngineClassCode::dpsh:
        return "dpsh";
    case EngineClassCode::transformer:
        return "transformer";
    }
    return "";
}

/// The placement class whose defaults block applies to an engine of this
/// code. Unknown bytes fall to sync, so defaults for sensory or controller
/// never apply.
[[nodiscard]] constexpr EngineClass placementClassOf(EngineClassCode code) {
    switch (code) {
    case EngineClassCode::dpsh:
        return EngineClass::dpsh;
    case EngineClassCode::transformer:
        return EngineClass::transformer;
    case EngineClassCode::sync:
        break;
    }
    return EngineClass::sync;
}

} // namespace Core

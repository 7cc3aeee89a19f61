// Keyword tables of the placement language: each value is written as exactly
// one word, matched byte for byte.
#pragma once

#include <array>
#include <cstdint>

#include "placement/document.h"
#include "placement/lexer.h"

namespace Core::Placement::Keywords {

inline constexpr std::array<Keyword<PlacementPolicy>, 3> kPolicies{{
    {"validate_only", PlacementPolicy::validate_only},
    {"explicit", PlacementPolicy::explicit_},
    {"first_fit", PlacementPolicy::first_fit},
}};

inline constexpr std::array<Keyword<Determinism>, 2> kDeterminism{{
    {"strict", Determinism::strict},
    {"portable", Determinism::portable},
}};

inline constexpr std::array<Keyword<DeviceKind>, 2> kDeviceKinds{{
    {"cpu", DeviceKind::cpu},
    {"cuda", DeviceKind::cuda},
}};

inline constexpr std::array<Keyword<EngineClass>, 5> kEngineClasses{{
    {"sync", EngineClass::sync},
    {"dpsh", EngineClass::dpsh},
    {"transformer", EngineClass::transformer},
    {"sensory", EngineClass::sensory},
    {"controller", EngineClass::controller},
}};

inline constexpr std::array<Keyword<Residency>, 4> kResidencies{{
    {"persistent", Residency::persistent},
    {"evictable", Residency::evictable},
    {"on_demand", Residency::on_demand},
    {"session_pinned", Residency::session_pinned},
}};

inline constexpr std::array<Keyword<Priority>, 3> kPriorities{{
    {"realtime", Priority::realtime},
    {"interactive", Priority::interactive},
    {"batch", Priority::batch},
}};

inline constexpr std::array<Keyword<std::uint64_t>, 4> kByteUnits{{
    {"B", 1},
    {"KiB", 1024},
    {"MiB", 1048576},
    {"GiB", 1073741824},
}};

// The fields of each block, so that the parser dispatches on the same words
// that a hint offers for a misspelled one.

enum class PlacementField { format, policy, determinism, device, defaults, engine };
inline constexpr std::array<Keyword<PlacementField>, 6> kPlacementFields{{
    {"format", PlacementField::format},
    {"policy", PlacementField::policy},
    {"determinism", PlacementField::determinism},
    {"device", PlacementField::device},
    {"defaults", PlacementField::defaults},
    {"engine", PlacementField::engine},
}};

enum class DeviceField { kind, selector, reserve };
inline constexpr std::array<Keyword<DeviceField>, 3> kDeviceFields{{
    {"kind", DeviceField::kind},
    {"selector", DeviceField::selector},
    {"reserve", DeviceField::reserve},
}};

enum class DefaultsField { residency, priority };
inline constexpr std::array<Keyword<DefaultsField>, 2> kDefaultsFields{{
    {"residency", DefaultsField::residency},
    {"priority", DefaultsField::priority},
}};

enum class EngineField { model, memory, device, residency, priority };
inline constexpr std::array<Keyword<EngineField>, 5> kEngineFields{{
    {"model", EngineField::model},
    {"memory", EngineField::memory},
    {"device", EngineField::device},
    {"residency", EngineField::residency},
    {"priority", EngineField::priority},
}};

enum class ModelField { artifact, sharing_group, weights, adapter };
inline constexpr std::array<Keyword<ModelField>, 4> kModelFields{{
    {"artifact", ModelField::artifact},
    {"sharing_group", ModelField::sharing_group},
    {"weights", ModelField::weights},
    {"adapter", ModelField::adapter},
}};

enum class MemoryField { weights, kv_cache_max, workspace_max };
inline constexpr std::array<Keyword<MemoryField>, 3> kMemoryFields{{
    {"weights", MemoryField::weights},
    {"kv_cache_max", MemoryField::kv_cache_max},
    {"workspace_max", MemoryField::workspace_max},
}};

} // namespace Core::Placement::Keywords

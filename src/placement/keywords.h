// Keyword tables of the placement language: each value is written as exactly
// one word, matched byte for byte.
#pragma once

#include <array>

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

} // namespace Core::Placement::Keywords

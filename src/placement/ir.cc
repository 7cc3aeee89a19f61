// Spellings of the placement enumerations and the hex identities.
#include "placement/ir.h"

#include "common/stable_hash.h"

namespace Core::Placement {

std::string_view deviceKindName(DeviceKind kind) {
    return kind == DeviceKind::cpu ? "cpu" : "cuda";
}

std::string_view policyName(PlacementPolicy policy) {
    switch (policy) {
    case PlacementPolicy::validate_only:
        return "validate_only";
    case PlacementPolicy::explicit_:
        return "explicit";
    case PlacementPolicy::first_fit:
        return "first_fit";
    }
    return "";
}

std::string_view determinismName(Determinism value) {
    return value == Determinism::strict ? "strict" : "portable";
}

std::string_view residencyName(Residency residency) {
    switch (residency) {
    case Residency::persistent:
        return "persistent";
    case Residency::evictable:
        return "evictable";
    case Residency::on_demand:
        return "on_demand";
    case Residency::session_pinned:
        return "session_pinned";
    }
    return "";
}

std::string_view priorityName(Priority priority) {
    switch (priority) {
    case Priority::realtime:
        return "realtime";
    case Priority::interactive:
        return "interactive";
    case Priority::batch:
        return "batch";
    }
    return "";
}

std::string toHex16(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xfU];
        value >>= 4U;
    }
    return text;
}

std::string hashHex(std::string_view text) { return toHex16(StableHash::of(text)); }

std::string IssueSubject::path() const {
    std::string text;
    switch (kind) {
    case Kind::system:
        return "system";
    case Kind::placement_system:
        return "placement.system";
    case Kind::placement_policy:
        return "placement.policy";
    case Kind::placement_devices:
        return "placement.devices";
    case Kind::defaults:
        return "defaults";
    case Kind::device:
        text = "device.";
        text += name;
        return text;
    case Kind::engine:
    case Kind::engine_model:
    case Kind::engine_memory:
        break;
    }
    text = "engine.";
    text += name;
    if (kind == Kind::engine_model) {
        text += ".model";
    } else if (kind == Kind::engine_memory) {
        text += ".memory";
    }
    return text;
}

} // namespace Core::Placement

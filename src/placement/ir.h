// The Placement IR: a placement after it has been checked against the graph.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/engine_class.h"
#include "common/source_location.h"
#include "placement/document.h"

namespace Core::Placement {

struct ModelRequest {
    std::string artifact;
    std::string sharing_group;
    bool weights_shared_read_only = false;
    std::optional<std::string> adapter;
    std::string request_id;
    std::optional<std::string> adapter_request_id;
    std::string allocation_id;
};

struct LoweredDevice {
    std::string id;
    DeviceKind kind = DeviceKind::cpu;
    std::optional<std::uint32_t> index;
    std::uint64_t reserve = 0;
    std::string identity;
};

struct LoweredEngine {
    std::string id;
    EngineClassCode kind = EngineClassCode::sync; ///< the graph's engine class
    std::optional<std::string> device;
    Residency residency = Residency::persistent;
    Priority priority = Priority::realtime;
    std::optional<ModelRequest> model;
    MemorySpec memory;
    std::string identity;
    std::string session;
};

struct PlacementIR {
    std::string placement;
    std::string system;
    std::uint64_t system_hash = 0;
    PlacementPolicy policy = PlacementPolicy::validate_only;
    Determinism determinism = Determinism::strict;
    std::vector<LoweredDevice> devices;
    std::vector<LoweredEngine> engines;
};

/// What an issue is about: a kind of element and its name. The issue's
/// dotted path is written from it, here and nowhere else, so that no reader
/// has to take a path apart again.
struct IssueSubject {
    enum class Kind : std::uint8_t {
        system,            ///< "system": the orchestration graph
        placement_system,  ///< "placement.system"
        placement_policy,  ///< "placement.policy"
        placement_devices, ///< "placement.devices": the declared devices as a whole
        defaults,          ///< "defaults"
        device,            ///< "device.NAME"
        engine,            ///< "engine.NAME"
        engine_model,      ///< "engine.NAME.model"
        engine_memory,     ///< "engine.NAME.memory"
    };
    Kind kind = Kind::system;
    std::string name; ///< the device's or engine's; empty for the other kinds

    [[nodiscard]] std::string path() const;
    /// The engine or device it names, whichever block it stands in.
    [[nodiscard]] bool namesDevice() const noexcept { return kind == Kind::device; }
    [[nodiscard]] bool namesEngine() const noexcept {
        return kind == Kind::engine || kind == Kind::engine_model || kind == Kind::engine_memory;
    }

    friend bool operator==(const IssueSubject&, const IssueSubject&) = default;
};

/// One problem found by lowering. `path` is always `subject.path()`.
struct PlacementIssue {
    std::string path;
    std::string message;
    SourceLocation location;
    IssueSubject subject;

    PlacementIssue() = default;
    PlacementIssue(IssueSubject about, std::string text, SourceLocation at)
        : path(about.path()), message(std::move(text)), location(std::move(at)),
          subject(std::move(about)) {}

    friend bool operator==(const PlacementIssue&, const PlacementIssue&) = default;
};

/// `ir` is present exactly when `issues` is empty.
struct LoweringResult {
    std::optional<PlacementIR> ir;
    std::vector<PlacementIssue> issues;
};

// Spellings used by identity texts and the canonical text. Values out of
// range fall back as the names below document; engineClassName is with the
// engine classes ("common/engine_class.h").
using Core::EngineClassCode;
using Core::engineClassName;
[[nodiscard]] std::string_view deviceKindName(DeviceKind kind);       ///< other: "cuda"
[[nodiscard]] std::string_view policyName(PlacementPolicy policy);    ///< other: ""
[[nodiscard]] std::string_view determinismName(Determinism value);    ///< other: "portable"
[[nodiscard]] std::string_view residencyName(Residency residency);    ///< other: ""
[[nodiscard]] std::string_view priorityName(Priority priority);       ///< other: ""

/// Exactly 16 lower-case hexadecimal digits, zero-padded.
[[nodiscard]] std::string toHex16(std::uint64_t value);
/// toHex16 of the StableHash of every byte of the text.
[[nodiscard]] std::string hashHex(std::string_view text);

} // namespace Core::Placement

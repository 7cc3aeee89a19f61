// The parsed placement document: the records that parsePlacement fills.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/engine_class.h"
#include "common/source_location.h"

namespace Core::Placement {

enum class PlacementPolicy : std::uint32_t { validate_only = 0, explicit_ = 1, first_fit = 2 };
enum class Determinism : std::uint32_t { strict = 0, portable = 1 };
enum class DeviceKind : std::uint32_t { cpu = 0, cuda = 1 };
using Core::EngineClass;
enum class Residency : std::uint32_t {
    persistent = 0,
    evictable = 1,
    on_demand = 2,
    session_pinned = 3,
};
enum class Priority : std::uint32_t { realtime = 0, interactive = 1, batch = 2 };

struct DeviceSelector {
    std::optional<std::uint32_t> index;
};

struct DeviceSpec {
    std::string name;
    DeviceKind kind = DeviceKind::cpu;
    DeviceSelector selector;
    std::optional<std::uint64_t> reserve;
    SourceLocation location;
};

struct EngineDefaults {
    EngineClass engine_class = EngineClass::sync;
    std::optional<Residency> residency;
    std::optional<Priority> priority;
    SourceLocation location;
};

struct ModelSpec {
    std::string artifact;
    std::string sharing_group; ///< empty when not given
    bool weights_shared_read_only = false;
    std::optional<std::string> adapter;
};

/// Every quantity in bytes.
struct MemorySpec {
    std::optional<std::uint64_t> weights;
    bool weights_auto = false;
    std::optional<std::uint64_t> kv_cache_max;
    std::optional<std::uint64_t> workspace_max;
};

struct EnginePlacement {
    std::string name;
    std::optional<std::string> device;
    std::optional<Residency> residency;
    std::optional<Priority> priority;
    std::optional<ModelSpec> model;
    std::optional<MemorySpec> memory;
    SourceLocation location;
};

struct PlacementSpec {
    std::string name;
    std::string system;
    std::uint32_t format = 1;
    PlacementPolicy policy = PlacementPolicy::validate_only;
    Determinism determinism = Determinism::strict;
    std::vector<DeviceSpec> devices;
    std::vector<EngineDefaults> defaults;
    std::vector<EnginePlacement> engines;
    SourceLocation location;
};

} // namespace Core::Placement

// Lowering: checks a parsed placement against the orchestration graph, runs
// every rule without stopping, and builds the Placement IR when none failed.
#include "placement/lowering.h"

#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "common/byte_order.h"
#include "orchestration/canonical_bytes.h"
#include "orchestration/validation.h"

namespace Core::Placement {
namespace {

constexpr std::uint8_t kTransformerClass = 2;

/// The placement's class for a graph class number; unknown numbers fall to
/// sync, so defaults for sensory or controller never apply.
EngineClass placementClassOf(std::uint8_t graphClass) {
    switch (graphClass) {
    case 1:
        return EngineClass::dpsh;
    case 2:
        return EngineClass::transformer;
    default:
        return EngineClass::sync;
    }
}

std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (const std::string_view part : parts) {
        size += part.size();
    }
    std::string text;
    text.reserve(size);
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

std::string deviceIdentity(const LoweredDevice& device) {
    const std::string index = device.index ? std::to_string(*device.index) : "-";
    return hashHex(concat({"placement-device-v1;id=", device.id, ";kind=", deviceKindName(device.kind),
                           ";index=", index, ";reserve=", std::to_string(device.reserve)}));
}

std::string engineIdentity(std::string_view systemHex, const LoweredEngine& engine) {
    return hashHex(concat({"placement-engine-v1;system=", systemHex, ";engine=", engine.id,
                           ";kind=", engineClassName(engine.kind)}));
}

std::string sessionIdentity(std::string_view systemHex, std::string_view engineId) {
    return hashHex(concat({"placement-session-v1;system=", systemHex, ";engine=", engineId}));
}

ModelRequest buildModelRequest(const ModelSpec& model, std::string_view engineId) {
    ModelRequest request;
    request.artifact = model.artifact;
    request.sharing_group = model.sharing_group;
    request.weights_shared_read_only = model.weights_shared_read_only;
    request.adapter = model.adapter;
    request.request_id = hashHex(concat({"placement-model-request-v1;artifact=", request.artifact,
                                         ";group=", request.sharing_group}));
    if (request.adapter) {
        request.adapter_request_id = hashHex(
            concat({"placement-adapter-request-v1;artifact=", *request.adapter, ";engine=", engineId}));
    }
    // Shared read-only weights are keyed by their group so that engines share one allocation.
    const std::string_view scope = request.weights_shared_read_only
                                       ? std::string_view(request.sharing_group)
                                       : engineId;
    request.allocation_id =
        hashHex(concat({"placement-allocation-v1;model=", request.request_id, ";scope=", scope}));
    return request;
}

class Lowering {
  public:
    Lowering(const PlacementSpec& placement, const Orchestration::SystemSpec& system)
        : placement_(placement), system_(system) {}

    LoweringResult run() {
        checkTargetSystem();
        checkGraph();
        checkDevices();
        checkDefaults();
        checkEngineBlocks();

        PlacementIR ir;
        ir.placement = placement_.name;
        ir.system = system_.id;
        ir.system_hash = Orchestration::systemHash(system_);
        ir.policy = placement_.policy;
        ir.determinism = placement_.determinism;
        const std::string systemHex = toHex16(ir.system_hash);

        ir.devices.reserve(placement_.devices.size());
        for (const DeviceSpec& device : placement_.devices) {
            ir.devices.push_back(lowerDevice(device));
        }
        ir.engines.reserve(system_.engines.size());
        for (const Orchestration::EngineSpec& engine : system_.engines) {
            if (auto lowered = lowerEngine(engine, systemHex)) {
                ir.engines.push_back(std::move(*lowered));
            }
        }

        if (result_.issues.empty()) {
            result_.ir = std::move(ir);
        }
        return std::move(result_);
    }

  private:
    void report(std::string path, std::string message, const SourceLocation& location) {
        result_.issues.push_back(PlacementIssue{std::move(path), std::move(message), location});
    }

    void checkTargetSystem() {
        if (placement_.system != system_.id) {
            report("placement.system",
                   concat({"placement targets system '", placement_.system, "' but graph is '",
                           system_.id, "'"}),
                   placement_.location);
        }
    }

    void checkGraph() {
        // Only whether the graph has issues matters; which ones is validation's to report.
        if (!Orchestration::validate(system_).empty()) {
            report("system", "cannot lower placement for an invalid orchestration graph",
                   placement_.location);
        }
    }

    void checkDevices() {
        for (const DeviceSpec& device : placement_.devices) {
            devicesByName_.emplace(device.name, &device);
            const bool hasIndex = device.selector.index.has_value();
            if (device.kind == DeviceKind::cuda && !hasIndex) {
                report("device." + device.name, "CUDA device requires selector.index", device.location);
            } else if (device.kind == DeviceKind::cpu && hasIndex) {
                report("device." + device.name, "CPU device must not declare CUDA index",
                       device.location);
            }
        }
    }

    void checkDefaults() {
        for (const EngineDefaults& defaults : placement_.defaults) {
            // The first block of a class stays in force.
            if (!defaultsByClass_.emplace(defaults.engine_class, &defaults).second) {
                report("defaults", "duplicate defaults for one engine class", defaults.location);
            }
        }
    }

    void checkEngineBlocks() {
        for (const EnginePlacement& block : placement_.engines) {
            engineBlocksByName_.emplace(block.name, &block);
        }
        for (const Orchestration::EngineSpec& engine : system_.engines) {
            systemEngineIds_.insert(engine.id);
        }
        for (const auto& [name, block] : engineBlocksByName_) {
            if (!systemEngineIds_.contains(name)) {
                report("engine." + block->name, "placement references an engine absent from SystemSpec",
                       block->location);
            }
        }
    }

    static LoweredDevice lowerDevice(const DeviceSpec& device) {
        LoweredDevice lowered;
        lowered.id = device.name;
        lowered.kind = device.kind;
        lowered.index = device.selector.index;
        lowered.reserve = device.reserve.value_or(0);
        lowered.identity = deviceIdentity(lowered);
        return lowered;
    }

    std::optional<LoweredEngine> lowerEngine(const Orchestration::EngineSpec& engine,
                                             std::string_view systemHex) {
        const EnginePlacement* block = find(engineBlocksByName_, std::string_view(engine.id));
        const EngineDefaults* defaults = find(defaultsByClass_, placementClassOf(engine.engine_class));
        const std::string path = "engine." + engine.id;

        if (placement_.policy == PlacementPolicy::explicit_ && block == nullptr) {
            report(path, "explicit placement requires an entry for every system engine",
                   placement_.location);
            return std::nullopt;
        }

        LoweredEngine lowered;
        lowered.id = engine.id;
        lowered.kind = engine.engine_class;
        if (block != nullptr) {
            lowered.device = block->device;
        }

        const bool transformer = engine.engine_class == kTransformerClass;
        lowered.residency = transformer ? Residency::evictable : Residency::persistent;
        lowered.priority = transformer ? Priority::interactive : Priority::realtime;
        if (block != nullptr && block->residency) {
            lowered.residency = *block->residency;
        } else if (defaults != nullptr && defaults->residency) {
            lowered.residency = *defaults->residency;
        }
        if (block != nullptr && block->priority) {
            lowered.priority = *block->priority;
        } else if (defaults != nullptr && defaults->priority) {
            lowered.priority = *defaults->priority;
        }

        if (block != nullptr) {
            checkBlock(*block, engine, path, lowered);
        }

        lowered.identity = engineIdentity(systemHex, lowered);
        lowered.session = sessionIdentity(systemHex, lowered.id);
        return lowered;
    }

    /// Rows for one engine block, in their fixed order; fills memory and model.
    void checkBlock(const EnginePlacement& block, const Orchestration::EngineSpec& engine,
                    const std::string& path, LoweredEngine& lowered) {
        if (lowered.device && !devicesByName_.contains(*lowered.device)) {
            report(path, concat({"references unknown device '", *lowered.device, "'"}), block.location);
        }
        if (placement_.policy == PlacementPolicy::explicit_ && !lowered.device) {
            report(path, "explicit placement requires device", block.location);
        }
        if (block.memory) {
            lowered.memory = *block.memory;
            if (lowered.memory.weights_auto && lowered.memory.weights) {
                report(path + ".memory", "weights cannot be both auto and explicit", block.location);
            }
        }
        if (block.model) {
            const ModelSpec& model = *block.model;
            const std::string modelPath = path + ".model";
            if (engine.engine_class != kTransformerClass) {
                report(modelPath, "model block is only valid for transformer engines", block.location);
            }
            if (model.weights_shared_read_only && model.sharing_group.empty()) {
                report(modelPath, "shared_read_only weights require sharing_group", block.location);
            }
            if (!model.sharing_group.empty() && !model.weights_shared_read_only) {
                report(modelPath, "sharing_group requires shared_read_only weights", block.location);
            }
            lowered.model = buildModelRequest(model, lowered.id);
        }
    }

    template <typename Map, typename Key>
    static typename Map::mapped_type find(const Map& map, const Key& key) {
        const auto it = map.find(key);
        return it == map.end() ? nullptr : it->second;
    }

    const PlacementSpec& placement_;
    const Orchestration::SystemSpec& system_;
    LoweringResult result_;
    // Keyed by views into the placement and the graph, which outlive the lowering.
    std::map<std::string_view, const DeviceSpec*, ByteLess> devicesByName_;
    std::map<EngineClass, const EngineDefaults*> defaultsByClass_;
    std::map<std::string_view, const EnginePlacement*, ByteLess> engineBlocksByName_;
    std::set<std::string_view, ByteLess> systemEngineIds_;
};

} // namespace

LoweringResult lowerPlacement(const PlacementSpec& placement, const Orchestration::SystemSpec& system) {
    return Lowering(placement, system).run();
}

} // namespace Core::Placement

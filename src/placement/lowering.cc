// Lowering: checks a parsed placement against the orchestration graph, runs
// every rule without stopping, and builds the Placement IR when none failed.
// Blocks arrive one by one; the rules that need the whole placement run in
// finish(), which reports in the fixed order whatever order the blocks came in.
#include "placement/lowering.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>

#include "orchestration/canonical_bytes.h"
#include "orchestration/validation.h"

namespace Core::Placement {
namespace {

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
    return hashHex(
        concat({"placement-device-v1;id=", device.id, ";kind=", deviceKindName(device.kind),
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
        request.adapter_request_id = hashHex(concat(
            {"placement-adapter-request-v1;artifact=", *request.adapter, ";engine=", engineId}));
    }
    // Shared read-only weights are keyed by their group so that engines share one allocation.
    const std::string_view scope =
        request.weights_shared_read_only ? std::string_view(request.sharing_group) : engineId;
    request.allocation_id =
        hashHex(concat({"placement-allocation-v1;model=", request.request_id, ";scope=", scope}));
    return request;
}

LoweredDevice lowerDevice(const DeviceSpec& device) {
    LoweredDevice lowered;
    lowered.id = device.name;
    lowered.kind = device.kind;
    lowered.index = device.selector.index;
    lowered.reserve = device.reserve.value_or(0);
    lowered.identity = deviceIdentity(lowered);
    return lowered;
}

void report(std::vector<PlacementIssue>& issues, IssueSubject subject, std::string message,
            const SourceLocation& location) {
    issues.emplace_back(std::move(subject), std::move(message), location);
}

IssueSubject subjectOf(IssueSubject::Kind kind, std::string name = {}) {
    return {kind, std::move(name)};
}

} // namespace

PlacementLowering::PlacementLowering(const Orchestration::SystemSpec& system, IssueNotes* notes,
                                     IssueScope scope)
    : system_(system), notes_(notes), scope_(scope) {
    systemEngineIds_.reserve(system.engines.size());
    for (const Orchestration::EngineSpec& spec : system.engines) {
        systemEngineIds_.emplace_back(spec.id);
    }
    std::sort(systemEngineIds_.begin(), systemEngineIds_.end(), ByteLess{});
}

void PlacementLowering::device(DeviceSpec&& device) {
    const bool hasIndex = device.selector.index.has_value();
    // Under the first-issue scope, a later device's issue would only follow the one kept.
    if (wanted(deviceIssues_)) {
        if (device.kind == DeviceKind::cuda && !hasIndex) {
            const std::string_view message = "CUDA device requires selector.index";
            report(deviceIssues_, subjectOf(IssueSubject::Kind::device, device.name),
                   std::string(message), device.location);
            note("device." + device.name, message, "add to its block: selector: { index: 0; };");
        } else if (device.kind == DeviceKind::cpu && hasIndex) {
            const std::string_view message = "CPU device must not declare CUDA index";
            report(deviceIssues_, subjectOf(IssueSubject::Kind::device, device.name),
                   std::string(message), device.location);
            note("device." + device.name, message, "a cpu device takes no selector; remove it");
        }
    }
    devices_.push_back(std::move(device));
}

void PlacementLowering::defaults(EngineDefaults&& defaults) {
    // The first block of a class stays in force.
    const EngineClass engineClass = defaults.engine_class;
    if (defaultsByClass_.contains(engineClass)) {
        if (!wanted(defaultsIssues_)) {
            return;
        }
        report(defaultsIssues_, subjectOf(IssueSubject::Kind::defaults), "duplicate defaults for one engine class",
               defaults.location);
        return;
    }
    defaultsByClass_.emplace(engineClass, std::move(defaults));
}

void PlacementLowering::engine(EnginePlacement&& engine) {
    if (std::binary_search(systemEngineIds_.begin(), systemEngineIds_.end(),
                           std::string_view(engine.name), ByteLess{})) {
        // The first block of a name stays in force.
        std::string name = engine.name;
        systemEngineBlocks_.try_emplace(std::move(name), std::move(engine));
    } else {
        absentEngines_.push_back({std::move(engine.name), std::move(engine.location)});
    }
}

const EnginePlacement* PlacementLowering::engineBlock(std::string_view id) const {
    const auto found = systemEngineBlocks_.find(id);
    return found == systemEngineBlocks_.end() ? nullptr : &found->second;
}

LoweringResult PlacementLowering::finish(const PlacementSpec& header) {
    LoweringResult result;
    std::vector<PlacementIssue>& issues = result.issues;
    if (header.system != system_.id) {
        report(issues, subjectOf(IssueSubject::Kind::placement_system),
               concat({"placement targets system '", header.system, "' but graph is '", system_.id,
                       "'"}),
               header.location);
    }
    // Only whether the graph has issues matters; which ones is validation's to report.
    if (!Orchestration::validate(system_).empty()) {
        report(issues, subjectOf(IssueSubject::Kind::system), "cannot lower placement for an invalid orchestration graph",
               header.location);
    }
    issues.insert(issues.end(), deviceIssues_.begin(), deviceIssues_.end());
    issues.insert(issues.end(), defaultsIssues_.begin(), defaultsIssues_.end());

    std::vector<PlacementIssue> engineIssues;
    std::vector<LoweredEngine> engines = lowerEngines(header, engineIssues);
    if (issues.empty() && absentEngines_.empty() && engineIssues.empty()) {
        result.ir = buildIr(header, std::move(engines));
        return result;
    }
    devices_ = {}; // nothing reads them any more, and a wide file has many
    reportAbsentEngines(issues);
    issues.insert(issues.end(), std::make_move_iterator(engineIssues.begin()),
                  std::make_move_iterator(engineIssues.end()));
    if (scope_ == IssueScope::first && issues.size() > 1) {
        issues.erase(issues.begin() + 1, issues.end());
    }
    return result;
}

void PlacementLowering::reportAbsentEngines(std::vector<PlacementIssue>& issues) {
    if (!wanted(issues)) {
        return;
    }
    // Ascending name order; of blocks that repeat a name, the first counts.
    std::vector<AbsentEngine*> absent;
    absent.reserve(absentEngines_.size());
    for (AbsentEngine& absentEngine : absentEngines_) {
        absent.push_back(&absentEngine);
    }
    const auto byName = [](const AbsentEngine* a, const AbsentEngine* b) {
        return byteLess(a->name, b->name);
    };
    if (scope_ == IssueScope::first && !absent.empty()) {
        // The least name; of equal names the first block, as the sort below keeps it.
        absent = {*std::min_element(absent.begin(), absent.end(), byName)};
    }
    // Generated files list their blocks in order; checking costs far less than sorting.
    if (!std::is_sorted(absent.begin(), absent.end(), byName)) {
        std::stable_sort(absent.begin(), absent.end(), byName);
    }
    constexpr std::string_view kMessage = "placement references an engine absent from SystemSpec";
    std::vector<std::string_view> engines;
    if (notes_ != nullptr) {
        for (const Orchestration::EngineSpec& spec : system_.engines) {
            engines.emplace_back(spec.id);
        }
    }
    const std::string listIntro = "an engine of '" + system_.id + "' is one of ";
    issues.reserve(issues.size() + absent.size());
    for (std::size_t i = 0; i < absent.size(); ++i) {
        if (i == 0 || absent[i]->name != absent[i - 1]->name) {
            issues.emplace_back(subjectOf(IssueSubject::Kind::engine, absent[i]->name),
                                std::string(kMessage), std::move(absent[i]->location));
            if (notes_ != nullptr) {
                if (std::optional<std::string> text = nameNote(absent[i]->name, engines, listIntro)) {
                    note(issues.back().path, kMessage, std::move(*text));
                }
            }
        }
    }
}

std::vector<LoweredEngine>
PlacementLowering::lowerEngines(const PlacementSpec& header,
                                std::vector<PlacementIssue>& issues) const {
    const bool isExplicit = header.policy == PlacementPolicy::explicit_;

    // Names of declared devices, for engine blocks that name one; built only then.
    std::optional<std::vector<std::string_view>> deviceNames;
    const auto declared = [&](const std::string& name) {
        if (!deviceNames) {
            deviceNames.emplace();
            deviceNames->reserve(devices_.size());
            for (const DeviceSpec& device : devices_) {
                deviceNames->emplace_back(device.name);
            }
            std::sort(deviceNames->begin(), deviceNames->end(), ByteLess{});
        }
        return std::binary_search(deviceNames->begin(), deviceNames->end(), std::string_view(name),
                                  ByteLess{});
    };

    std::vector<LoweredEngine> engines;
    engines.reserve(system_.engines.size());
    for (const Orchestration::EngineSpec& spec : system_.engines) {
        const EnginePlacement* block = engineBlock(spec.id);
        const std::string path = subjectOf(IssueSubject::Kind::engine, spec.id).path();
        if (isExplicit && block == nullptr) {
            const std::string_view message =
                "explicit placement requires an entry for every system engine";
            report(issues, subjectOf(IssueSubject::Kind::engine, spec.id), std::string(message),
                   header.location);
            note(path, message, "add to the placement: engine " + spec.id + " { device: NAME; }");
            continue;
        }

        LoweredEngine lowered;
        lowered.id = spec.id;
        lowered.kind = spec.engine_class;
        const bool transformer = spec.engine_class == EngineClassCode::transformer;
        lowered.residency = transformer ? Residency::evictable : Residency::persistent;
        lowered.priority = transformer ? Priority::interactive : Priority::realtime;
        const auto classDefaults = defaultsByClass_.find(placementClassOf(spec.engine_class));
        if (classDefaults != defaultsByClass_.end()) {
            lowered.residency = classDefaults->second.residency.value_or(lowered.residency);
            lowered.priority = classDefaults->second.priority.value_or(lowered.priority);
        }

        if (block != nullptr) {
            lowered.device = block->device;
            lowered.residency = block->residency.value_or(lowered.residency);
            lowered.priority = block->priority.value_or(lowered.priority);
            // A block's issues come in a fixed order, whatever order its fields were written in.
            if (lowered.device && !declared(*lowered.device)) {
                const std::string message =
                    concat({"references unknown device '", *lowered.device, "'"});
                report(issues, subjectOf(IssueSubject::Kind::engine, spec.id), message,
                       block->location);
                if (notes_ != nullptr) {
                    declared(*lowered.device); // builds the sorted names
                    std::optional<std::string> text =
                        devices_.empty() ? "no device is declared; add a device block for it"
                                         : nameNote(*lowered.device, *deviceNames,
                                                    "a declared device is one of ");
                    if (text) {
                        note(path, message, std::move(*text));
                    }
                    note(path, message, "to declare it: " + declarationFor(*lowered.device));
                }
            }
            if (isExplicit && !lowered.device) {
                const std::string_view message = "explicit placement requires device";
                report(issues, subjectOf(IssueSubject::Kind::engine, spec.id), std::string(message),
                       block->location);
                note(path, message, "add to its engine block: device: NAME;");
            }
            if (block->memory) {
                lowered.memory = *block->memory;
                if (lowered.memory.weights_auto && lowered.memory.weights) {
                    const std::string_view message = "weights cannot be both auto and explicit";
                    report(issues, subjectOf(IssueSubject::Kind::engine_memory, spec.id),
                           std::string(message), block->location);
                    note(issues.back().path, message,
                         "keep one of weights: auto; and weights: SIZE; in its memory block");
                }
            }
            if (block->model) {
                const ModelSpec& model = *block->model;
                const std::string modelPath =
                    subjectOf(IssueSubject::Kind::engine_model, spec.id).path();
                if (spec.engine_class != EngineClassCode::transformer) {
                    const std::string_view message =
                        "model block is only valid for transformer engines";
                    report(issues, subjectOf(IssueSubject::Kind::engine_model, spec.id),
                           std::string(message), block->location);
                    note(modelPath, message,
                         "'" + spec.id + "' is of class " +
                             std::string(engineClassName(spec.engine_class)) +
                             "; remove its model block");
                }
                if (model.weights_shared_read_only && model.sharing_group.empty()) {
                    const std::string_view message = "shared_read_only weights require sharing_group";
                    report(issues, subjectOf(IssueSubject::Kind::engine_model, spec.id),
                           std::string(message), block->location);
                    note(modelPath, message, "add to its model block: sharing_group: \"NAME\";");
                }
                if (!model.sharing_group.empty() && !model.weights_shared_read_only) {
                    const std::string_view message = "sharing_group requires shared_read_only weights";
                    report(issues, subjectOf(IssueSubject::Kind::engine_model, spec.id),
                           std::string(message), block->location);
                    note(modelPath, message, "add to its model block: weights: shared_read_only;");
                }
            }
        }
        engines.push_back(std::move(lowered));
    }
    return engines;
}

// Nothing here can find a problem, so a refused placement never pays for the
// identities.
PlacementIR PlacementLowering::buildIr(const PlacementSpec& header,
                                       std::vector<LoweredEngine> engines) const {
    PlacementIR ir;
    ir.placement = header.name;
    ir.system = system_.id;
    ir.system_hash = Orchestration::systemHash(system_);
    ir.policy = header.policy;
    ir.determinism = header.determinism;
    const std::string systemHex = toHex16(ir.system_hash);
    ir.devices.reserve(devices_.size());
    for (const DeviceSpec& block : devices_) {
        ir.devices.push_back(lowerDevice(block));
    }
    for (LoweredEngine& lowered : engines) {
        if (const EnginePlacement* block = engineBlock(lowered.id);
            block != nullptr && block->model) {
            lowered.model = buildModelRequest(*block->model, lowered.id);
        }
        lowered.identity = engineIdentity(systemHex, lowered);
        lowered.session = sessionIdentity(systemHex, lowered.id);
    }
    ir.engines = std::move(engines);
    return ir;
}

LoweringResult lowerPlacement(const PlacementSpec& placement,
                              const Orchestration::SystemSpec& system) {
    return lowerPlacement(placement, system, IssueScope::every);
}

LoweringResult lowerPlacement(const PlacementSpec& placement,
                              const Orchestration::SystemSpec& system, IssueScope scope) {
    PlacementLowering lowering(system, nullptr, scope);
    for (const DeviceSpec& device : placement.devices) {
        lowering.device(DeviceSpec(device));
    }
    for (const EngineDefaults& defaults : placement.defaults) {
        lowering.defaults(EngineDefaults(defaults));
    }
    for (const EnginePlacement& engine : placement.engines) {
        lowering.engine(EnginePlacement(engine));
    }
    return lowering.finish(placement);
}

} // namespace Core::Placement

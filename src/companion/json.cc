// The JSON documents. Hashes are decimal strings (they do not fit a JSON
// number exactly); byte figures are integers; an absent value is null.
#include <algorithm>
#include <string>

#include "companion/explanation.h"
#include "companion/render.h"
#include "deployment/deployment.h"
#include "deployment/inventory_text.h"
#include "estimation/estimate.h"
#include "orchestration/canonical_bytes.h"
#include "placement/ir.h"

namespace Core::Companion {
namespace {

template <class T> Json optionalJson(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json diagnosticJson(const Diagnostic& diagnostic) {
    Json object;
    object["severity"] = severityName(diagnostic.severity);
    object["path"] = diagnostic.path.empty() ? Json(nullptr) : Json(diagnostic.path);
    object["message"] = diagnostic.message;
    if (diagnostic.location) {
        object["file"] = diagnostic.location->file.str();
        object["line"] = diagnostic.location->line;
        object["column"] = diagnostic.location->column;
    } else {
        object["file"] = nullptr;
        object["line"] = nullptr;
        object["column"] = nullptr;
    }
    Json notes = Json::array();
    // Where each note points, when that is not the diagnostic's own position
    // (a missing ';' is shown at the end of the token before it).
    Json elsewhere = Json::array();
    for (const Diagnostic& note : diagnostic.notes) {
        notes.push_back(note.message);
        const bool moved = note.location && diagnostic.location &&
                           (note.location->line != diagnostic.location->line ||
                            note.location->column != diagnostic.location->column);
        elsewhere.push_back(moved ? Json{{"line", note.location->line},
                                         {"column", note.location->column}}
                                  : Json(nullptr));
    }
    object["notes"] = std::move(notes);
    object["code"] = diagnostic.code.empty() ? Json(nullptr) : Json(diagnostic.code);
    object["note_positions"] = std::move(elsewhere);
    return object;
}

std::string_view kindName(Estimation::EstimateKind kind) {
    switch (kind) {
    case Estimation::EstimateKind::exact:
        return "exact";
    case Estimation::EstimateKind::range:
        return "range";
    case Estimation::EstimateKind::unknown:
        break;
    }
    return "unknown";
}

} // namespace

Json diagnosticsJson(const std::vector<Diagnostic>& diagnostics) {
    Json array = Json::array();
    for (const Diagnostic& diagnostic : diagnostics) {
        array.push_back(diagnosticJson(diagnostic));
    }
    return array;
}

Json placementJson(std::string_view command, const PlacementRun& run, std::string_view inventory) {
    Json document;
    document["format_version"] = kJsonFormatVersion;
    document["command"] = command;
    document["file"] = run.file;
    document["inventory"] = inventory;
    document["resolved"] = run.resolved();
    const bool resolutionRan = !run.failure && !run.parseError && run.result.deployment;
    if (resolutionRan) {
        const Placement::DeploymentReport& report = run.result.deployment->report;
        document["placement_hash"] = std::to_string(report.placement_hash);
        document["hardware_fingerprint"] = std::to_string(report.hardware_fingerprint);
    } else {
        document["placement_hash"] = nullptr;
        document["hardware_fingerprint"] = nullptr;
    }
    return document;
}

void addResolutionJson(Json& document, const PlacementRun& run) {
    Json engines = Json::array();
    Json budgets = Json::array();
    if (run.resolved()) {
        const Placement::DeploymentResult& deployment = *run.result.deployment;
        for (const Placement::LoweredEngine& engine : deployment.ir->engines) {
            engines.push_back({{"engine", engine.id}, {"device", optionalJson(engine.device)}});
        }
        budgets = budgetsJson(deployment.report.budgets);
    }
    document["engines"] = std::move(engines);
    document["budgets"] = std::move(budgets);
}

Json budgetsJson(const std::vector<Placement::DeviceBudget>& budgets) {
    Json array = Json::array();
    for (const Placement::DeviceBudget& budget : budgets) {
        array.push_back({{"device", budget.device},
                         {"physical_device", budget.physical_device},
                         {"total", budget.total},
                         {"available", optionalJson(budget.available)},
                         {"reserve", budget.reserve},
                         {"usable", budget.usable},
                         {"requested", budget.requested},
                         {"headroom", budget.headroom},
                         {"over", bytesOver(budget)}});
    }
    return array;
}

Json suggestionJson(const PlacementRun& run) {
    if (!run.refusedPlan) {
        return nullptr;
    }
    const Suggestion& suggestion = run.refusedPlan->suggestion;
    const bool change = suggestion.kind != SuggestionKind::none;
    const auto text = [change](const std::string& value) {
        return change && !value.empty() ? Json(value) : Json(nullptr);
    };
    Json object;
    object["kind"] = suggestionKindName(suggestion.kind);
    object["engine"] = text(suggestion.engine);
    object["device"] = text(suggestion.device);
    object["reserve"] = optionalJson(suggestion.reserve);
    object["edit"] = text(suggestion.edit);
    object["file"] = suggestion.block ? Json(suggestion.block->file.str()) : Json(nullptr);
    object["line"] = suggestion.block ? Json(suggestion.block->line) : Json(nullptr);
    object["column"] = suggestion.block ? Json(suggestion.block->column) : Json(nullptr);
    object["note"] = suggestion.note;
    return object;
}

Json workloadJson(const WorkloadExplanation& workload) {
    Json object;
    object["sessions"] = workload.sessions;
    object["concurrency"] = workload.concurrency;
    object["training"] = workload.training;
    object["model_config"] = optionalJson(workload.model_config);
    object["checkpoint"] = optionalJson(workload.checkpoint);
    object["parameters"] = optionalJson(workload.parameters);
    object["active_parameters"] = optionalJson(workload.active_parameters);
    object["context_length"] = optionalJson(workload.context_length);
    object["context_limit"] = optionalJson(workload.context_limit);
    object["estimate_error"] = optionalJson(workload.estimate_error);
    object["peak"] = optionalJson(workload.peak);
    Json terms = Json::array();
    for (const TermExplanation& entry : workload.terms) {
        const Estimation::PeakTerm& term = entry.term;
        terms.push_back({{"term", entry.name},
                         {"kind", kindName(term.range.kind)},
                         {"low", term.range.low},
                         {"high", term.range.high},
                         {"multiplier", term.multiplier},
                         {"bytes", term.bytes}});
    }
    object["terms"] = std::move(terms);
    return object;
}

void addExplanationJson(Json& document, const PlacementRun& run,
                        const std::vector<EngineExplanation>& explained) {
    Json engines = Json::array();
    Json steps = Json::array();
    for (const EngineExplanation& engine : explained) {
        Json object{{"engine", engine.id},
                    {"class", engineClassName(engine.kind)},
                    {"residency", Placement::residencyName(engine.residency)},
                    {"priority", Placement::priorityName(engine.priority)},
                    {"device", optionalJson(engine.device)}};
        if (engine.workload) {
            // The workload's keys sit on the engine itself.
            Json workload = workloadJson(*engine.workload);
            for (const auto& [key, value] : workload.items()) {
                object[key] = value;
            }
        }
        if (engine.growth) {
            const Estimation::WorkloadLimits& limits = engine.growth->limits;
            object["most_that_fits"] = {{"device", engine.growth->device},
                                        {"headroom", engine.growth->headroom},
                                        {"sessions", limits.sessions},
                                        {"concurrency", limits.concurrency},
                                        {"context_length", optionalJson(limits.contextLength)},
                                        {"context_at_model_limit", limits.contextAtModelLimit}};
        } else {
            object["most_that_fits"] = nullptr;
        }
        engines.push_back(std::move(object));
    }
    // A refused plan shows first fit as far as it went: an engine it could
    // not place has no device.
    if (run.resolved() || run.refusedPlan) {
        for (const Placement::FitStep& step : run.detail.resolution.first_fit.steps) {
            steps.push_back({{"engine", step.engine},
                             {"peak", step.peak},
                             {"pinned", step.pinned},
                             {"device", optionalJson(step.device)},
                             {"headroom", step.headroom}});
        }
    }
    document["engines"] = std::move(engines);
    document["first_fit"] = std::move(steps);
}

Json systemJson(const SystemSource& system, const std::vector<SystemEngineExplanation>& engines,
                const std::vector<Diagnostic>& diagnostics) {
    Json document;
    document["format_version"] = kJsonFormatVersion;
    document["command"] = "system";
    document["file"] = system.file() != nullptr ? Json(system.file()->file) : Json(nullptr);
    document["readable"] = system.usable();
    const bool valid = std::none_of(diagnostics.begin(), diagnostics.end(),
                                    [](const Diagnostic& d) { return d.severity == Severity::error; });
    document["valid"] = valid;
    Json engineList = Json::array();
    Json adapters = Json::array();
    Json connections = Json::array();
    if (system.usable()) {
        const Orchestration::SystemSpec& spec = system.spec();
        document["system"] = spec.id;
        document["system_hash"] = std::to_string(Orchestration::systemHash(spec));
        for (const SystemEngineExplanation& entry : engines) {
            const Orchestration::EngineSpec& engine = *entry.engine;
            Json ports = Json::array();
            for (const Orchestration::PortSpec& port : engine.ports) {
                ports.push_back({{"port", port.id},
                                 {"direction", port.direction == Orchestration::PortDirection::input
                                                   ? "input"
                                                   : "output"},
                                 {"schema", port.schema},
                                 {"shape", port.shape},
                                 {"dtype", port.dtype},
                                 {"clock", port.clock}});
            }
            engineList.push_back(
                {{"engine", engine.id},
                 {"class", engineClassName(engine.engine_class)},
                 {"profile", engine.profile},
                 {"ports", std::move(ports)},
                 {"workload", entry.workload ? workloadJson(*entry.workload) : Json(nullptr)}});
        }
        for (const Orchestration::AdapterSpec& adapter : spec.adapters) {
            adapters.push_back({{"adapter", adapter.id},
                                {"kind", adapter.kind},
                                {"stateful", adapter.stateful},
                                {"latency", adapter.latency}});
        }
        for (const Orchestration::ConnectionSpec& connection : spec.connections) {
            connections.push_back(
                {{"connection", connection.id},
                 {"from", connection.source_engine + "." + connection.source_port},
                 {"to", connection.destination_engine + "." + connection.destination_port},
                 {"adapter", optionalJson(connection.adapter)},
                 {"delay", connection.delay}});
        }
    } else {
        document["system"] = nullptr;
        document["system_hash"] = nullptr;
    }
    document["engines"] = std::move(engineList);
    document["adapters"] = std::move(adapters);
    document["connections"] = std::move(connections);
    document["diagnostics"] = diagnosticsJson(diagnostics);
    return document;
}

Json fitJson(std::string_view placement, const SystemSource& system,
             const std::vector<MachineFit>& fits) {
    Json document;
    document["format_version"] = kJsonFormatVersion;
    document["command"] = "fit";
    document["file"] = placement;
    document["system"] = system.file() != nullptr ? Json(system.file()->file) : Json(nullptr);
    Json machines = Json::array();
    std::size_t fitting = 0;
    for (const MachineFit& fit : fits) {
        const bool read = fit.problems.empty();
        fitting += fit.fits ? 1 : 0;
        Json tightest = nullptr;
        if (fit.tightest) {
            tightest = {{"device", fit.tightest->device},
                        {"physical_device", fit.tightest->physical_device},
                        {"usable", fit.tightest->usable},
                        {"requested", fit.tightest->requested},
                        {"headroom", fit.tightest->headroom}};
        }
        machines.push_back(
            {{"inventory", fit.file},
             {"fits", fit.fits},
             {"hardware_fingerprint",
              read ? Json(std::to_string(fit.hardware_fingerprint)) : Json(nullptr)},
             {"tightest", std::move(tightest)},
             {"refusal", optionalJson(fit.refusal)},
             {"problems", fit.problems}});
    }
    document["fitting"] = fitting;
    document["machines"] = std::move(machines);
    document["notes"] = Json::array();
    return document;
}

Json inventoryJson(const Placement::ResourceInventory& inventory, std::string_view source) {
    Json document;
    document["format_version"] = kJsonFormatVersion;
    document["command"] = "inventory";
    document["inventory"] = source;
    document["hardware_fingerprint"] = std::to_string(Placement::hardwareFingerprint(inventory));
    document["canonical_text"] = Placement::canonicalInventoryText(inventory);
    document["host"] = {{"os", inventory.os},
                        {"logical_processors", inventory.logical_processors},
                        {"numa_nodes", inventory.numa_nodes},
                        {"host_total", inventory.host_total},
                        {"host_available", optionalJson(inventory.host_available)},
                        {"cuda_driver", optionalJson(inventory.cuda_driver)}};
    Json devices = Json::array();
    for (const Placement::InventoryDevice& device : inventory.devices) {
        devices.push_back({{"id", device.id},
                           {"name", device.name},
                           {"kind", Placement::deviceKindName(device.kind)},
                           {"index", optionalJson(device.index)},
                           {"total_bytes", device.total_bytes},
                           {"available_bytes", optionalJson(device.available_bytes)},
                           {"usable_bytes", Placement::usableMemory(device)},
                           {"compute_major", optionalJson(device.compute_major)},
                           {"compute_minor", optionalJson(device.compute_minor)},
                           {"capabilities", device.capabilities}});
    }
    document["devices"] = std::move(devices);
    Json peers = Json::array();
    for (const Placement::PeerLink& peer : inventory.peers) {
        peers.push_back({{"first", peer.first}, {"second", peer.second}, {"enabled", peer.enabled}});
    }
    document["peers"] = std::move(peers);
    Json transports = Json::array();
    for (const Placement::TransportKind kind : inventory.transports) {
        transports.push_back(Placement::transportKindName(kind));
    }
    document["transports"] = std::move(transports);
    return document;
}

} // namespace Core::Companion

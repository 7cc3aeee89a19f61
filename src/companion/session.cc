// Inventories, placement runs and their diagnostics.
#include "companion/session.h"

#include <algorithm>
#include <exception>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>

#include "app/placement_file.h"
#include "app/report.h"
#include "common/byte_order.h"
#include "deployment/memory_limits.h"
#include "estimation/estimators.h"
#include "orchestration/example_system.h"
#include "placement/hints.h"
#include "companion/codes.h"

namespace Core::Companion {

SystemSource::SystemSource()
    : builtIn_(Orchestration::buildExampleSystem()), specs_(Estimation::compositeWorkloadSpecs()),
      modelSources_(specs_.size()) {}

SystemSource::SystemSource(const std::string& path) : loaded_(SystemFile::loadSystemFile(path)) {
    for (const SystemFile::EngineWorkload& stated : loaded_->workloads) {
        specs_.push_back(stated.spec);
        modelSources_.push_back({stated.model_config, stated.checkpoint});
    }
}

const Orchestration::SystemSpec& SystemSource::spec() const {
    return loaded_ ? loaded_->system : builtIn_;
}

bool SystemSource::usable() const { return !loaded_ || loaded_->readable(); }

std::vector<Estimation::WorkloadRequirement> SystemSource::workload() const {
    std::vector<Estimation::WorkloadRequirement> requirements;
    requirements.reserve(specs_.size());
    for (const Estimation::WorkloadSpec& stated : specs_) {
        requirements.push_back(Estimation::estimateRequirement(stated));
    }
    return requirements;
}

std::vector<Diagnostic> systemDiagnostics(const SystemSource& system) {
    std::vector<Diagnostic> diagnostics;
    if (const SystemFile::LoadedSystem* loaded = system.file()) {
        for (const SystemFile::Finding& finding : SystemFile::checkSystem(*loaded)) {
            Diagnostic diagnostic{finding.kind == SystemFile::FindingKind::error
                                      ? Severity::error
                                      : Severity::warning,
                                  finding.message,
                                  finding.path,
                                  std::nullopt,
                                  {}, {}};
            if (finding.location.line != 0) {
                diagnostic.location = finding.location;
            }
            for (const std::string& note : finding.notes) {
                diagnostic.notes.push_back({Severity::note, note, {}, diagnostic.location, {}, {}});
            }
            diagnostics.push_back(std::move(diagnostic));
        }
    }
    finishDiagnostics(diagnostics);
    // How the file is written has no rule of the graph behind it; no error
    // goes without a note all the same.
    for (Diagnostic& diagnostic : diagnostics) {
        if (diagnostic.notes.empty() && diagnostic.severity == Severity::error) {
            diagnostic.notes.push_back({Severity::note,
                                        "a system file is TOML; its keys are listed under "
                                        "SYSTEM FILES in the manual page",
                                        {},
                                        diagnostic.location,
                                        {},
                                        {}});
        }
    }
    return diagnostics;
}

Inventories::Inventories(InventorySource source, Host::HostProbeOptions probe)
    : source_(source), probe_(std::move(probe)) {}

Inventories::Inventories(std::string file, Placement::ResourceInventory inventory,
                         std::vector<std::string> notes)
    : source_(InventorySource::file), file_(std::move(file)),
      title_("Resolved deployment (inventory " + file_ + ")"), inventory_(std::move(inventory)),
      notes_(std::move(notes)) {}

const Placement::ResourceInventory& Inventories::get() {
    if (probeFailure_) {
        std::rethrow_exception(probeFailure_); // a failed probe is not tried again
    }
    if (!inventory_) {
        if (source_ == InventorySource::fixture) {
            inventory_ = Placement::portableInventoryFixture();
        } else {
            try {
                Host::HostProbe probe = Host::probeHostInventory(probe_);
                inventory_ = std::move(probe.inventory);
                notes_ = std::move(probe.notes);
            } catch (...) {
                probeFailure_ = std::current_exception();
                throw;
            }
        }
    }
    return *inventory_;
}

std::string_view Inventories::name() const noexcept {
    switch (source_) {
    case InventorySource::fixture:
        return "fixture";
    case InventorySource::host:
        return "host";
    case InventorySource::file:
        break;
    }
    return file_;
}

std::string_view Inventories::reportTitle() const noexcept {
    switch (source_) {
    case InventorySource::fixture:
        return App::kPortableReportTitle;
    case InventorySource::host:
        return "Resolved deployment (host inventory)";
    case InventorySource::file:
        break;
    }
    return title_;
}

namespace {

/// A workload that cannot be estimated: a problem of the system file that
/// check has shown already, so it refuses the placement rather than the run.
struct WorkloadUnknown : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace

App::ResolutionInputs Inventories::inputs(const SystemSource& system) {
    return {[&system] {
                try {
                    return system.workload();
                } catch (const std::bad_alloc&) {
                    throw;
                } catch (const std::runtime_error& error) {
                    throw WorkloadUnknown(error.what());
                }
            },
            [this] { return get(); }};
}

std::string placementSource(const std::string& operand) {
    return operand == "-" ? "/dev/stdin" : operand;
}

std::string placementName(const std::string& operand) {
    return operand == "-" ? "<stdin>" : operand;
}

PlacementRun runPlacement(const std::string& file, const SystemSource& system,
                          Inventories& inventories) {
    PlacementRun run;
    run.file = file;
    if (!system.usable()) {
        run.failure = "the system file cannot be read";
        return run;
    }
    const std::string name = placementName(file);
    try {
        auto bytes = std::make_shared<App::PlacementBytes>(
            App::readPlacementBytes(placementSource(file)));
        run.text = bytes;
        run.result = App::resolvePlacement(bytes->view(), name, system.spec(),
                                           inventories.inputs(system), &run.detail);
    } catch (const Placement::ParseError& error) {
        run.parseError = error;
        // Only a text with an error is read again, to find all of them.
        Placement::PlacementParseErrors all = Placement::collectParseErrors(run.text->view(), name);
        run.parseErrors = std::move(all.errors);
        run.parseStoppedEarly = all.stopped_early;
    } catch (const App::PlacementFileError& error) {
        run.failure = "cannot open placement file: " + name;
        if (!error.reason().empty()) {
            run.failureReason = error.reason();
        }
    } catch (const Placement::PlacementTooLarge& error) {
        run.failure = error.what();
    } catch (const WorkloadUnknown& error) {
        run.failure = error.what();
    }
    // Anything else (no memory, a probe that failed, a broken invariant) is
    // not this file's problem and ends the run.
    if (run.result.deployment && !run.result.deployment->ir) {
        run.refusedPlan = explainRefusal(run, inventories.get(), system);
    } else if (run.resolved()) {
        run.cpuPlacements = cpuPlacements(run, inventories.get(), system);
    }
    return run;
}

std::string_view severityName(Severity severity) {
    switch (severity) {
    case Severity::error:
        return "error";
    case Severity::warning:
        return "warning";
    case Severity::note:
        break;
    }
    return "note";
}

namespace {

Diagnostic withNotes(Diagnostic diagnostic, std::span<const std::string> notes) {
    for (const std::string& note : notes) {
        diagnostic.notes.push_back({Severity::note, note, {}, diagnostic.location, {}, {}});
    }
    return diagnostic;
}

/// Where the block that a resolution issue names stands: the device block
/// for "device.X", the engine block for "engine.X" when there is one, else
/// the placement's header.
class BlockLocator {
  public:
    explicit BlockLocator(const App::PipelineDetail& detail) : header_(detail.header.location) {
        for (const auto& [name, location] : detail.deviceBlocks) {
            devices_.try_emplace(name, location);
        }
        for (const auto& [name, location] : detail.engineBlocks) {
            engines_.try_emplace(name, location);
        }
    }

    [[nodiscard]] SourceLocation locate(const Placement::IssueSubject& subject) const {
        const auto* blocks = subject.namesDevice()   ? &devices_
                             : subject.namesEngine() ? &engines_
                                                     : nullptr;
        if (blocks != nullptr) {
            if (const auto found = blocks->find(subject.name); found != blocks->end()) {
                return found->second;
            }
        }
        return header_;
    }

  private:
    SourceLocation header_;
    std::map<std::string, SourceLocation, ByteLess> devices_;
    std::map<std::string, SourceLocation, ByteLess> engines_;
};

Diagnostic parseDiagnostic(const Placement::ParseError& error) {
    Diagnostic diagnostic =
        withNotes({Severity::error, error.message(), {}, error.location(), {}, {}},
                  Placement::parseErrorNotes(error));
    for (const Placement::ParseNote& note : error.hint().notes) {
        diagnostic.notes.push_back({Severity::note, note.message, {},
                                    note.location ? note.location : diagnostic.location, {}, {}});
    }
    return diagnostic;
}

/// Where a diagnostic stands, for sorting: those without a position first.
bool positionLess(const Diagnostic& a, const Diagnostic& b) {
    if (!a.location || !b.location) {
        return !a.location && b.location;
    }
    if (a.location->file != b.location->file) {
        return a.location->file.str() < b.location->file.str();
    }
    if (a.location->line != b.location->line) {
        return a.location->line < b.location->line;
    }
    return a.location->column < b.location->column;
}

std::vector<Diagnostic> diagnoseUnsorted(const PlacementRun& run) {
    std::vector<Diagnostic> diagnostics;
    if (run.failure) {
        Diagnostic failure{Severity::error, *run.failure, {}, std::nullopt, {}, {}};
        if (run.failureReason) {
            failure.notes.push_back({Severity::note, *run.failureReason, {}, std::nullopt, {}, {}});
        }
        diagnostics.push_back(std::move(failure));
        return diagnostics;
    }
    if (!run.parseErrors.empty()) {
        for (const Placement::ParseError& error : run.parseErrors) {
            diagnostics.push_back(parseDiagnostic(error));
        }
        if (run.parseStoppedEarly) {
            diagnostics.back().notes.push_back(
                {Severity::note,
                 "stopped after " + std::to_string(run.parseErrors.size()) +
                     " errors; the rest of the file was not read",
                 {}, diagnostics.back().location, {}, {}});
        }
        return diagnostics;
    }
    if (run.parseError) {
        diagnostics.push_back(parseDiagnostic(*run.parseError));
        return diagnostics;
    }
    const App::PipelineDetail& detail = run.detail;
    if (!run.result.deployment) {
        for (const Placement::PlacementIssue& issue : run.result.loweringIssues) {
            diagnostics.push_back(
                withNotes({Severity::error, issue.message, issue.path, issue.location, {}, {}},
                          detail.loweringNotes.of(issue.path, issue.message)));
        }
        return diagnostics;
    }
    const BlockLocator locator(detail);
    for (const Placement::DeploymentIssue& issue : run.result.deployment->report.issues) {
        Diagnostic diagnostic =
            withNotes({Severity::error, issue.message, issue.path, locator.locate(issue.subject), {}, {}},
                      detail.resolution.notes.of(issue.path, issue.message));
        if (run.refusedPlan) {
            diagnostic = withNotes(std::move(diagnostic),
                                   run.refusedPlan->notes.of(issue.path, issue.message));
        }
        diagnostics.push_back(std::move(diagnostic));
    }
    if (detail.ir) {
        for (const Placement::MemoryLimitWarning& warning :
             Placement::memoryLimitWarnings(*detail.ir, detail.workload)) {
            diagnostics.push_back(
                {Severity::warning, warning.message(), warning.path(),
                 locator.locate({Placement::IssueSubject::Kind::engine_memory, warning.engine}),
                 {}, {}});
        }
    }
    for (const CpuPlacement& placement : run.cpuPlacements) {
        diagnostics.push_back(withNotes(
            {Severity::warning,
             "first fit placed transformer '" + placement.engine + "' on cpu device '" +
                 placement.cpu + "' while cuda device '" + placement.cuda + "' had room for it",
             "engine." + placement.engine,
             locator.locate({Placement::IssueSubject::Kind::engine, placement.engine}),
             {}, {}},
            std::span<const std::string>(&placement.note, 1)));
    }
    return diagnostics;
}

} // namespace

void finishDiagnostics(std::vector<Diagnostic>& diagnostics) {
    for (Diagnostic& diagnostic : diagnostics) {
        const DiagnosticRule* rule = ruleOf(diagnostic.message);
        if (rule == nullptr) {
            continue;
        }
        diagnostic.code = rule->code;
        if (diagnostic.notes.empty() && !rule->help.empty()) {
            diagnostic.notes.push_back(
                {Severity::note, std::string(rule->help), {}, diagnostic.location, {}, {}});
        }
    }
    std::stable_sort(diagnostics.begin(), diagnostics.end(), positionLess);
}

std::vector<Diagnostic> diagnose(const PlacementRun& run) {
    std::vector<Diagnostic> diagnostics = diagnoseUnsorted(run);
    finishDiagnostics(diagnostics);
    return diagnostics;
}

std::string humanBytes(std::uint64_t bytes) {
    constexpr std::string_view kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    std::uint64_t scale = 1;
    while (unit + 1 < std::size(kUnits) && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    if (unit == 0) {
        return std::to_string(bytes) + " B";
    }
    // Tenths, rounded down, without floating point.
    const std::uint64_t whole = bytes / scale;
    const std::uint64_t tenth = (bytes % scale) / (scale / 10);
    return std::to_string(whole) + "." + std::to_string(tenth) + " " + std::string(kUnits[unit]);
}

} // namespace Core::Companion

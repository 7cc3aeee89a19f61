// The companion command's model of one invocation: where the inventory comes
// from, each placement file taken through the pipeline with everything that
// explains it, and the diagnostics of a file in the order they are shown.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/pipeline.h"
#include "app/placement_file.h"
#include "common/source_location.h"
#include "companion/suggestions.h"
#include "deployment/inventory.h"
#include "host/probe.h"
#include "orchestration/system_spec.h"
#include "placement/lexer.h"
#include "system_file/system_file.h"

namespace Core::Companion {

/// The composite system that placements are lowered against: the built-in
/// one, or one read from a system file with its workload.
/// The files a transformer's figures came from, as the system file writes them.
struct ModelSource {
    std::optional<std::string> config;
    std::optional<std::string> checkpoint;
};

class SystemSource {
  public:
    /// The built-in system and workload.
    SystemSource();
    /// The system file at `path`, read at once; its problems are kept, not thrown.
    explicit SystemSource(const std::string& path);

    [[nodiscard]] const Orchestration::SystemSpec& spec() const;
    /// The system file, or null for the built-in system.
    [[nodiscard]] const SystemFile::LoadedSystem* file() const noexcept {
        return loaded_ ? &*loaded_ : nullptr;
    }
    /// False when the file could not be read whole: there is no system to
    /// lower a placement against.
    [[nodiscard]] bool usable() const;
    /// Each engine's workload before it is estimated, in engine order.
    [[nodiscard]] const std::vector<Estimation::WorkloadSpec>& workloadSpecs() const noexcept {
        return specs_;
    }
    /// The model config each workload's figures came from, if any, in the
    /// order of workloadSpecs().
    /// Where each workload's model figures came from, in workload order.
    [[nodiscard]] const std::vector<ModelSource>& modelSources() const noexcept {
        return modelSources_;
    }
    /// The requirements; throws "resource estimate is unknown" as the
    /// built-in workload would.
    [[nodiscard]] std::vector<Estimation::WorkloadRequirement> workload() const;

  private:
    std::optional<SystemFile::LoadedSystem> loaded_;
    Orchestration::SystemSpec builtIn_;
    std::vector<Estimation::WorkloadSpec> specs_;
    std::vector<ModelSource> modelSources_;
};

enum class InventorySource { fixture, host, file };

/// The inventory that resolution uses: the portable fixture, this machine,
/// probed once and only when a placement first needs it (or the inventory
/// command asks), or a machine read from an inventory file.
class Inventories {
  public:
    Inventories(InventorySource source, Host::HostProbeOptions probe);
    /// A machine read from `file`, with the notes its reading left.
    Inventories(std::string file, Placement::ResourceInventory inventory,
                std::vector<std::string> notes);

    /// Throws std::runtime_error when the host's memory cannot be read, and
    /// the same again on every later call, without probing again.
    [[nodiscard]] const Placement::ResourceInventory& get();
    /// What the probe could not see; empty for the fixture.
    [[nodiscard]] const std::vector<std::string>& notes() const noexcept { return notes_; }
    [[nodiscard]] InventorySource source() const noexcept { return source_; }
    /// "fixture", "host" or the file, as the option and the JSON documents spell it.
    [[nodiscard]] std::string_view name() const noexcept;
    /// The report's first line.
    [[nodiscard]] std::string_view reportTitle() const noexcept;
    /// The system's workload, and this inventory.
    [[nodiscard]] App::ResolutionInputs inputs(const SystemSource& system);

  private:
    InventorySource source_;
    Host::HostProbeOptions probe_;
    std::string file_;
    std::string title_;
    std::optional<Placement::ResourceInventory> inventory_;
    std::vector<std::string> notes_;
    std::exception_ptr probeFailure_;
};

/// The file that a placement operand names: "-" is standard input.
[[nodiscard]] std::string placementSource(const std::string& operand);
/// How diagnostics name it: "<stdin>" for "-".
[[nodiscard]] std::string placementName(const std::string& operand);

/// One placement file through the pipeline, with its detail.
struct PlacementRun {
    std::string file;
    /// Why the file was not taken through: it could not be read, or is too large.
    std::optional<std::string> failure;
    std::optional<std::string> failureReason; ///< the system's word for why it could not be read
    /// The first error in the text, as the tool reports it.
    std::optional<Placement::ParseError> parseError;
    /// Every error in the text, the first included, when it has one.
    std::vector<Placement::ParseError> parseErrors;
    bool parseStoppedEarly = false;
    /// The file's bytes, for showing the lines that diagnostics point at.
    std::shared_ptr<const App::PlacementBytes> text;
    App::PipelineResult result;
    App::PipelineDetail detail;
    /// For a placement that lowered but did not resolve: what it asks of
    /// each device and the change that would resolve it.
    std::optional<RefusedPlan> refusedPlan;
    /// For a plan first fit resolved: transformers it put on a CPU while a
    /// CUDA device had room.
    std::vector<CpuPlacement> cpuPlacements;

    [[nodiscard]] bool resolved() const { return !failure && !parseError && App::isResolved(result); }
};

/// Problems of the file are in the run, and so is a system file that cannot
/// be read, or whose workload cannot be estimated; anything else (running
/// out of memory, an inventory that cannot be probed) is thrown.
[[nodiscard]] PlacementRun runPlacement(const std::string& file, const SystemSource& system,
                                        Inventories& inventories);

enum class Severity { error, warning, note };

[[nodiscard]] std::string_view severityName(Severity severity);

struct Diagnostic {
    Severity severity = Severity::error;
    std::string message;
    std::string path; ///< the issue's path; empty for a parse error or an unreadable file
    std::optional<SourceLocation> location;
    std::vector<Diagnostic> notes; ///< notes on this diagnostic, at its location unless they say
    std::string_view code;         ///< the rule's code ("P010"); empty for a note
};

/// Every problem of a run: the failure, or every error in the text; else
/// every lowering issue; else every resolution issue; then the warnings on
/// memory blocks below their estimates. Each with its code and at least one
/// note, sorted by position (those without one first), equal positions in
/// the order found.
[[nodiscard]] std::vector<Diagnostic> diagnose(const PlacementRun& run);

/// Gives each diagnostic its rule's code, and its rule's help as a note
/// where it has none, then sorts them by position as diagnose() does.
void finishDiagnostics(std::vector<Diagnostic>& diagnostics);

/// Every problem of a system file, as diagnostics, in position order; none
/// for the built-in system.
[[nodiscard]] std::vector<Diagnostic> systemDiagnostics(const SystemSource& system);

/// "68.0 MiB": a byte count in the largest binary unit it reaches, one decimal.
[[nodiscard]] std::string humanBytes(std::uint64_t bytes);

} // namespace Core::Companion

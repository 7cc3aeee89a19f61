// The companion command's model of one invocation: where the inventory comes
// from, each placement file taken through the pipeline with everything that
// explains it, and the diagnostics of a file in the order they are shown.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/pipeline.h"
#include "common/source_location.h"
#include "deployment/inventory.h"
#include "host/probe.h"
#include "orchestration/system_spec.h"
#include "placement/lexer.h"

namespace Core::Companion {

enum class InventorySource { fixture, host };

/// The inventory that resolution uses: the portable fixture, or this machine,
/// probed once and only when a placement first needs it (or the inventory
/// command asks).
class Inventories {
  public:
    Inventories(InventorySource source, Host::HostProbeOptions probe);

    /// Throws std::runtime_error when the host's memory cannot be read, and
    /// the same again on every later call, without probing again.
    [[nodiscard]] const Placement::ResourceInventory& get();
    /// What the probe could not see; empty for the fixture.
    [[nodiscard]] const std::vector<std::string>& notes() const noexcept { return notes_; }
    [[nodiscard]] InventorySource source() const noexcept { return source_; }
    /// "fixture" or "host", as the option and the JSON documents spell it.
    [[nodiscard]] std::string_view name() const noexcept;
    /// The report's first line.
    [[nodiscard]] std::string_view reportTitle() const noexcept;
    /// The composite workload, and this inventory.
    [[nodiscard]] App::ResolutionInputs inputs();

  private:
    InventorySource source_;
    Host::HostProbeOptions probe_;
    std::optional<Placement::ResourceInventory> inventory_;
    std::vector<std::string> notes_;
    std::exception_ptr probeFailure_;
};

/// One placement file through the pipeline, with its detail.
struct PlacementRun {
    std::string file;
    /// Why the file was not taken through: it could not be read, or is too large.
    std::optional<std::string> failure;
    std::optional<Placement::ParseError> parseError;
    App::PipelineResult result;
    App::PipelineDetail detail;

    [[nodiscard]] bool resolved() const { return !failure && !parseError && App::isResolved(result); }
};

/// Problems of the file are in the run; anything else (running out of
/// memory, an inventory that cannot be probed) is thrown.
[[nodiscard]] PlacementRun runPlacement(const std::string& file,
                                        const Orchestration::SystemSpec& system,
                                        Inventories& inventories);

enum class Severity { error, warning, note };

[[nodiscard]] std::string_view severityName(Severity severity);

struct Diagnostic {
    Severity severity = Severity::error;
    std::string message;
    std::string path; ///< the issue's path; empty for a parse error or an unreadable file
    std::optional<SourceLocation> location;
    std::vector<Diagnostic> notes; ///< notes on this diagnostic, at its location
};

/// Every problem of a run, in the order shown: the failure or the parse
/// error; else every lowering issue; else every resolution issue; then the
/// warnings on memory blocks below their estimates. Each with its notes.
[[nodiscard]] std::vector<Diagnostic> diagnose(const PlacementRun& run);

/// "68.0 MiB": a byte count in the largest binary unit it reaches, one decimal.
[[nodiscard]] std::string humanBytes(std::uint64_t bytes);

} // namespace Core::Companion

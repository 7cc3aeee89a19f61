// Text and JSON renderings of the companion's answers. The text forms are for
// people (diagnostics in the compilers' form); the JSON documents are for
// tools, in the stable shape the README documents.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "companion/explanation.h"
#include "companion/fleet.h"
#include "companion/session.h"
#include "deployment/inventory.h"

namespace Core::Companion {

using Json = nlohmann::ordered_json;

/// The version of every JSON document's shape, its "format_version".
inline constexpr int kJsonFormatVersion = 1;

/// How diagnostics are shown: the text they point into, for the source line
/// and caret under each (none when empty), and whether in colour.
struct DiagnosticStyle {
    std::string_view source;
    bool colour = false;
};

/// One line per diagnostic, "FILE:LINE:COLUMN: error: MESSAGE [PATH]", then
/// the source line with a caret under the column when the style has the
/// text, then its notes; "FILE: error: MESSAGE" where there is no position.
[[nodiscard]] std::string diagnosticsText(const std::vector<Diagnostic>& diagnostics,
                                          std::string_view file, DiagnosticStyle style = {});

/// The report, then each engine with the terms of its peak, the order in
/// which first fit placed the engines, and the device budgets. For a run that
/// resolved.
[[nodiscard]] std::string explanationText(const PlacementRun& run,
                                          const std::vector<EngineExplanation>& engines,
                                          std::string_view reportTitle);

/// The device budgets of a plan that resolution refused, as far as it got,
/// and the engines first fit could not place; empty when none is known.
[[nodiscard]] std::string refusalText(const RefusedPlan& refused);

/// A system with its hash, whether it has problems (`errors`, shown
/// elsewhere), and each engine with its workload and the terms of its peak.
[[nodiscard]] std::string systemText(const SystemSource& system,
                                     const std::vector<SystemEngineExplanation>& engines,
                                     std::size_t errors);
[[nodiscard]] Json systemJson(const SystemSource& system,
                              const std::vector<SystemEngineExplanation>& engines,
                              const std::vector<Diagnostic>& diagnostics);
/// The graph for Graphviz: engines with class and peak, connections with
/// schema, delay and adapter.
[[nodiscard]] std::string systemDot(const SystemSource& system,
                                    const std::vector<SystemEngineExplanation>& engines);

/// One line per machine of a fleet, and how many fit.
[[nodiscard]] std::string fitText(const std::vector<MachineFit>& fits);
[[nodiscard]] Json fitJson(std::string_view placement, const SystemSource& system,
                           const std::vector<MachineFit>& fits);

/// The inventory's devices with their bytes, its fingerprint and its
/// canonical text.
[[nodiscard]] std::string inventoryText(const Placement::ResourceInventory& inventory,
                                        std::string_view label);

/// The diagnostics as JSON objects, with their notes.
[[nodiscard]] Json diagnosticsJson(const std::vector<Diagnostic>& diagnostics);

/// The keys every document of a placement starts with: format_version,
/// command, file, inventory, resolved, and the hashes when resolution ran.
[[nodiscard]] Json placementJson(std::string_view command, const PlacementRun& run,
                                 std::string_view inventory);
/// The engines with their devices and the device budgets of a resolved run.
void addResolutionJson(Json& document, const PlacementRun& run);
/// Device budgets, each with the bytes it is over.
[[nodiscard]] Json budgetsJson(const std::vector<Placement::DeviceBudget>& budgets);
/// The change that resolves a plan that resolution refused, or that there
/// is none; null for any other run.
[[nodiscard]] Json suggestionJson(const PlacementRun& run);
/// The engines with their peaks, terms and how much more fits, and first
/// fit's steps.
void addExplanationJson(Json& document, const PlacementRun& run,
                        const std::vector<EngineExplanation>& explained);
[[nodiscard]] Json workloadJson(const WorkloadExplanation& workload);
[[nodiscard]] Json inventoryJson(const Placement::ResourceInventory& inventory,
                                 std::string_view source);

} // namespace Core::Companion

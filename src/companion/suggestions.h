// What a plan that resolution refused asks of its devices, in figures, and
// the one change to its file that would make it resolve. Every change
// suggested has been resolved, with the same inventory and workload, before
// it is shown; the search tries a bounded number of changes, so that it stays
// cheap on a placement with many engines and devices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/source_location.h"
#include "deployment/deployment.h"
#include "deployment/inventory.h"
#include "placement/hints.h"

namespace Core::Companion {

struct PlacementRun;
class SystemSource;

enum class SuggestionKind { move_engine, lower_reserve, reduce_workload, none };

/// "move_engine", "lower_reserve", "reduce_workload", "none": as the JSON
/// documents spell it.
[[nodiscard]] std::string_view suggestionKindName(SuggestionKind kind);

/// One change to the placement file, or to the system file's workload.
struct Suggestion {
    SuggestionKind kind = SuggestionKind::none;
    std::string engine;                   ///< move_engine: the engine to move; reduce_workload: whose
    std::string device;                   ///< move_engine: where to; lower_reserve: whose reserve
    std::optional<std::uint64_t> reserve; ///< lower_reserve: the new reserve, bytes
    /// What to write: "device: gpu0;" or "reserve: 62 MiB;" in the block at
    /// `block`, or a whole engine block to add when the file has none; for
    /// reduce_workload, "sessions = 3" at `block` in the system file.
    std::string edit;
    std::optional<SourceLocation> block;
    std::string note; ///< shown beside the refusal
};

/// What a refused plan asks of its devices, as far as resolution got.
struct RefusalFigures {
    /// Each declared device that bound: for first fit, with the engines it
    /// placed and those pinned there. Sorted by device; a device asked for
    /// too much keeps `headroom` 0.
    std::vector<Placement::DeviceBudget> budgets;
    std::vector<Placement::EngineAssignment> assignments; ///< sorted by engine
    /// Engines first fit could not place anywhere, with their peaks, in
    /// placing order.
    std::vector<std::pair<std::string, std::uint64_t>> unplaced;
};

struct RefusedPlan {
    RefusalFigures figures;
    /// The bytes over on each memory issue, and the suggestion (or that
    /// there is none) on the first issue.
    Placement::IssueNotes notes;
    Suggestion suggestion;
};

/// The bytes a device is asked for beyond what it has: its reserve and the
/// peaks on it against its usable memory. 0 when it fits; saturates.
[[nodiscard]] std::uint64_t bytesOver(const Placement::DeviceBudget& budget);

/// The first change, in a fixed order, that the pipeline resolves: moving
/// one engine of the refusal (an engine it names, then the engines on a
/// device that is over, the smallest that covers the overage first) to a
/// declared device with room, in name order, but never a transformer to a
/// CPU; else fewer sessions, a shorter context or a lower concurrency for a
/// transformer whose workload a system file states; else the moves of a
/// transformer to a CPU; else lowering the reserve of a device in question,
/// in name order, to the most that still resolves, rounded down to a size
/// the file can write. A run that resolution did not refuse gets kind none.
[[nodiscard]] Suggestion suggestChange(const PlacementRun& run,
                                       const Placement::ResourceInventory& inventory,
                                       const RefusalFigures& figures, const SystemSource& system);

/// The figures of a run that lowered but that resolution refused, against
/// the inventory it was resolved with.
[[nodiscard]] RefusalFigures refusalFigures(const PlacementRun& run,
                                            const Placement::ResourceInventory& inventory);

/// The figures and the suggestion of a run that lowered but that resolution
/// refused, against the inventory it was resolved with; absent for any
/// other run.
[[nodiscard]] std::optional<RefusedPlan>
explainRefusal(const PlacementRun& run, const Placement::ResourceInventory& inventory,
               const SystemSource& system);

/// A transformer that first fit put on a CPU while a CUDA device of the plan
/// had room for it: the plan resolves with it pinned there.
struct CpuPlacement {
    std::string engine;
    std::string cpu;
    std::string cuda;
    std::string edit; ///< "device: gpu0;", or a whole engine block to add
    std::optional<SourceLocation> block;
    std::string note;
};

/// For a plan that first fit resolved: each transformer read from its
/// model's files that it put on a CPU, and that resolves pinned to a CUDA
/// device of the plan, the first such in name order. A bounded number of
/// resolutions. Figures written by hand (the built-in example's among them)
/// describe no model a user deploys, and their placements keep their answers.
[[nodiscard]] std::vector<CpuPlacement> cpuPlacements(const PlacementRun& run,
                                                      const Placement::ResourceInventory& inventory,
                                                      const SystemSource& system);

/// "62 MiB": bytes in the largest unit of the placement file that divides
/// them exactly.
[[nodiscard]] std::string sizeText(std::uint64_t bytes);

} // namespace Core::Companion

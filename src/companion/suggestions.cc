// The figures of a refused plan and the search for one change that resolves
// it. A change is only ever suggested after resolveDeployment has resolved
// the placement with it.
#include "companion/suggestions.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <map>
#include <set>

#include "common/byte_order.h"
#include "common/checked_math.h"
#include "companion/session.h"
#include "deployment/first_fit.h"
#include "deployment/preflight.h"

namespace Core::Companion {
namespace {

using Placement::DeploymentIssue;
using Placement::DeviceBudget;
using Placement::EngineAssignment;
using Estimation::EstimateResult;
using Placement::PlacementIR;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kGiB = 1024 * kMiB;

// Each try resolves the whole placement once; these keep the search to 48
// resolutions at most (moves twice, a workload, a reserve), however many
// engines and devices the placement has. A reserve's search halves a gap of
// whole MiB: 24 tries cover 8 TiB.
constexpr std::size_t kMovers = 16;
constexpr std::size_t kMoveTries = 8;
constexpr std::size_t kTargetsPerEngine = 4;
constexpr std::size_t kReserveTries = 24;
// A reduced workload: two transformers at most, each its counts tried once
// and a context twice.
constexpr std::size_t kReducedEngines = 2;
/// A suggested context is a multiple of this, when one fits.
constexpr std::uint64_t kContextStep = 1024;

using SubjectKind = Placement::IssueSubject::Kind;
constexpr std::string_view kNoChange = "no single change resolves this plan";

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return checkedAdd(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

/// Placement::usableMemory of the device the budget bound.
std::uint64_t usableBeforeReserve(const DeviceBudget& budget) {
    return budget.available ? std::min(budget.total, *budget.available) : budget.total;
}

/// "389.0 MiB (407901752 bytes)"; "500 bytes" below 1 KiB.
std::string sized(std::uint64_t bytes) {
    return bytes >= kKiB ? humanBytes(bytes) + " (" + std::to_string(bytes) + " bytes)"
                         : std::to_string(bytes) + " bytes";
}

/// "gpu0: requested 389.0 MiB (407901752 bytes), usable 72.0 MiB (75497472
/// bytes): 332404280 bytes over". A reserve that does not fit is counted as
/// asked for, against the memory before it.
std::string overNote(const DeviceBudget& budget) {
    std::string text = budget.device + ": ";
    const std::uint64_t usable = usableBeforeReserve(budget);
    if (budget.reserve > usable) {
        text += "reserve " + sized(budget.reserve);
        if (budget.requested > 0) {
            text += " and requested " + sized(budget.requested);
        }
        text += ", usable " + sized(usable);
    } else {
        text += "requested " + sized(budget.requested) + ", usable " + sized(budget.usable);
    }
    return text + ": " + std::to_string(bytesOver(budget)) + " bytes over";
}

/// "bytes over at that point of first fit: 'cpu0' 181404664, 'gpu0' 193987576":
/// an engine that no device had room for.
std::string shortfallNote(const Placement::FitStep& step) {
    std::string text = "bytes over at that point of first fit:";
    const char* separator = " '";
    for (const auto& [device, free] : step.free_bytes) {
        text += separator + device + "' " + std::to_string(step.peak > free ? step.peak - free : 0);
        separator = ", '";
    }
    if (step.more_devices > 0) {
        text += ", and " + std::to_string(step.more_devices) + " more devices";
    }
    return text;
}

template <class Record, class Key>
const Record* findSorted(const std::vector<Record>& records, std::string_view key, Key key_of) {
    const auto found = std::lower_bound(records.begin(), records.end(), key,
                                        [&key_of](const Record& record, std::string_view wanted) {
                                            return byteLess(key_of(record), wanted);
                                        });
    return found != records.end() && key_of(*found) == key ? &*found : nullptr;
}

const DeviceBudget* budgetOf(const std::vector<DeviceBudget>& budgets, std::string_view device) {
    return findSorted(budgets, device,
                      [](const DeviceBudget& b) -> std::string_view { return b.device; });
}

/// Where the block named `name` stands in the file, if it has one.
std::optional<SourceLocation>
blockOf(const std::vector<std::pair<std::string, SourceLocation>>& blocks, std::string_view name) {
    for (const auto& [block, location] : blocks) {
        if (block == name) {
            return location;
        }
    }
    return std::nullopt;
}

/// The same resolution that refused the plan, tried on changed copies of
/// its lowered IR, a bounded number of times.
class ChangeSearch {
  public:
    ChangeSearch(const App::PipelineDetail& detail, const Placement::ResourceInventory& inventory,
                 const std::vector<DeviceBudget>& budgets,
                 const std::vector<EngineAssignment>& assignments, const SystemSource& system)
        : detail_(detail), ir_(*detail.ir), inventory_(inventory), budgets_(budgets),
          assignments_(assignments), system_(system) {
        for (std::size_t i = 0; i < ir_.engines.size(); ++i) {
            engineAt_.try_emplace(ir_.engines[i].id, i);
        }
        for (std::size_t i = 0; i < ir_.devices.size(); ++i) {
            deviceAt_.try_emplace(ir_.devices[i].id, i);
        }
        for (std::size_t i = 0; i < detail.workload.size(); ++i) {
            requirementAt_.try_emplace(detail.workload[i].engine, i);
        }
        for (const Placement::LoweredEngine& engine : ir_.engines) {
            need_ = saturatingAdd(need_, peakOf(engine.id).value_or(0));
        }
        for (const DeviceBudget& budget : budgets_) {
            capacity_ = saturatingAdd(capacity_, budget.usable);
        }
    }

    /// The engines the issues name, then those on a device that is over,
    /// each to the first declared devices, in name order, with room for it;
    /// a transformer to a CPU only when `toCpu` says so, and then only there.
    [[nodiscard]] std::optional<Suggestion> moveEngine(const std::vector<DeploymentIssue>& issues,
                                                       bool toCpu) {
        tries_ = 0; // each kind of change has its own allowance
        if (need_ > capacity_) {
            return std::nullopt; // a move adds no memory
        }
        for (const auto& [engine, peak] : movers(issues)) {
            const std::optional<std::string_view> from = deviceOf(engine);
            const bool transformer =
                ir_.engines[engineAt_.at(engine)].kind == EngineClassCode::transformer;
            std::size_t targets = 0;
            for (const DeviceBudget& target : budgets_) {
                if (tries_ == kMoveTries) {
                    return std::nullopt;
                }
                if (targets == kTargetsPerEngine) {
                    break;
                }
                if (transformer && isCpu(target.device) != toCpu) {
                    continue;
                }
                if (!transformer && toCpu) {
                    break; // tried on the first round
                }
                // First fit places a pinned engine before the others, so the
                // whole usable memory is room for it.
                const std::uint64_t room = firstFit() ? target.usable : target.headroom;
                if (target.device == from || bytesOver(target) > 0 || room < peak) {
                    continue;
                }
                ++targets;
                PlacementIR changed = ir_;
                changed.engines[engineAt_.at(engine)].device = target.device;
                if (resolves(changed)) {
                    return moved(engine, target.device);
                }
            }
        }
        return std::nullopt;
    }

    /// A transformer of the refusal with fewer sessions, a shorter context,
    /// or a lower concurrency, each the most that brings its peak within
    /// what its device (or, for first fit, the device with the most room
    /// at its turn) has for it.
    [[nodiscard]] std::optional<Suggestion>
    reduceWorkload(const std::vector<DeploymentIssue>& issues,
                   const std::vector<Placement::FitStep>& steps) {
        tries_ = 0;
        const SystemFile::LoadedSystem* loaded = system_.file();
        if (loaded == nullptr) {
            return std::nullopt; // the built-in workload is not the user's to change
        }
        std::size_t engines = 0;
        for (const auto& [engine, peak] : movers(issues)) {
            if (engines == kReducedEngines) {
                break;
            }
            if (ir_.engines[engineAt_.at(engine)].kind != EngineClassCode::transformer) {
                continue;
            }
            const SystemFile::EngineWorkload* stated = statedWorkload(*loaded, engine);
            const std::optional<std::uint64_t> budget = budgetFor(engine, peak, steps);
            if (stated == nullptr || !budget) {
                continue;
            }
            ++engines;
            const Estimation::WorkloadCuts cuts = Estimation::workloadCuts(stated->spec, *budget);
            if (cuts.sessions) {
                Estimation::WorkloadSpec changed = stated->spec;
                changed.sessions = *cuts.sessions;
                if (resolvesWithWorkload(changed)) {
                    return reduced(engine, "sessions = " + std::to_string(*cuts.sessions),
                                   "at " + std::to_string(*cuts.sessions) +
                                       (*cuts.sessions == 1 ? " session" : " sessions"),
                                   stated->sessions_location, "its workload");
                }
            }
            if (cuts.contextLength && stated->context_location) {
                // A round figure, when one still fits.
                std::uint64_t context = *cuts.contextLength;
                if (context >= kContextStep &&
                    resolvesWithWorkload(
                        Estimation::withContext(stated->spec, context / kContextStep * kContextStep))) {
                    context = context / kContextStep * kContextStep;
                } else if (!resolvesWithWorkload(Estimation::withContext(stated->spec, context))) {
                    context = 0;
                }
                if (context != 0) {
                    return reduced(engine, "contextLength = " + std::to_string(context),
                                   "at a context of " + std::to_string(context) + " tokens",
                                   *stated->context_location, "its transformer table");
                }
            }
            if (cuts.concurrency) {
                Estimation::WorkloadSpec changed = stated->spec;
                changed.concurrency = *cuts.concurrency;
                if (resolvesWithWorkload(changed)) {
                    return reduced(engine, "concurrency = " + std::to_string(*cuts.concurrency),
                                   "at a concurrency of " + std::to_string(*cuts.concurrency),
                                   stated->concurrency_location, "its workload");
                }
            }
        }
        return std::nullopt;
    }

    /// The devices in question with a reserve, in name order: the most
    /// reserve that still resolves, rounded down to a size the file writes.
    [[nodiscard]] std::optional<Suggestion>
    lowerReserve(const std::vector<Placement::FitStep>& steps) {
        tries_ = 0; // each kind of change has its own allowance
        std::set<std::string_view, ByteLess> inQuestion;
        for (const DeviceBudget& budget : budgets_) {
            if (bytesOver(budget) > 0) {
                inQuestion.insert(budget.device);
            }
        }
        for (const Placement::FitStep& step : steps) {
            if (!step.device) {
                for (const auto& [device, free] : step.free_bytes) {
                    inQuestion.insert(device);
                }
            }
        }
        for (const std::string_view name : inQuestion) {
            if (tries_ == kReserveTries) {
                break;
            }
            const auto at = deviceAt_.find(name);
            if (at == deviceAt_.end() || ir_.devices[at->second].reserve == 0) {
                continue;
            }
            const std::size_t device = at->second;
            if (need_ > saturatingAdd(capacity_, mostGained(device))) {
                continue;
            }
            if (const std::optional<std::uint64_t> reserve =
                    firstFit() ? searchReserve(device) : fittingReserve(device)) {
                return lowered(device, *reserve);
            }
        }
        return std::nullopt;
    }

  private:
    [[nodiscard]] bool isCpu(std::string_view device) const {
        const auto at = deviceAt_.find(device);
        return at != deviceAt_.end() && ir_.devices[at->second].kind == Placement::DeviceKind::cpu;
    }

    static const SystemFile::EngineWorkload* statedWorkload(const SystemFile::LoadedSystem& loaded,
                                                           std::string_view engine) {
        for (const SystemFile::EngineWorkload& workload : loaded.workloads) {
            if (workload.spec.engine == engine) {
                return &workload;
            }
        }
        return nullptr;
    }

    /// The peak an engine must come down to: its device's room for it, or,
    /// for an engine first fit could not place, the most any device had free
    /// at its turn.
    [[nodiscard]] std::optional<std::uint64_t>
    budgetFor(std::string_view engine, std::uint64_t peak,
              const std::vector<Placement::FitStep>& steps) const {
        if (const std::optional<std::string_view> device = deviceOf(engine)) {
            const DeviceBudget* budget = budgetOf(budgets_, *device);
            const std::uint64_t over = budget != nullptr ? bytesOver(*budget) : 0;
            return over != 0 && over < peak ? std::optional<std::uint64_t>(peak - over)
                                             : std::nullopt;
        }
        for (const Placement::FitStep& step : steps) {
            if (step.engine == engine && !step.device && !step.free_bytes.empty()) {
                std::uint64_t most = 0;
                for (const auto& [name, free] : step.free_bytes) {
                    most = std::max(most, free);
                }
                return most;
            }
        }
        return std::nullopt;
    }

    [[nodiscard]] bool resolvesWithWorkload(const Estimation::WorkloadSpec& changed) {
        ++tries_;
        std::vector<Estimation::WorkloadRequirement> workload = detail_.workload;
        const EstimateResult estimated = Estimation::estimateWorkload(changed.profile);
        if (!estimated.estimate) {
            return false;
        }
        for (Estimation::WorkloadRequirement& requirement : workload) {
            if (requirement.engine == changed.engine) {
                requirement = {changed.engine, *estimated.estimate, changed.sessions,
                               changed.concurrency, changed.training};
            }
        }
        return Placement::resolveDeployment(ir_, inventory_, workload).ir.has_value();
    }

    [[nodiscard]] static Suggestion reduced(std::string_view engine, std::string edit,
                                            const std::string& with, const SourceLocation& at,
                                            std::string_view where) {
        Suggestion suggestion;
        suggestion.kind = SuggestionKind::reduce_workload;
        suggestion.engine = engine;
        suggestion.edit = std::move(edit);
        suggestion.block = at;
        suggestion.note = "the plan resolves with '" + suggestion.engine + "' " + with +
                          ": write '" + suggestion.edit + "' in " + std::string(where) + " (" +
                          at.file.str() + ":" + std::to_string(at.line) + ")";
        return suggestion;
    }

    /// What lowering the device's reserve to nothing adds to the usable
    /// memory of the plan: the whole reserve, or, when it did not fit, the
    /// whole device.
    [[nodiscard]] std::uint64_t mostGained(std::size_t device) const {
        const DeviceBudget* budget = budgetOf(budgets_, ir_.devices[device].id);
        if (budget == nullptr) {
            return 0;
        }
        const std::uint64_t usable = usableBeforeReserve(*budget);
        return budget->reserve > usable ? usable : budget->reserve;
    }

    [[nodiscard]] bool firstFit() const {
        return ir_.policy == Placement::PlacementPolicy::first_fit;
    }

    [[nodiscard]] bool resolves(const PlacementIR& changed) {
        ++tries_;
        return Placement::resolveDeployment(changed, inventory_, detail_.workload).ir.has_value();
    }

    [[nodiscard]] bool resolvesWithReserve(std::size_t device, std::uint64_t reserve) {
        PlacementIR changed = ir_;
        changed.devices[device].reserve = reserve;
        return resolves(changed);
    }

    [[nodiscard]] std::optional<std::uint64_t> peakOf(std::string_view engine) const {
        const auto at = requirementAt_.find(engine);
        return at != requirementAt_.end() ? Estimation::peakMemory(detail_.workload[at->second])
                                          : std::nullopt;
    }

    /// Where the refused plan has the engine: its pin, or first fit's choice.
    [[nodiscard]] std::optional<std::string_view> deviceOf(std::string_view engine) const {
        if (const EngineAssignment* assigned =
                findSorted(assignments_, engine, [](const EngineAssignment& a) -> std::string_view {
                    return a.engine;
                })) {
            return assigned->device;
        }
        const std::optional<std::string>& pinned = ir_.engines[engineAt_.at(engine)].device;
        return pinned ? std::optional<std::string_view>(*pinned) : std::nullopt;
    }

    /// The engines worth moving, in the order they are tried, with their peaks.
    [[nodiscard]] std::vector<std::pair<std::string_view, std::uint64_t>>
    movers(const std::vector<DeploymentIssue>& issues) const {
        std::vector<std::pair<std::string_view, std::uint64_t>> found;
        std::set<std::string_view, ByteLess> seen;
        const auto add = [&](std::string_view engine, std::optional<std::uint64_t> peak) {
            if (found.size() < kMovers && peak && engineAt_.contains(engine) &&
                seen.insert(engine).second) {
                found.emplace_back(engine, *peak);
            }
        };
        for (const DeploymentIssue& issue : issues) {
            if (issue.subject.kind == SubjectKind::engine) {
                add(issue.subject.name, peakOf(issue.subject.name));
            }
        }
        // On each device that is over, the engines whose peak covers the
        // overage, smallest first: the least that a move must take away.
        std::map<std::string_view, std::vector<const EngineAssignment*>, ByteLess> onOver;
        for (const DeviceBudget& budget : budgets_) {
            if (bytesOver(budget) > 0) {
                onOver.try_emplace(budget.device);
            }
        }
        for (const EngineAssignment& assignment : assignments_) {
            if (const auto over = onOver.find(assignment.device); over != onOver.end()) {
                over->second.push_back(&assignment);
            }
        }
        for (auto& [device, engines] : onOver) {
            const std::uint64_t over = bytesOver(*budgetOf(budgets_, device));
            std::sort(engines.begin(), engines.end(),
                      [](const EngineAssignment* a, const EngineAssignment* b) {
                          return a->peak != b->peak ? a->peak < b->peak
                                                    : byteLess(a->engine, b->engine);
                      });
            for (const EngineAssignment* assignment : engines) {
                if (assignment->peak >= over) {
                    add(assignment->engine, assignment->peak);
                }
            }
        }
        return found;
    }

    /// The preflight alone decides: the reserve that leaves exactly the
    /// requested bytes, rounded down.
    [[nodiscard]] std::optional<std::uint64_t> fittingReserve(std::size_t device) {
        const DeviceBudget* budget = budgetOf(budgets_, ir_.devices[device].id);
        if (budget == nullptr || budget->requested > usableBeforeReserve(*budget)) {
            return std::nullopt;
        }
        const std::uint64_t most = usableBeforeReserve(*budget) - budget->requested;
        const std::uint64_t unit = most >= kMiB ? kMiB : most >= kKiB ? kKiB : 1;
        const std::uint64_t reserve = most / unit * unit;
        if (reserve >= ir_.devices[device].reserve || !resolvesWithReserve(device, reserve)) {
            return std::nullopt;
        }
        return reserve;
    }

    /// First fit moves engines around as room changes, so the reserve is
    /// found by trying: none at all first, then halving the gap, in whole
    /// units of the current reserve's size.
    [[nodiscard]] std::optional<std::uint64_t> searchReserve(std::size_t device) {
        const std::uint64_t current = ir_.devices[device].reserve;
        if (!resolvesWithReserve(device, 0)) {
            return std::nullopt;
        }
        const std::uint64_t unit = current >= kMiB ? kMiB : current >= kKiB ? kKiB : 1;
        std::uint64_t fits = 0;                                               // in units; resolves
        std::uint64_t fails = current / unit + (current % unit != 0 ? 1 : 0); // as refused
        while (fails - fits > 1 && tries_ < kReserveTries) {
            const std::uint64_t middle = fits + (fails - fits) / 2;
            (resolvesWithReserve(device, middle * unit) ? fits : fails) = middle;
        }
        return fits * unit;
    }

    [[nodiscard]] Suggestion moved(std::string_view engine, const std::string& device) const {
        Suggestion suggestion;
        suggestion.kind = SuggestionKind::move_engine;
        suggestion.engine = engine;
        suggestion.device = device;
        suggestion.block = blockOf(detail_.engineBlocks, engine);
        suggestion.note =
            "the plan resolves with '" + suggestion.engine + "' on '" + device + "': ";
        if (suggestion.block) {
            suggestion.edit = "device: " + device + ";";
            suggestion.note += "write '" + suggestion.edit + "' in its engine block";
        } else {
            suggestion.edit = "engine " + suggestion.engine + " { device: " + device + "; }";
            suggestion.note += "add to the placement: " + suggestion.edit;
        }
        return suggestion;
    }

    [[nodiscard]] Suggestion lowered(std::size_t device, std::uint64_t reserve) const {
        const Placement::LoweredDevice& declared = ir_.devices[device];
        Suggestion suggestion;
        suggestion.kind = SuggestionKind::lower_reserve;
        suggestion.device = declared.id;
        suggestion.reserve = reserve;
        suggestion.edit = "reserve: " + sizeText(reserve) + ";";
        suggestion.block = blockOf(detail_.deviceBlocks, declared.id);
        suggestion.note = "the plan resolves with the reserve of '" + declared.id +
                          "' lowered by " + std::to_string(declared.reserve - reserve) +
                          " bytes: write '" + suggestion.edit + "' in its device block";
        return suggestion;
    }

    const App::PipelineDetail& detail_;
    const PlacementIR& ir_;
    const Placement::ResourceInventory& inventory_;
    const std::vector<DeviceBudget>& budgets_;
    const std::vector<EngineAssignment>& assignments_;
    const SystemSource& system_;
    std::map<std::string_view, std::size_t, ByteLess> engineAt_;
    std::map<std::string_view, std::size_t, ByteLess> deviceAt_;
    std::map<std::string_view, std::size_t, ByteLess> requirementAt_;
    // Every engine's peak against every bound device's usable memory: no
    // plan resolves that asks for more in all than its devices give.
    std::uint64_t need_ = 0;
    std::uint64_t capacity_ = 0;
    std::size_t tries_ = 0;
};

bool refusedByResolution(const PlacementRun& run) {
    return !run.failure && !run.parseError && run.result.deployment && !run.result.deployment->ir &&
           run.detail.ir;
}

/// One change mends at most one device: a move makes its target's account
/// worse, and a reserve is one device's.
bool issuesOnSeveralDevices(const std::vector<DeploymentIssue>& issues) {
    std::string_view first;
    for (const DeploymentIssue& issue : issues) {
        if (issue.subject.kind != SubjectKind::device) {
            continue;
        }
        if (first.empty()) {
            first = issue.subject.name;
        } else if (issue.subject.name != first) {
            return true;
        }
    }
    return false;
}

Suggestion noChange() {
    Suggestion none;
    none.note = kNoChange;
    return none;
}

/// The bytes over, on each issue that a device's memory explains: a
/// device's own issues (once per device), an engine pinned to a device that
/// is over, an engine first fit found no room for.
void addOverNotes(RefusedPlan& plan, const std::vector<DeploymentIssue>& issues,
                  const std::vector<Placement::FitStep>& steps) {
    std::map<std::string_view, const Placement::FitStep*, ByteLess> unplaced;
    for (const Placement::FitStep& step : steps) {
        if (!step.device && !step.pinned && !step.free_bytes.empty()) {
            unplaced.try_emplace(step.engine, &step);
        }
    }
    std::string_view noted;
    for (const DeploymentIssue& issue : issues) {
        const std::string_view path = issue.path;
        if (issue.subject.kind == SubjectKind::device) {
            const DeviceBudget* budget = budgetOf(plan.figures.budgets, issue.subject.name);
            if (path != noted && budget != nullptr && bytesOver(*budget) > 0) {
                plan.notes.add(path, issue.message, overNote(*budget));
                noted = path;
            }
        } else if (issue.subject.kind == SubjectKind::engine) {
            const std::string_view engine = issue.subject.name;
            const EngineAssignment* assigned =
                findSorted(plan.figures.assignments, engine,
                           [](const EngineAssignment& a) -> std::string_view { return a.engine; });
            const DeviceBudget* budget =
                assigned != nullptr ? budgetOf(plan.figures.budgets, assigned->device) : nullptr;
            if (budget != nullptr && bytesOver(*budget) > 0) {
                plan.notes.add(path, issue.message, overNote(*budget));
            } else if (const auto step = unplaced.find(engine); step != unplaced.end()) {
                plan.notes.add(path, issue.message, shortfallNote(*step->second));
            }
        }
    }
}

} // namespace

std::string_view suggestionKindName(SuggestionKind kind) {
    switch (kind) {
    case SuggestionKind::move_engine:
        return "move_engine";
    case SuggestionKind::lower_reserve:
        return "lower_reserve";
    case SuggestionKind::reduce_workload:
        return "reduce_workload";
    case SuggestionKind::none:
        break;
    }
    return "none";
}

std::uint64_t bytesOver(const DeviceBudget& budget) {
    const std::uint64_t usable = usableBeforeReserve(budget);
    if (budget.reserve > usable) {
        return saturatingAdd(budget.reserve - usable, budget.requested);
    }
    return budget.requested > budget.usable ? budget.requested - budget.usable : 0;
}

std::string sizeText(std::uint64_t bytes) {
    for (const auto& [unit, name] :
         {std::pair{kGiB, "GiB"}, std::pair{kMiB, "MiB"}, std::pair{kKiB, "KiB"}}) {
        if (bytes != 0 && bytes % unit == 0) {
            return std::to_string(bytes / unit) + " " + name;
        }
    }
    return std::to_string(bytes) + " B";
}

Suggestion suggestChange(const PlacementRun& run, const Placement::ResourceInventory& inventory,
                         const RefusalFigures& figures, const SystemSource& system) {
    if (!refusedByResolution(run)) {
        return noChange();
    }
    const Placement::DeploymentReport& report = run.result.deployment->report;
    if (issuesOnSeveralDevices(report.issues)) {
        return noChange();
    }
    ChangeSearch search(run.detail, inventory, figures.budgets, figures.assignments, system);
    if (std::optional<Suggestion> move = search.moveEngine(report.issues, false)) {
        return *move;
    }
    if (std::optional<Suggestion> reduce =
            search.reduceWorkload(report.issues, run.detail.resolution.first_fit.steps)) {
        return *reduce;
    }
    if (std::optional<Suggestion> move = search.moveEngine(report.issues, true)) {
        return *move;
    }
    if (std::optional<Suggestion> reserve =
            search.lowerReserve(run.detail.resolution.first_fit.steps)) {
        return *reserve;
    }
    return noChange();
}

RefusalFigures refusalFigures(const PlacementRun& run,
                              const Placement::ResourceInventory& inventory) {
    RefusalFigures figures;
    if (!refusedByResolution(run)) {
        return figures;
    }
    const Placement::DeploymentReport& report = run.result.deployment->report;
    const PlacementIR& ir = *run.detail.ir;
    const std::vector<Placement::FitStep>& steps = run.detail.resolution.first_fit.steps;
    if (ir.policy == Placement::PlacementPolicy::first_fit && report.budgets.empty()) {
        // First fit stopped before the preflight: account each engine where
        // it placed it, and each pinned engine where the file pins it.
        std::map<std::string_view, std::string_view, ByteLess> placed;
        for (const Placement::FitStep& step : steps) {
            if (step.device) {
                placed.try_emplace(step.engine, *step.device);
            }
        }
        PlacementIR accounted = ir;
        accounted.policy = Placement::PlacementPolicy::explicit_;
        for (Placement::LoweredEngine& engine : accounted.engines) {
            if (const auto found = placed.find(engine.id);
                !engine.device && found != placed.end()) {
                engine.device = std::string(found->second);
            }
        }
        Placement::DeploymentReport far =
            Placement::oomPreflight(accounted, inventory, run.detail.workload);
        figures.budgets = std::move(far.budgets);
        figures.assignments = std::move(far.assignments);
    } else {
        figures.budgets = report.budgets;
        figures.assignments = report.assignments;
    }
    for (const Placement::FitStep& step : steps) {
        if (!step.device && !step.pinned) {
            figures.unplaced.emplace_back(step.engine, step.peak);
        }
    }
    return figures;
}

std::optional<RefusedPlan> explainRefusal(const PlacementRun& run,
                                          const Placement::ResourceInventory& inventory,
                                          const SystemSource& system) {
    if (!refusedByResolution(run)) {
        return std::nullopt;
    }
    const std::vector<DeploymentIssue>& issues = run.result.deployment->report.issues;
    RefusedPlan plan;
    plan.figures = refusalFigures(run, inventory);
    addOverNotes(plan, issues, run.detail.resolution.first_fit.steps);
    plan.suggestion = suggestChange(run, inventory, plan.figures, system);
    if (!issues.empty()) {
        plan.notes.add(issues.front().path, issues.front().message, plan.suggestion.note);
    }
    return plan;
}

std::vector<CpuPlacement> cpuPlacements(const PlacementRun& run,
                                        const Placement::ResourceInventory& inventory,
                                        const SystemSource& system) {
    std::vector<CpuPlacement> found;
    if (!run.resolved() || !run.detail.ir ||
        run.detail.ir->policy != Placement::PlacementPolicy::first_fit) {
        return found;
    }
    const PlacementIR& ir = *run.detail.ir;
    std::map<std::string_view, const Placement::LoweredDevice*, ByteLess> devices;
    for (const Placement::LoweredDevice& device : ir.devices) {
        devices.try_emplace(device.id, &device);
    }
    // The CUDA devices that bound, in name order.
    std::vector<std::string_view> cuda;
    for (const DeviceBudget& budget : run.result.deployment->report.budgets) {
        const auto device = devices.find(budget.device);
        if (device != devices.end() && device->second->kind == Placement::DeviceKind::cuda) {
            cuda.push_back(budget.device);
        }
    }
    std::size_t tries = 0;
    for (const Placement::FitStep& step : run.detail.resolution.first_fit.steps) {
        const auto device = step.device ? devices.find(*step.device) : devices.end();
        if (step.pinned || device == devices.end() ||
            device->second->kind != Placement::DeviceKind::cpu) {
            continue;
        }
        const auto engine =
            std::find_if(ir.engines.begin(), ir.engines.end(),
                         [&step](const Placement::LoweredEngine& e) { return e.id == step.engine; });
        const std::vector<Estimation::WorkloadSpec>& specs = system.workloadSpecs();
        const auto spec = std::find_if(specs.begin(), specs.end(), [&step](const auto& stated) {
            return stated.engine == step.engine;
        });
        if (engine == ir.engines.end() || engine->kind != EngineClassCode::transformer ||
            spec == specs.end() || !std::holds_alternative<Estimation::ModelProfile>(spec->profile)) {
            continue;
        }
        for (const std::string_view target : cuda) {
            if (tries == kMoveTries) {
                return found;
            }
            ++tries;
            PlacementIR pinned = ir;
            pinned.engines[static_cast<std::size_t>(engine - ir.engines.begin())].device =
                std::string(target);
            if (!Placement::resolveDeployment(pinned, inventory, run.detail.workload).ir) {
                continue;
            }
            CpuPlacement placement{step.engine, *step.device, std::string(target), {}, {}, {}};
            placement.block = blockOf(run.detail.engineBlocks, step.engine);
            placement.edit = placement.block ? "device: " + placement.cuda + ";"
                                             : "engine " + placement.engine +
                                                   " { device: " + placement.cuda + "; }";
            placement.note = "first fit takes devices in name order; the plan resolves with it on '" +
                             placement.cuda + "': " +
                             (placement.block ? "write '" + placement.edit + "' in its engine block"
                                              : "add to the placement: " + placement.edit);
            found.push_back(std::move(placement));
            break;
        }
    }
    return found;
}

} // namespace Core::Companion

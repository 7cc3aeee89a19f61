// First-fit resolution. Pinned engines claim their devices first; the rest go
// largest peak first to the first slot, in device-name order, with room.
// Nothing moves once placed.
#include "deployment/first_fit.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/byte_order.h"
#include "common/checked_math.h"
#include "deployment/binding.h"
#include "deployment/inventory_text.h"
#include "deployment/preflight.h"
#include "deployment/workload_index.h"
#include "placement/ir_text.h"

namespace Core::Placement {
namespace {

using Estimation::WorkloadRequirement;

/// First fit's working account of one usable declared device.
struct FitSlot {
    std::string device;
    std::string physical_device;
    std::uint64_t capacity = 0; ///< usable memory minus reserve
    std::uint64_t used = 0;
};

struct Candidate {
    std::size_t engine = 0; ///< position in the working IR
    std::uint64_t peak = 0;
};

/// A max-tree over the slots' free bytes, so that "first slot with room"
/// costs log n instead of a scan of every slot per engine.
class FreeSpaceTree {
  public:
    explicit FreeSpaceTree(const std::vector<FitSlot>& slots) : count_(slots.size()) {
        while (leaves_ < count_) {
            leaves_ *= 2;
        }
        // Padding leaves hold 0; they can only win for a peak of 0, and then
        // slot 0 (a real slot whenever count_ > 0) is found first.
        free_.assign(2 * leaves_, 0);
        for (std::size_t i = 0; i < count_; ++i) {
            free_[leaves_ + i] = slots[i].capacity - slots[i].used;
        }
        for (std::size_t node = leaves_ - 1; node >= 1; --node) {
            free_[node] = std::max(free_[2 * node], free_[2 * node + 1]);
        }
    }

    /// The first slot, in slot order, with at least `peak` free bytes.
    [[nodiscard]] std::optional<std::size_t> firstWithRoom(std::uint64_t peak) const {
        if (count_ == 0 || free_[1] < peak) {
            return std::nullopt;
        }
        std::size_t node = 1;
        while (node < leaves_) {
            node = free_[2 * node] >= peak ? 2 * node : 2 * node + 1;
        }
        return node - leaves_;
    }

    void update(std::size_t slot, std::uint64_t free_bytes) {
        std::size_t node = leaves_ + slot;
        free_[node] = free_bytes;
        for (node /= 2; node >= 1; node /= 2) {
            free_[node] = std::max(free_[2 * node], free_[2 * node + 1]);
        }
    }

  private:
    std::size_t count_ = 0;
    std::size_t leaves_ = 1;
    std::vector<std::uint64_t> free_;
};

/// A slot for every declared device that binds with its
/// reserve, in device-name order.
std::vector<FitSlot> bindSlots(const PlacementIR& ir, const ResourceInventory& inventory,
                               std::vector<DeploymentIssue>& issues, IssueNotes* notes,
                               std::optional<DeviceProblems>& problems) {
    std::vector<FitSlot> slots;
    const std::vector<BoundDevice> boundDevices = bindDevices(ir.devices, inventory, issues, notes);
    if (notes != nullptr) {
        problems.emplace(ir.devices, boundDevices);
    }
    for (const BoundDevice& bound : boundDevices) {
        if (bound.usable_after_reserve) {
            slots.push_back(
                {bound.declared->id, bound.physical->id, *bound.usable_after_reserve, 0});
        }
    }
    std::sort(slots.begin(), slots.end(), [](const FitSlot& a, const FitSlot& b) {
        if (a.device != b.device) {
            return byteLess(a.device, b.device);
        }
        return byteLess(a.physical_device, b.physical_device);
    });
    if (slots.empty()) {
        const std::string_view message = "first_fit has no usable allowed device";
        issues.emplace_back(IssueSubject{IssueSubject::Kind::placement_devices, {}},
                            std::string(message));
        if (notes != nullptr) {
            notes->add("placement.devices", message,
                       "declare a device that the inventory has, with a reserve that fits");
            if (const std::string left = problems->leftOut(); !left.empty()) {
                notes->add("placement.devices", message,
                           "this follows from the devices left out above: " + left);
            }
        }
    }
    return slots;
}

/// Every engine with a requirement and a peak is a candidate; the rest are issues.
std::vector<Candidate> collectCandidates(const PlacementIR& ir,
                                         const std::vector<WorkloadRequirement>& requirements,
                                         std::vector<DeploymentIssue>& issues) {
    WorkloadIndex workload(requirements, issues);
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < ir.engines.size(); ++i) {
        const LoweredEngine& engine = ir.engines[i];
        const WorkloadRequirement* requirement = workload.claim(engine);
        if (requirement == nullptr) {
            continue;
        }
        if (const std::optional<std::uint64_t> peak = workload.peakOf(engine, *requirement)) {
            candidates.push_back({i, *peak});
        }
    }
    workload.reportUnclaimed();
    return candidates;
}

/// Pinned engines first, in engine-id order, so that they claim their
/// devices before any choice is made; then the largest peak, the more urgent
/// priority, the smaller engine id.
void orderCandidates(std::vector<Candidate>& candidates, const PlacementIR& ir) {
    std::sort(candidates.begin(), candidates.end(), [&ir](const Candidate& a, const Candidate& b) {
        const LoweredEngine& ea = ir.engines[a.engine];
        const LoweredEngine& eb = ir.engines[b.engine];
        const bool a_pinned = ea.device.has_value();
        const bool b_pinned = eb.device.has_value();
        if (a_pinned != b_pinned) {
            return a_pinned;
        }
        if (!a_pinned) {
            if (a.peak != b.peak) {
                return a.peak > b.peak;
            }
            if (ea.priority != eb.priority) {
                return ea.priority < eb.priority;
            }
        }
        if (ea.id != eb.id) {
            return byteLess(ea.id, eb.id);
        }
        // Only a hand-built IR repeats an engine id; keep it deterministic.
        return a.engine < b.engine;
    });
}

/// "'cpu0' 61864776, 'gpu0' 3154112128 bytes free": a step's devices.
std::string freeBytes(const FitStep& step) {
    std::string text;
    for (const auto& [device, free] : step.free_bytes) {
        text += text.empty() ? "'" : ", '";
        text += device + "' " + std::to_string(free);
    }
    text += " bytes free";
    if (step.more_devices > 0) {
        text += ", and " + std::to_string(step.more_devices) + " more devices";
    }
    return text;
}

/// Each candidate in order, unpinned ones on the first slot with room for the
/// whole peak. Nothing moves once placed.
void place(PlacementIR& working, const std::vector<Candidate>& candidates,
           std::vector<FitSlot>& slots, std::vector<DeploymentIssue>& issues,
           ResolutionDetail* detail, const DeviceProblems* problems) {
    // Computed once: what every engine that finds no room has in common.
    const std::string leftOut = problems != nullptr ? problems->leftOut() : std::string();
    std::map<std::string_view, std::size_t, ByteLess> slot_of; // views into the slots
    for (std::size_t i = 0; i < slots.size(); ++i) {
        slot_of.emplace(slots[i].device, i);
    }
    FreeSpaceTree free_space(slots);
    for (const Candidate& candidate : candidates) {
        LoweredEngine& engine = working.engines[candidate.engine];
        const std::uint64_t peak = candidate.peak;
        FitStep* step = nullptr;
        if (detail != nullptr) {
            step = &detail->first_fit.steps.emplace_back();
            step->engine = engine.id;
            step->peak = peak;
            step->pinned = engine.device.has_value();
        }
        // The devices that were in question when the engine did not fit, and
        // what they had free.
        const auto refuse = [&](std::string message, std::size_t first, std::size_t count) {
            issues.emplace_back(IssueSubject{IssueSubject::Kind::engine, engine.id},
                                std::move(message));
            if (step == nullptr) {
                return;
            }
            for (std::size_t i = first; i < first + count; ++i) {
                if (step->free_bytes.size() == kFitStepDevices) {
                    step->more_devices = first + count - i;
                    break;
                }
                step->free_bytes.emplace_back(slots[i].device, slots[i].capacity - slots[i].used);
            }
            if (count > 0) {
                detail->notes.add(issues.back().path, issues.back().message,
                                  "a peak of " + std::to_string(peak) + " bytes against " +
                                      freeBytes(*step) + " at that point of first fit");
            }
            // Not for a pinned device: its own note says what became of it.
            if (!leftOut.empty() && !engine.device) {
                detail->notes.add(issues.back().path, issues.back().message,
                                  "this may follow from the devices left out above: " + leftOut);
            }
        };
        std::size_t slot_index = 0;
        if (!engine.device) {
            const std::optional<std::size_t> found = free_space.firstWithRoom(peak);
            if (!found) {
                refuse("first_fit cannot place peak " + std::to_string(peak) +
                           " bytes on any allowed device",
                       0, slots.size());
                continue;
            }
            slot_index = *found;
            engine.device = slots[slot_index].device;
        } else {
            const auto found = slot_of.find(*engine.device);
            if (found == slot_of.end()) {
                refuse("pinned device is not a usable allowed device", 0, 0);
                if (detail != nullptr) {
                    detail->notes.add(issues.back().path, issues.back().message,
                                      problems->of(*engine.device)
                                          .value_or("'" + *engine.device +
                                                    "' is not declared, did not bind, or keeps "
                                                    "back more than it has"));
                }
                continue;
            }
            slot_index = found->second;
        }
        FitSlot& slot = slots[slot_index];
        const std::optional<std::uint64_t> used = checkedAdd(slot.used, peak);
        if (peak > slot.capacity - slot.used || !used) {
            refuse("pinned peak " + std::to_string(peak) + " bytes exceeds device headroom",
                   slot_index, 1);
            continue;
        }
        slot.used = *used;
        free_space.update(slot_index, slot.capacity - slot.used);
        if (step != nullptr) {
            step->device = slot.device;
            step->headroom = slot.capacity - slot.used;
        }
    }
}

} // namespace

DeploymentResult resolveDeployment(const PlacementIR& ir, const ResourceInventory& inventory,
                                   const std::vector<WorkloadRequirement>& requirements,
                                   ResolutionDetail* detail) {
    IssueNotes* notes = detail != nullptr ? &detail->notes : nullptr;
    DeploymentResult result;
    if (ir.policy != PlacementPolicy::first_fit) {
        result.report = oomPreflight(ir, inventory, requirements, notes);
        if (result.report.issues.empty()) {
            result.ir = ir;
        }
        return result;
    }

    PlacementIR working = ir;
    result.report.placement_hash = placementHash(ir);
    result.report.hardware_fingerprint = hardwareFingerprint(inventory);
    std::vector<DeploymentIssue>& issues = result.report.issues;

    std::optional<DeviceProblems> problems;
    std::vector<FitSlot> slots = bindSlots(working, inventory, issues, notes, problems);
    std::vector<Candidate> candidates = collectCandidates(working, requirements, issues);
    orderCandidates(candidates, working);
    place(working, candidates, slots, issues, detail, problems ? &*problems : nullptr);
    if (!issues.empty()) {
        sortIssues(issues);
        return result;
    }

    // The preflight checks the assigned placement as if it had been written explicit.
    PlacementIR assigned = working;
    assigned.policy = PlacementPolicy::explicit_;
    result.report = oomPreflight(assigned, inventory, requirements, notes);
    // The report names the placement as resolved: first_fit, engines placed.
    result.report.placement_hash = placementHash(working);
    if (result.report.issues.empty()) {
        result.ir = std::move(working);
    }
    return result;
}

} // namespace Core::Placement

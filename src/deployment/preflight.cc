// OOM preflight: bind devices, account every engine's peak, compare with
// usable memory. Every rule runs; nothing stops at the first issue.
#include "deployment/preflight.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "common/byte_order.h"
#include "common/checked_math.h"
#include "deployment/binding.h"
#include "deployment/inventory_text.h"
#include "deployment/workload_index.h"
#include "placement/ir_text.h"

namespace Core::Placement {

using Estimation::WorkloadRequirement;

namespace {

/// "requested by 'a' (10 bytes), 'b' (20 bytes)": the engines on a device
/// that asks for too much, the first few of them.
std::string peaksOn(const std::vector<EngineAssignment>& assignments, std::string_view device) {
    constexpr std::size_t kListed = 8;
    std::string text = "requested by";
    std::size_t listed = 0;
    std::size_t more = 0;
    for (const EngineAssignment& assignment : assignments) {
        if (assignment.device != device) {
            continue;
        }
        if (listed == kListed) {
            ++more;
            continue;
        }
        text += listed++ == 0 ? " '" : ", '";
        text += assignment.engine + "' (" + std::to_string(assignment.peak) + " bytes)";
    }
    if (more > 0) {
        text += " and " + std::to_string(more) + " more engines";
    }
    return text;
}

} // namespace

DeploymentReport oomPreflight(const PlacementIR& ir, const ResourceInventory& inventory,
                              const std::vector<WorkloadRequirement>& requirements,
                              IssueNotes* notes) {
    DeploymentReport report;
    std::vector<DeploymentIssue>& issues = report.issues;
    const auto issue = [&issues](IssueSubject::Kind kind, std::string_view name,
                                 std::string message) {
        issues.emplace_back(IssueSubject{kind, std::string(name)}, std::move(message));
    };

    report.placement_hash = placementHash(ir);
    report.hardware_fingerprint = hardwareFingerprint(inventory);

    if (ir.policy == PlacementPolicy::first_fit) {
        issue(IssueSubject::Kind::placement_policy, {},
              "P-05 preflight requires explicit assignments; first_fit belongs to P-06");
    }

    // Declared id -> position of its budget; the budget names the bound device.
    std::map<std::string_view, std::size_t, ByteLess> budget_of; // views into the IR
    const std::vector<BoundDevice> boundDevices = bindDevices(ir.devices, inventory, issues, notes);
    std::optional<DeviceProblems> problems;
    if (notes != nullptr) {
        problems.emplace(ir.devices, boundDevices);
    }
    for (const BoundDevice& bound : boundDevices) {
        DeviceBudget budget;
        budget.device = bound.declared->id;
        budget.physical_device = bound.physical->id;
        budget.total = bound.physical->total_bytes;
        budget.available = bound.physical->available_bytes;
        budget.reserve = bound.declared->reserve;
        // A reserve that does not fit leaves 0 usable; its engines still count.
        budget.usable = bound.usable_after_reserve.value_or(0);
        // A repeated declared id keeps its first budget as the one engines charge.
        budget_of.emplace(bound.declared->id, report.budgets.size());
        report.budgets.push_back(std::move(budget));
    }

    WorkloadIndex workload(requirements, issues);
    std::set<std::string_view, ByteLess> declared; // for notes only, built when first needed
    for (const LoweredEngine& engine : ir.engines) {
        const WorkloadRequirement* requirement = workload.claim(engine);
        if (requirement == nullptr) {
            continue;
        }
        // Where the engine runs is judged before what it needs.
        if (!engine.device) {
            const std::string_view message = "explicit engine has no device assignment";
            issue(IssueSubject::Kind::engine, engine.id, std::string(message));
            if (notes != nullptr) {
                notes->add(issues.back().path, message,
                           "name its device in its engine block, or let policy: first_fit place it");
            }
            continue;
        }
        const auto budget_index = budget_of.find(*engine.device);
        if (budget_index == budget_of.end()) {
            const std::string_view message = "assigned device is unresolved";
            issue(IssueSubject::Kind::engine, engine.id, std::string(message));
            if (notes != nullptr) {
                if (declared.empty()) {
                    for (const LoweredDevice& device : ir.devices) {
                        declared.insert(device.id);
                    }
                }
                notes->add(issues.back().path, message,
                           problems->of(*engine.device)
                               .value_or("'" + *engine.device + "' " +
                                         (declared.contains(*engine.device)
                                              ? "did not bind to the inventory"
                                              : "is not a declared device")));
            }
            continue;
        }
        const std::optional<std::uint64_t> peak = workload.peakOf(engine, *requirement);
        if (!peak) {
            continue;
        }
        DeviceBudget& budget = report.budgets[budget_index->second];
        report.assignments.push_back({engine.id, *engine.device, budget.physical_device, *peak});
        if (const auto sum = checkedAdd(budget.requested, *peak)) {
            budget.requested = *sum;
        } else {
            issue(IssueSubject::Kind::device, budget.device, "aggregate requested memory overflowed");
        }
    }
    workload.reportUnclaimed();

    for (DeviceBudget& budget : report.budgets) {
        if (budget.requested > budget.usable) {
            issue(IssueSubject::Kind::device, budget.device,
                  "OOM preflight: requested " + std::to_string(budget.requested) +
                      " bytes, usable " + std::to_string(budget.usable) +
                      " bytes after reserve " + std::to_string(budget.reserve));
            if (notes != nullptr) {
                notes->add(issues.back().path, issues.back().message,
                           peaksOn(report.assignments, budget.device));
                if (std::optional<std::string> reserve = problems->of(budget.device)) {
                    notes->add(issues.back().path, issues.back().message,
                               "this follows from the reserve: " + *reserve);
                }
            }
        } else {
            budget.headroom = budget.usable - budget.requested;
        }
    }

    std::stable_sort(report.assignments.begin(), report.assignments.end(),
                     [](const EngineAssignment& a, const EngineAssignment& b) {
                         return byteLess(a.engine, b.engine);
                     });
    std::stable_sort(report.budgets.begin(), report.budgets.end(),
                     [](const DeviceBudget& a, const DeviceBudget& b) {
                         return byteLess(a.device, b.device);
                     });
    sortIssues(issues);
    return report;
}

} // namespace Core::Placement

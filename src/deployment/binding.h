// Device binding for whole placements: the binding rule of findInventoryDevice,
// answered from an index so that many declared devices against a large
// inventory stay n log n. Internal to the deployment library.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/deployment.h"
#include "common/byte_order.h"
#include "deployment/inventory.h"
#include "placement/hints.h"
#include "placement/ir.h"

namespace Core::Placement {

class InventoryBinder {
  public:
    /// Keeps pointers into `inventory`, which must outlive the binder.
    explicit InventoryBinder(const ResourceInventory& inventory);

    /// Same answer as findInventoryDevice, or null.
    [[nodiscard]] const InventoryDevice* bind(const LoweredDevice& device) const;

  private:
    const InventoryDevice* first_cpu_ = nullptr;
    const InventoryDevice* first_unindexed_cuda_ = nullptr;
    std::map<std::uint32_t, const InventoryDevice*> first_cuda_by_index_;
};

/// A declared device that bound to an inventory device of its own.
struct BoundDevice {
    const LoweredDevice* declared = nullptr;
    const InventoryDevice* physical = nullptr;
    /// Usable memory minus the reserve; absent when the reserve does not fit.
    std::optional<std::uint64_t> usable_after_reserve;
};

/// Binds every declared device in order, as the preflight and first fit both
/// do: a device that binds nothing, or the physical device of an earlier
/// one, is reported and left out; a reserve that does not fit is reported
/// and the device kept. With `notes`, each issue gets the figures behind it.
/// Keeps pointers into both arguments.
[[nodiscard]] std::vector<BoundDevice> bindDevices(const std::vector<LoweredDevice>& devices,
                                                   const ResourceInventory& inventory,
                                                   std::vector<DeploymentIssue>& issues,
                                                   IssueNotes* notes = nullptr);

/// Why a device named by an engine cannot take it, for a note that reads the
/// same whatever the policy: it is not declared (with the block that would
/// declare it), did not bind to the inventory, or keeps back more than it
/// has. Built once per resolution; each question is a lookup.
class DeviceProblems {
  public:
    DeviceProblems(const std::vector<LoweredDevice>& declared, const std::vector<BoundDevice>& bound);
    /// Absent for a device that bound with room after its reserve.
    [[nodiscard]] std::optional<std::string> of(std::string_view device) const;
    /// The devices left out for a problem of their own, for a note on what
    /// follows from it: "'cpu0' (its reserve), 'gpu1' (did not bind)"; empty
    /// when none was.
    [[nodiscard]] std::string leftOut() const;

  private:
    std::set<std::string_view, ByteLess> declared_; // views into the IR
    std::map<std::string_view, std::string, ByteLess> problems_;
    std::map<std::string_view, std::string, ByteLess> short_;
};

/// What the inventory offers a declared device of `kind`, for a note: its
/// devices of that kind (the first few) with their indexes.
[[nodiscard]] std::string inventoryOffer(const ResourceInventory& inventory, DeviceKind kind);

/// Sorts by path, then message, bytewise.
void sortIssues(std::vector<DeploymentIssue>& issues);

} // namespace Core::Placement

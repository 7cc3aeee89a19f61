// Device binding for whole placements: the binding rule of findInventoryDevice,
// answered from an index so that many declared devices against a large
// inventory stay n log n. Internal to the deployment library.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "deployment/deployment.h"
#include "deployment/inventory.h"
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

/// Sorts by path, then message, bytewise.
void sortIssues(std::vector<DeploymentIssue>& issues);

} // namespace Core::Placement

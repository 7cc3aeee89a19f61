// Device binding and usable memory.
#include "deployment/deployment.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "common/byte_order.h"
#include "deployment/binding.h"

namespace Core::Placement {
namespace {

// Any kind other than cpu counts as cuda, as deviceKindName spells it.
bool isCpu(DeviceKind kind) { return kind == DeviceKind::cpu; }

bool matches(const LoweredDevice& declared, const InventoryDevice& candidate) {
    if (isCpu(declared.kind)) {
        return isCpu(candidate.kind);
    }
    return !isCpu(candidate.kind) && declared.index == candidate.index;
}

} // namespace

std::optional<InventoryDevice> findInventoryDevice(const LoweredDevice& device,
                                                   const ResourceInventory& inventory) {
    for (const InventoryDevice& candidate : inventory.devices) {
        if (matches(device, candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::uint64_t usableMemory(const InventoryDevice& device) {
    if (device.available_bytes) {
        return std::min(device.total_bytes, *device.available_bytes);
    }
    return device.total_bytes;
}

InventoryBinder::InventoryBinder(const ResourceInventory& inventory) {
    // Only the first match in inventory order may ever bind, so later
    // devices with the same key are ignored.
    for (const InventoryDevice& candidate : inventory.devices) {
        if (isCpu(candidate.kind)) {
            if (first_cpu_ == nullptr) {
                first_cpu_ = &candidate;
            }
        } else if (candidate.index) {
            first_cuda_by_index_.emplace(*candidate.index, &candidate);
        } else if (first_unindexed_cuda_ == nullptr) {
            first_unindexed_cuda_ = &candidate;
        }
    }
}

const InventoryDevice* InventoryBinder::bind(const LoweredDevice& device) const {
    if (isCpu(device.kind)) {
        return first_cpu_;
    }
    if (!device.index) {
        return first_unindexed_cuda_;
    }
    const auto found = first_cuda_by_index_.find(*device.index);
    return found == first_cuda_by_index_.end() ? nullptr : found->second;
}

std::vector<BoundDevice> bindDevices(const std::vector<LoweredDevice>& devices,
                                     const ResourceInventory& inventory,
                                     std::vector<DeploymentIssue>& issues) {
    const InventoryBinder binder(inventory);
    std::set<std::string_view, ByteLess> claimed; // physical ids, views into the inventory
    std::vector<BoundDevice> bound;
    for (const LoweredDevice& device : devices) {
        const InventoryDevice* physical = binder.bind(device);
        if (physical == nullptr) {
            issues.push_back(
                {"device." + device.id, "declared device is absent from resource inventory"});
            continue;
        }
        // Claimed even when the reserve below is rejected: a later alias must
        // not inherit the physical device.
        if (!claimed.insert(physical->id).second) {
            issues.push_back(
                {"device." + device.id, "multiple aliases bind the same physical device"});
            continue;
        }
        const std::uint64_t usable = usableMemory(*physical);
        std::optional<std::uint64_t> afterReserve;
        if (device.reserve > usable) {
            issues.push_back(
                {"device." + device.id, "external reserve exceeds currently usable memory"});
        } else {
            afterReserve = usable - device.reserve;
        }
        bound.push_back({&device, physical, afterReserve});
    }
    return bound;
}

void sortIssues(std::vector<DeploymentIssue>& issues) {
    std::stable_sort(issues.begin(), issues.end(),
                     [](const DeploymentIssue& a, const DeploymentIssue& b) {
                         if (a.path != b.path) {
                             return byteLess(a.path, b.path);
                         }
                         return byteLess(a.message, b.message);
                     });
}

} // namespace Core::Placement

// Device binding and usable memory.
#include "deployment/deployment.h"

#include <algorithm>
#include <map>
#include <string>
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

DeviceProblems::DeviceProblems(const std::vector<LoweredDevice>& declared,
                               const std::vector<BoundDevice>& bound) {
    std::map<std::string_view, const BoundDevice*, ByteLess> boundOf;
    for (const BoundDevice& device : bound) {
        boundOf.try_emplace(device.declared->id, &device);
    }
    for (const LoweredDevice& device : declared) {
        const auto found = boundOf.find(device.id);
        std::string quoted(1, '\'');
        quoted += device.id;
        quoted += '\'';
        if (found == boundOf.end()) {
            problems_.try_emplace(device.id, quoted + " did not bind to the inventory (see the "
                                                      "error at its device block)");
            short_.try_emplace(device.id, quoted + " (did not bind)");
        } else if (!found->second->usable_after_reserve) {
            const std::uint64_t usable = usableMemory(*found->second->physical);
            problems_.try_emplace(device.id, quoted + " keeps back more than it has: its reserve "
                                                      "is " +
                                                  std::to_string(device.reserve - usable) +
                                                  " bytes over the " + std::to_string(usable) +
                                                  " bytes usable");
            short_.try_emplace(device.id, quoted + " (its reserve)");
        }
    }
    for (const LoweredDevice& device : declared) {
        declared_.insert(device.id);
    }
}

std::optional<std::string> DeviceProblems::of(std::string_view device) const {
    if (!declared_.contains(device)) {
        std::string note(1, '\'');
        note += device;
        note += "' is not a declared device; to declare it: ";
        note += declarationFor(device);
        return note;
    }
    const auto found = problems_.find(device);
    if (found == problems_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::string DeviceProblems::leftOut() const {
    std::string text;
    for (const auto& [device, reason] : short_) {
        text += text.empty() ? "" : ", ";
        text += reason;
    }
    return text;
}

std::vector<BoundDevice> bindDevices(const std::vector<LoweredDevice>& devices,
                                     const ResourceInventory& inventory,
                                     std::vector<DeploymentIssue>& issues, IssueNotes* notes) {
    const InventoryBinder binder(inventory);
    // Physical id to the declared device that claimed it; views into both arguments.
    std::map<std::string_view, std::string_view, ByteLess> claimed;
    std::vector<BoundDevice> bound;
    for (const LoweredDevice& device : devices) {
        const IssueSubject subject{IssueSubject::Kind::device, device.id};
        const std::string path = subject.path();
        const InventoryDevice* physical = binder.bind(device);
        if (physical == nullptr) {
            const std::string_view message = "declared device is absent from resource inventory";
            issues.emplace_back(subject, std::string(message));
            if (notes != nullptr) {
                notes->add(path, message, inventoryOffer(inventory, device.kind));
            }
            continue;
        }
        // Claimed even when the reserve below is rejected: a later alias must
        // not inherit the physical device.
        const auto [claim, fresh] = claimed.try_emplace(physical->id, device.id);
        if (!fresh) {
            const std::string_view message = "multiple aliases bind the same physical device";
            issues.emplace_back(subject, std::string(message));
            if (notes != nullptr) {
                notes->add(path, message,
                           "'" + physical->id + "' is bound by '" + std::string(claim->second) +
                               "' already; declare each physical device once");
            }
            continue;
        }
        const std::uint64_t usable = usableMemory(*physical);
        std::optional<std::uint64_t> afterReserve;
        if (device.reserve > usable) {
            const std::string_view message = "external reserve exceeds currently usable memory";
            issues.emplace_back(subject, std::string(message));
            if (notes != nullptr) {
                notes->add(path, message,
                           "reserve " + std::to_string(device.reserve) + " bytes against " +
                               std::to_string(usable) + " bytes usable on '" + physical->id + "'");
            }
        } else {
            afterReserve = usable - device.reserve;
        }
        bound.push_back({&device, physical, afterReserve});
    }
    return bound;
}

std::string inventoryOffer(const ResourceInventory& inventory, DeviceKind kind) {
    constexpr std::size_t kListed = 8;
    std::string offer;
    std::size_t listed = 0;
    std::size_t more = 0;
    for (const InventoryDevice& device : inventory.devices) {
        if ((device.kind == DeviceKind::cpu) != (kind == DeviceKind::cpu)) {
            continue;
        }
        if (listed == kListed) {
            ++more;
            continue;
        }
        offer += listed++ == 0 ? "" : ", ";
        offer += "'" + device.id + "'";
        if (device.index) {
            offer += " (index " + std::to_string(*device.index) + ")";
        }
    }
    const std::string kindName(deviceKindName(kind));
    if (listed == 0) {
        return "the inventory has no " + kindName + " device";
    }
    if (more > 0) {
        offer += " and " + std::to_string(more) + " more";
    }
    return "the inventory's " + kindName + " devices: " + offer;
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

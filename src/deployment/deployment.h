// The records of a resolved deployment and the two rules that the preflight
// and first fit share: binding a declared device, and usable memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "deployment/inventory.h"
#include "placement/ir.h"

namespace Core::Placement {

/// One problem found by resolution; no source location, unlike PlacementIssue.
/// `path` is always `subject.path()`.
struct DeploymentIssue {
    std::string path;
    std::string message;
    IssueSubject subject;

    DeploymentIssue() = default;
    DeploymentIssue(IssueSubject about, std::string text)
        : path(about.path()), message(std::move(text)), subject(std::move(about)) {}
    /// An issue as it is printed, to compare a result with: its subject stays
    /// empty, and equality looks at the path and message alone.
    DeploymentIssue(std::string printedPath, std::string text)
        : path(std::move(printedPath)), message(std::move(text)) {}
    DeploymentIssue(const char* printedPath, const char* text)
        : DeploymentIssue(std::string(printedPath), std::string(text)) {}

    friend bool operator==(const DeploymentIssue& a, const DeploymentIssue& b) {
        return a.path == b.path && a.message == b.message;
    }
};

/// The memory account of one declared device that bound to the inventory.
struct DeviceBudget {
    std::string device;          ///< the declared device's id
    std::string physical_device; ///< id of the bound InventoryDevice
    std::uint64_t total = 0;
    std::optional<std::uint64_t> available;
    std::uint64_t reserve = 0;
    std::uint64_t usable = 0;    ///< usable memory minus reserve; 0 when the reserve does not fit
    std::uint64_t requested = 0; ///< sum of the peaks assigned to the device
    std::uint64_t headroom = 0;  ///< usable minus requested; 0 when the request does not fit

    friend bool operator==(const DeviceBudget&, const DeviceBudget&) = default;
};

struct EngineAssignment {
    std::string engine;
    std::string device;
    std::string physical_device;
    std::uint64_t peak = 0;

    friend bool operator==(const EngineAssignment&, const EngineAssignment&) = default;
};

struct DeploymentReport {
    std::uint64_t placement_hash = 0;
    std::uint64_t hardware_fingerprint = 0;
    std::vector<EngineAssignment> assignments; ///< sorted by engine
    std::vector<DeviceBudget> budgets;         ///< sorted by device
    std::vector<DeploymentIssue> issues;       ///< sorted by path, then message
};

/// `ir` is present exactly when the report has no issues; then every engine
/// in it has a device.
struct DeploymentResult {
    std::optional<PlacementIR> ir;
    DeploymentReport report;
};

/// The first inventory device, in inventory order, that the declared device
/// binds to: any cpu for a cpu; for a cuda, a cuda with an equal index, or one
/// without index when the declared device has none.
[[nodiscard]] std::optional<InventoryDevice> findInventoryDevice(const LoweredDevice& device,
                                                                 const ResourceInventory& inventory);

/// The smaller of total and available bytes; total when available is unknown.
[[nodiscard]] std::uint64_t usableMemory(const InventoryDevice& device);

} // namespace Core::Placement

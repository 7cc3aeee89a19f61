// The resource inventory: the machine a deployment is resolved against, and
// the portable fixture that stands in for a hardware probe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "placement/ir.h"

namespace Core::Placement {

enum class TransportKind : std::uint8_t {
    in_process = 0,
    windows_shared_memory = 1,
    cuda_peer = 2,
};

struct InventoryDevice {
    DeviceKind kind = DeviceKind::cpu;
    std::string id; ///< physical identity: equal ids are one device
    std::string name;
    std::uint64_t total_bytes = 0;
    std::optional<std::uint64_t> available_bytes;
    std::optional<std::uint32_t> index; ///< CUDA ordinal, compared by binding
    std::optional<std::uint32_t> compute_major;
    std::optional<std::uint32_t> compute_minor;
    std::vector<std::string> capabilities;

    friend bool operator==(const InventoryDevice&, const InventoryDevice&) = default;
};

struct PeerLink {
    std::string first;
    std::string second;
    bool enabled = false;

    friend bool operator==(const PeerLink&, const PeerLink&) = default;
};

struct ResourceInventory {
    std::string os;
    std::uint32_t logical_processors = 0;
    std::uint32_t numa_nodes = 0;
    std::uint64_t host_total = 0;
    std::optional<std::uint64_t> host_available; ///< not read by any computation
    std::optional<std::uint32_t> cuda_driver;
    std::vector<InventoryDevice> devices; ///< binding scans them in this order
    std::vector<PeerLink> peers;
    std::vector<TransportKind> transports; ///< may repeat a kind

    friend bool operator==(const ResourceInventory&, const ResourceInventory&) = default;
};

/// "in_process", "windows_shared_memory", "cuda_peer"; "" for any other value.
[[nodiscard]] std::string_view transportKindName(TransportKind kind);

/// A fixed inventory (one CPU, one CUDA GPU) so every machine resolves alike.
[[nodiscard]] ResourceInventory portableInventoryFixture();

} // namespace Core::Placement

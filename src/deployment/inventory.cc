// Transport spellings and the portable inventory fixture.
#include "deployment/inventory.h"

#include <utility>

namespace Core::Placement {

std::string_view transportKindName(TransportKind kind) {
    switch (kind) {
    case TransportKind::in_process:
        return "in_process";
    case TransportKind::windows_shared_memory:
        return "windows_shared_memory";
    case TransportKind::cuda_peer:
        return "cuda_peer";
    }
    return "";
}

ResourceInventory portableInventoryFixture() {
    constexpr std::uint64_t kFourGiB = 4294967296ULL;

    InventoryDevice cpu;
    cpu.kind = DeviceKind::cpu;
    cpu.id = "example-cpu";
    cpu.name = "Example CPU";
    cpu.total_bytes = kFourGiB;
    cpu.available_bytes = 402653184ULL;
    cpu.capabilities = {"host_memory"};

    InventoryDevice gpu;
    gpu.kind = DeviceKind::cuda;
    gpu.id = "example-gpu-0";
    gpu.name = "Example CUDA GPU";
    gpu.total_bytes = kFourGiB;
    gpu.available_bytes = 3221225472ULL;
    gpu.index = 0;
    gpu.compute_major = 8;
    gpu.compute_minor = 9;
    gpu.capabilities = {"fp32", "bf16_candidate"};

    ResourceInventory inventory;
    // The fixture names itself as the OS so a report can never pass for a probe.
    inventory.os = "portable-example-fixture";
    inventory.logical_processors = 8;
    inventory.numa_nodes = 1;
    inventory.host_total = kFourGiB;
    inventory.host_available = 402653184ULL;
    inventory.devices = {std::move(cpu), std::move(gpu)};
    inventory.transports = {TransportKind::in_process};
    return inventory;
}

} // namespace Core::Placement

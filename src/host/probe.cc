// The host probe: the kernel's identity, the topology, host memory and the
// CUDA devices, put together as one inventory.
#include "host/probe.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <system_error>
#include <utility>

#include "host/cuda_devices.h"
#include "host/memory.h"
#include "host/topology.h"

namespace Core::Host {
namespace {

std::string kernelIdentity(std::vector<std::string>& notes) {
    utsname names{};
    if (uname(&names) != 0) {
        notes.push_back("cannot read the kernel's name (" +
                        std::generic_category().message(errno) + "), so os is 'unknown'");
        return "unknown";
    }
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace

HostProbe probeHostInventory(const HostProbeOptions& options) {
    HostProbe probe;
    Placement::ResourceInventory& inventory = probe.inventory;
    inventory.os = options.os ? *options.os : kernelIdentity(probe.notes);

    const HostTopology topology = probeTopology(options.topology_xml, probe.notes);
    inventory.logical_processors = topology.logical_processors;
    inventory.numa_nodes = topology.numa_nodes;

    const HostMemory memory = probeHostMemory(options.root, probe.notes);
    inventory.host_total = memory.total;
    inventory.host_available = memory.available;

    Placement::InventoryDevice cpu;
    cpu.kind = Placement::DeviceKind::cpu;
    cpu.id = kHostCpuId;
    cpu.name = topology.cpu_model.value_or(std::string(kHostCpuFallbackName));
    cpu.total_bytes = memory.total;
    cpu.available_bytes = memory.available;
    cpu.capabilities = {"host_memory"};
    inventory.devices.push_back(std::move(cpu));

    CudaDevices cuda = probeCudaDevices(
        {options.gpu_library, options.cuda_visible_devices, options.cuda_device_order},
        probe.notes);
    inventory.cuda_driver = cuda.driver;
    inventory.devices.insert(inventory.devices.end(), std::make_move_iterator(cuda.devices.begin()),
                             std::make_move_iterator(cuda.devices.end()));
    inventory.peers = std::move(cuda.peers);

    inventory.transports = {Placement::TransportKind::in_process};
    if (std::any_of(inventory.peers.begin(), inventory.peers.end(),
                    [](const Placement::PeerLink& link) { return link.enabled; })) {
        inventory.transports.push_back(Placement::TransportKind::cuda_peer);
    }
    return probe;
}

HostProbeOptions hostProbeOptionsFromEnvironment() {
    HostProbeOptions options;
    options.cuda_visible_devices = environment("CUDA_VISIBLE_DEVICES");
    options.cuda_device_order = environment("CUDA_DEVICE_ORDER");
    return options;
}

} // namespace Core::Host

// The host probe: this machine's processors, memory and CUDA GPUs as a
// ResourceInventory, with a note for everything it could not see.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/inventory.h"

namespace Core::Host {

/// Where the probe looks. The defaults probe this machine; tests move every
/// root to fixtures.
struct HostProbeOptions {
    /// /proc and /sys/fs/cgroup are read under this folder.
    std::filesystem::path root = "/";
    /// An hwloc XML topology to use in place of this machine's. The process's
    /// CPU binding does not apply to it: its allowed cpuset says which
    /// processors are usable.
    std::optional<std::filesystem::path> topology_xml;
    /// The GPU management library (NVML), a name for dlopen or a path.
    std::string gpu_library = "libnvidia-ml.so.1";
    /// CUDA_VISIBLE_DEVICES and CUDA_DEVICE_ORDER as the engines will see
    /// them; absent means unset.
    std::optional<std::string> cuda_visible_devices;
    std::optional<std::string> cuda_device_order;
    /// The inventory's `os` in place of the kernel's name, release and machine.
    std::optional<std::string> os;
};

struct HostProbe {
    Placement::ResourceInventory inventory;
    /// One line for each thing that could not be probed, and why.
    std::vector<std::string> notes;
};

/// The id of the one CPU device, which stands for host memory.
inline constexpr std::string_view kHostCpuId = "host-cpu";
/// Its name when the topology gives no CPU model.
inline constexpr std::string_view kHostCpuFallbackName = "Host CPU";

/// Devices come host CPU first, then CUDA devices by index. Throws
/// std::runtime_error only when the host's memory cannot be read; a missing
/// library, file or failing call is a note.
[[nodiscard]] HostProbe probeHostInventory(const HostProbeOptions& options);

/// The default options with CUDA_VISIBLE_DEVICES and CUDA_DEVICE_ORDER taken
/// from this process's environment.
[[nodiscard]] HostProbeOptions hostProbeOptionsFromEnvironment();

} // namespace Core::Host

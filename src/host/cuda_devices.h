// CUDA devices, their peer links and the CUDA driver version, through the GPU
// management library (NVML) loaded at run time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "deployment/inventory.h"

namespace Core::Host {

struct CudaDevices {
    std::optional<std::uint32_t> driver; ///< e.g. 12040 for CUDA 12.4
    std::vector<Placement::InventoryDevice> devices; ///< by CUDA index
    std::vector<Placement::PeerLink> peers;          ///< every pair of listed devices
};

struct CudaProbeOptions {
    std::string library; ///< dlopen name or path of the management library
    std::optional<std::string> visible_devices; ///< CUDA_VISIBLE_DEVICES
    std::optional<std::string> device_order;    ///< CUDA_DEVICE_ORDER
};

/// Devices are numbered as the CUDA runtime does with CUDA_DEVICE_ORDER=PCI_BUS_ID,
/// after CUDA_VISIBLE_DEVICES. A device that fails a query is left out but keeps
/// its place in the numbering; when a device cannot even be identified (UUID,
/// PCI bus id) the numbering is unknown and no device is listed. Every gap is a
/// note; nothing here throws for a missing library or a failing call.
[[nodiscard]] CudaDevices probeCudaDevices(const CudaProbeOptions& options,
                                           std::vector<std::string>& notes);

/// "fp32" always, "fp16" from compute capability 5.3, "bf16_candidate" from 8.0.
[[nodiscard]] std::vector<std::string> cudaCapabilityTags(std::uint32_t major,
                                                          std::uint32_t minor);

} // namespace Core::Host

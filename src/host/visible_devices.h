// The GPUs that the CUDA runtime shows under CUDA_VISIBLE_DEVICES, in the
// order it numbers them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Core::Host {

struct VisibleDevices {
    /// Positions in the PCI-bus-ordered list, CUDA index 0 first.
    std::vector<std::size_t> positions;
    /// Whether the numbering depends on the order of all GPUs: the variable is
    /// unset, or an entry is an index rather than a UUID.
    bool uses_device_order = false;
    std::vector<std::string> notes;
};

/// `value` is CUDA_VISIBLE_DEVICES (absent: unset) and `uuids` the GPUs in PCI
/// bus order. Entries are separated by commas, each an index into `uuids` or a
/// "GPU-" UUID or unique prefix of one. As in CUDA, the first entry that names
/// no GPU ends the list (so does a repeated GPU or a MIG instance, which the
/// probe does not list), and an empty value shows no GPU.
[[nodiscard]] VisibleDevices visibleDevices(const std::optional<std::string>& value,
                                            const std::vector<std::string>& uuids);

} // namespace Core::Host

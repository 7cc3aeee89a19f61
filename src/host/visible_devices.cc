// CUDA_VISIBLE_DEVICES: indices, UUIDs and UUID prefixes, up to the first
// entry that names no GPU.
#include "host/visible_devices.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <system_error>

namespace Core::Host {
namespace {

/// The position an entry names, or absent when it names none (or several).
std::optional<std::size_t> findEntry(std::string_view entry, const std::vector<std::string>& uuids,
                                     bool& byIndex) {
    if (entry.starts_with("GPU-")) {
        std::optional<std::size_t> found;
        for (std::size_t i = 0; i < uuids.size(); ++i) {
            if (std::string_view(uuids[i]).starts_with(entry)) {
                if (found) {
                    return std::nullopt; // a prefix must name one GPU
                }
                found = i;
            }
        }
        return found;
    }
    std::size_t index = 0;
    const auto [end, error] = std::from_chars(entry.data(), entry.data() + entry.size(), index);
    if (entry.empty() || error != std::errc{} || end != entry.data() + entry.size() ||
        index >= uuids.size()) {
        return std::nullopt;
    }
    byIndex = true;
    return index;
}

} // namespace

VisibleDevices visibleDevices(const std::optional<std::string>& value,
                              const std::vector<std::string>& uuids) {
    VisibleDevices visible;
    if (!value) {
        visible.uses_device_order = true;
        for (std::size_t i = 0; i < uuids.size(); ++i) {
            visible.positions.push_back(i);
        }
        return visible;
    }

    if (uuids.empty()) {
        return visible;
    }
    std::string_view rest = *value;
    bool more = !rest.empty(); // an empty value lists nothing, so shows no GPU
    while (more) {
        const std::size_t comma = rest.find(',');
        const std::string_view entry = rest.substr(0, comma);
        more = comma != std::string_view::npos;
        rest = more ? rest.substr(comma + 1) : std::string_view{};
        const std::optional<std::size_t> position =
            entry.starts_with("MIG-") ? std::nullopt
                                      : findEntry(entry, uuids, visible.uses_device_order);
        if (!position || std::find(visible.positions.begin(), visible.positions.end(),
                                   *position) != visible.positions.end()) {
            visible.notes.push_back("CUDA_VISIBLE_DEVICES entry '" + std::string(entry) +
                                    "' names no GPU the probe lists; CUDA shows only the "
                                    "entries before it");
            break;
        }
        visible.positions.push_back(*position);
    }
    if (visible.positions.size() < uuids.size()) {
        visible.notes.push_back("CUDA_VISIBLE_DEVICES shows " +
                                std::to_string(visible.positions.size()) + " of the " +
                                std::to_string(uuids.size()) + " GPUs");
    }
    return visible;
}

} // namespace Core::Host

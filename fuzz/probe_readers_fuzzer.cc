// Fuzzes the host probe's readers of the kernel's texts: /proc/meminfo,
// /proc/self/mountinfo, /proc/self/cgroup, the memory control group's files,
// and CUDA_VISIBLE_DEVICES. The input is each of them in turn. Beyond not
// crashing: a group's levels are plain folder names, found only under a
// mount's root; a mount's paths are absolute; visible positions name
// distinct GPUs of the list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "host/proc_text.h"
#include "host/visible_devices.h"

namespace {

using namespace Core::Host;
using Core::Fuzz::require;

void checkLevels(std::string_view path, std::string_view root) {
    const std::optional<std::vector<std::string_view>> levels = cgroupLevelsBelow(path, root);
    if (!levels) {
        return;
    }
    require(root == "/" || path.starts_with(root), "cgroup levels",
            "levels found for a path not under the root");
    for (const std::string_view level : *levels) {
        require(!level.empty() && level != "." && level != ".." &&
                    level.find('/') == std::string_view::npos,
                "cgroup levels", "a level is not a folder name: " + std::string(level));
        require(level.data() >= path.data() && level.data() + level.size() <= path.data() + path.size(),
                "cgroup levels", "a level is not a piece of the path");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (const std::string_view key : {"MemTotal", "MemAvailable", "MemFree"}) {
        (void)meminfoBytes(text, key);
    }
    for (const std::string_view key : {"inactive_file", "total_inactive_file"}) {
        (void)memoryStatValue(text, key);
    }
    for (const bool v1 : {false, true}) {
        if (const std::optional<CgroupLimit> limit = parseCgroupLimit(text, v1)) {
            require(!limit->unlimited || limit->bytes == 0, "cgroup limit",
                    "an unlimited value with a figure");
        }
    }
    (void)parseCgroupNumber(text);

    const ProcCgroup groups = parseProcCgroup(text);
    std::vector<std::string> paths;
    for (const std::optional<std::string>& path : {groups.v1_memory, groups.v2}) {
        if (path) {
            require(path->starts_with('/'), "proc cgroup", "a group path that is not absolute");
            paths.push_back(*path);
        }
    }
    paths.push_back(text);
    for (const MountEntry& mount : parseMountinfo(text)) {
        require(mount.root.starts_with('/') && mount.mount_point.starts_with('/'), "mountinfo",
                "a mount whose paths are not absolute");
        for (const std::string& path : paths) {
            checkLevels(path, mount.root);
        }
    }
    checkLevels(text, "/");

    const std::vector<std::string> uuids = {"GPU-aaaa-0", "GPU-aaab-1", "GPU-b-2"};
    const VisibleDevices visible = visibleDevices(text, uuids);
    std::vector<std::size_t> positions = visible.positions;
    std::sort(positions.begin(), positions.end());
    require(std::adjacent_find(positions.begin(), positions.end()) == positions.end() &&
                (positions.empty() || positions.back() < uuids.size()),
            "visible devices", "a position repeats or names no GPU");
    return 0;
}

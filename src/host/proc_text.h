// The texts of /proc and the memory control group, parsed: pure functions of
// the text, so that they can be tested and fuzzed without a machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Host {

/// The value of "Key:   1234 kB" in /proc/meminfo, in bytes; absent when the
/// line is missing, malformed or too large for 64 bits.
[[nodiscard]] std::optional<std::uint64_t> meminfoBytes(std::string_view text,
                                                        std::string_view key);

/// The process's memory control group as /proc/self/cgroup names it: the
/// path of a v1 hierarchy with the "memory" controller, and the v2 path
/// ("0::"). A path that does not start with "/" is not a group's path.
struct ProcCgroup {
    std::optional<std::string> v1_memory;
    std::optional<std::string> v2;
};
[[nodiscard]] ProcCgroup parseProcCgroup(std::string_view text);

/// One line of /proc/self/mountinfo, with its octal escapes (\040 for a
/// blank) undone.
struct MountEntry {
    std::string root; ///< the folder of the file system mounted here
    std::string mount_point;
    std::string type;                       ///< "cgroup2", "cgroup", ...
    std::vector<std::string> super_options; ///< a v1 hierarchy's controllers are among them
};
/// Malformed lines are skipped.
[[nodiscard]] std::vector<MountEntry> parseMountinfo(std::string_view text);

/// A memory limit file's value: a number, or "max" (v2) for none, as
/// `unlimited` set. Absent when it is neither.
struct CgroupLimit {
    std::uint64_t bytes = 0;
    bool unlimited = false;
};
[[nodiscard]] std::optional<CgroupLimit> parseCgroupLimit(std::string_view text, bool v1);

/// A byte count alone on its line, blanks around it allowed (memory.current).
[[nodiscard]] std::optional<std::uint64_t> parseCgroupNumber(std::string_view text);

/// The value of "key N" in memory.stat; absent when the key is missing or
/// its value is not a number.
[[nodiscard]] std::optional<std::uint64_t> memoryStatValue(std::string_view text,
                                                           std::string_view key);

/// The folders of `path` (a group's path) below `root` (the mount's root
/// folder in the hierarchy): empty for the root itself, absent when the path
/// is not under it or climbs out with "." or "..".
[[nodiscard]] std::optional<std::vector<std::string_view>> cgroupLevelsBelow(std::string_view path,
                                                                             std::string_view root);

} // namespace Core::Host

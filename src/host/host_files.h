// Reading the small files the probe looks at without trusting what sits at
// their paths: a FIFO would block, a device would never end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace Core::Host {

struct HostFile {
    /// The whole content, when the path is a regular file that could be read.
    std::optional<std::string> text;
    /// Nothing is at the path (a file the kernel leaves out means "none").
    bool missing = false;
    /// Why there is no text, e.g. "it is not a regular file".
    std::string failure;
};

/// Reads `path` (relative to the open folder `directory`, or AT_FDCWD) when
/// it is a regular file of at most `maxBytes`, opened without blocking.
/// /proc's files give no size, so the bound is checked as they are read.
[[nodiscard]] HostFile readHostFile(int directory, const std::string& path, std::size_t maxBytes);

/// Every /proc and cgroup file the probe reads is a few lines; a megabyte is
/// far past any of them.
inline constexpr std::size_t kMaxHostFileBytes = std::size_t{1} << 20U;

/// Why `path` may not be handed to a library that reads it itself: absent
/// when it is a regular file of at most `maxBytes`.
[[nodiscard]] std::optional<std::string> notRegularFile(const std::string& path,
                                                        std::size_t maxBytes);

} // namespace Core::Host

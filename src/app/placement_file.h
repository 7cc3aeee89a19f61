// Reading the placement file whole, in binary mode.
#pragma once

#include <cstdint>
#include <string>

namespace Core::App {

/// The largest placement text accepted: one byte less would still let the
/// 32-bit column after the last byte fit, so no position can wrap.
inline constexpr std::uint64_t kMaxPlacementBytes = 0xFFFFFFFEULL;

/// The whole content of the file, bytes unchanged. Throws std::runtime_error
/// with "cannot open placement file: " + path when it cannot be opened or
/// read as a file (a directory, say), and "placement file is too large: " +
/// path past `maxBytes`.
[[nodiscard]] std::string readPlacementFile(const std::string& path,
                                            std::uint64_t maxBytes = kMaxPlacementBytes);

} // namespace Core::App

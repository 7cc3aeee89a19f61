// Reading the placement file whole, in binary mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Core::App {

/// The largest placement text accepted: one byte less would still let the
/// 32-bit column after the last byte fit, so no position can wrap.
inline constexpr std::uint64_t kMaxPlacementBytes = 0xFFFFFFFEULL;

/// A file's bytes in a buffer that the reads fill directly, with no copy and
/// no zero-filling first: on a large file either costs as much as the lexer.
class PlacementBytes {
  public:
    PlacementBytes() = default;
    PlacementBytes(std::unique_ptr<char[]> data, std::size_t size) noexcept
        : data_(std::move(data)), size_(size) {}

    [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }
    /// Frees the bytes, e.g. once a parse has copied out what it keeps.
    void release() noexcept {
        data_.reset();
        size_ = 0;
    }

  private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
};

/// The whole content of the file, bytes unchanged. Throws std::runtime_error
/// with "cannot open placement file: " + path when it cannot be opened or
/// read as a file (a directory, say), and "placement file is too large: " +
/// path past `maxBytes`: at once for a regular file, whose size is known,
/// after `maxBytes` + 1 bytes for a pipe or another stream.
[[nodiscard]] PlacementBytes readPlacementBytes(const std::string& path,
                                                std::uint64_t maxBytes = kMaxPlacementBytes);

/// readPlacementBytes as a string.
[[nodiscard]] std::string readPlacementFile(const std::string& path,
                                            std::uint64_t maxBytes = kMaxPlacementBytes);

} // namespace Core::App

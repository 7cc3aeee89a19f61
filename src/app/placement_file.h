// Reading the placement file whole, in binary mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "placement/parser.h"

namespace Core::App {

/// The largest placement text accepted (the parser's limit, so that a file
/// the reader takes is one the parser takes).
inline constexpr std::uint64_t kMaxPlacementBytes = Placement::kMaxPlacementBytes;

/// The file could not be opened or read as a file ("cannot open placement
/// file: " + path).
class PlacementFileError : public std::runtime_error {
  public:
    explicit PlacementFileError(const std::string& message, std::string reason = {})
        : std::runtime_error(message), reason_(std::move(reason)) {}
    /// Why, in words ("no such file", "permission denied"); empty when unknown.
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

  private:
    std::string reason_;
};

class PlacementBuffer;

/// Frees either kind of placement buffer: one from new[] (`mapped` 0) or a
/// mapping of `mapped` bytes, which large files are read into.
struct PlacementBufferFree {
    std::size_t mapped = 0;
    void operator()(char* data) const noexcept;
};

/// A file's bytes in a buffer that the reads fill directly, with no copy and
/// no zero-filling first: on a large file either costs as much as the lexer.
class PlacementBytes {
  public:
    PlacementBytes() = default;
    PlacementBytes(std::unique_ptr<char[]> data, std::size_t size) noexcept
        : data_(data.release(), PlacementBufferFree{}), size_(size) {}

    [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }
    /// Frees the bytes, e.g. once a parse has copied out what it keeps.
    void release() noexcept {
        data_.reset();
        size_ = 0;
    }

  private:
    friend class PlacementBuffer;
    PlacementBytes(char* mapped, std::size_t length, std::size_t size) noexcept
        : data_(mapped, PlacementBufferFree{length}), size_(size) {}

    std::unique_ptr<char[], PlacementBufferFree> data_;
    std::size_t size_ = 0;
};

/// The whole content of the file, bytes unchanged. Throws PlacementFileError
/// with "cannot open placement file: " + path when it cannot be opened or
/// read as a file (a directory, say), and Placement::PlacementTooLarge
/// ("placement file is too large: " + path) past `maxBytes`: at once for a
/// regular file, whose size is known, after `maxBytes` + 1 bytes for a pipe
/// or another stream.
[[nodiscard]] PlacementBytes readPlacementBytes(const std::string& path,
                                                std::uint64_t maxBytes = kMaxPlacementBytes);

/// readPlacementBytes as a string.
[[nodiscard]] std::string readPlacementFile(const std::string& path,
                                            std::uint64_t maxBytes = kMaxPlacementBytes);

} // namespace Core::App

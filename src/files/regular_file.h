// Opening and reading the files the companion's readers take (system files,
// model configs, checkpoint shards, inventory files): opened without
// blocking, so that a FIFO put where a file was cannot stall a read, and read
// only when the descriptor is a regular file, up to a bound, with the reason
// in words when they cannot be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace Core::Files {

/// "no such file", "permission denied", "a loop of symbolic links", ...: an
/// errno value in the words the diagnostics use.
[[nodiscard]] std::string reasonOf(int error);

/// An open regular file; closed when it goes.
class RegularFile {
  public:
    /// The file at `path`, or why it cannot be read, in the words of a
    /// note: "no such file", "permission denied", "it is a directory", "it is
    /// not a regular file but a FIFO" (a socket, a device), ...
    [[nodiscard]] static std::variant<RegularFile, std::string> open(const std::string& path);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    /// The size when it was opened.
    [[nodiscard]] std::uint64_t size() const noexcept { return size_; }

    /// Exactly `count` bytes from `offset` into `into`, or why not ("cannot
    /// read: REASON", "the file ended while it was read").
    [[nodiscard]] std::optional<std::string> readAt(std::uint64_t offset, char* into,
                                                    std::size_t count) const;

  private:
    RegularFile(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

/// A regular file's bytes, or why they cannot be had; `bytes` is absent
/// exactly when `reason` says why.
struct FileBytes {
    std::optional<std::string> bytes;
    std::string reason;
};

/// The whole file when it holds at most `maxBytes`; past that, the reason
/// "it is larger than MAX bytes". A file that changes size while it is read
/// is read up to the size it had when opened.
[[nodiscard]] FileBytes readRegularFile(const std::string& path, std::uint64_t maxBytes);

} // namespace Core::Files

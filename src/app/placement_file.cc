// Reads a placement file whole: a regular file in reads sized by the file,
// pipes and other streams in growing chunks until their end.
#include "app/placement_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

namespace Core::App {
namespace {

// Below this a buffer comes from the heap; above it from a mapping advised
// for huge pages. Faulting in a fresh buffer 4 KiB at a time costs more than
// lexing it: a 100 MiB file takes 25,600 faults, a huge-page one 50.
constexpr std::size_t kMappedFrom = std::size_t{1} << 20U;
constexpr std::size_t kHugePage = std::size_t{2} << 20U;
constexpr std::size_t kStreamChunk = std::size_t{64} * 1024;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() { ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }

  private:
    int fd_;
};

[[noreturn]] void cannotOpen(const std::string& path) {
    const int error = errno;
    std::string reason;
    switch (error) {
    case ENOENT:
        reason = "no such file";
        break;
    case EACCES:
    case EPERM:
        reason = "permission denied";
        break;
    case EISDIR:
        reason = "it is a directory";
        break;
    case ELOOP:
        reason = "a loop of symbolic links";
        break;
    case ENOTDIR:
        reason = "a part of the path is not a directory";
        break;
    default:
        reason = std::error_code(error, std::generic_category()).message();
        break;
    }
    throw PlacementFileError("cannot open placement file: " + path, std::move(reason));
}

} // namespace

void PlacementBufferFree::operator()(char* data) const noexcept {
    if (mapped == 0) {
        delete[] data;
    } else {
        ::munmap(data, mapped);
    }
}

/// A buffer that grows as the reads need, handed over as PlacementBytes.
class PlacementBuffer {
  public:
    [[nodiscard]] char* data() const noexcept { return bytes_.data_.get(); }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

    /// Room for `capacity` bytes, keeping the first `used`.
    void grow(std::size_t capacity, std::size_t used) {
        PlacementBytes larger = allocate(capacity);
        if (used > 0) {
            std::memcpy(larger.data_.get(), data(), used);
        }
        bytes_ = std::move(larger);
        capacity_ = capacity;
    }

    [[nodiscard]] PlacementBytes take(std::size_t size) && noexcept {
        bytes_.size_ = size;
        return std::move(bytes_);
    }

  private:
    static PlacementBytes allocate(std::size_t capacity) {
        if (capacity < kMappedFrom) {
            return {std::make_unique_for_overwrite<char[]>(capacity), 0};
        }
        // Whole huge pages, and one more to align the start to one: without
        // that alignment the kernel cannot back the buffer with huge pages.
        const std::size_t length = (capacity + kHugePage - 1) / kHugePage * kHugePage;
        void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) {
            throw std::bad_alloc();
        }
        auto* start = static_cast<char*>(raw);
        const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(start) % kHugePage;
        const std::size_t head = misalignment == 0 ? 0 : kHugePage - misalignment;
        if (head > 0) {
            ::munmap(start, head);
        }
        ::munmap(start + head + length, kHugePage - head);
        char* aligned = start + head;
        // Both are advice: a kernel without huge pages or without
        // MADV_POPULATE_WRITE (before 5.14) faults the pages in as they are read.
        (void)::madvise(aligned, length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        (void)::madvise(aligned, length, MADV_POPULATE_WRITE);
#endif
        return {aligned, length, 0};
    }

    PlacementBytes bytes_;
    std::size_t capacity_ = 0;
};

PlacementBytes readPlacementBytes(const std::string& path, std::uint64_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        cannotOpen(path);
    }
    const FileDescriptor file(fd);
    // A regular file's size is known before reading, so one over the limit is
    // refused without reading it. For a pipe or a process substitution the
    // size is 0 or unknown, and for a file that changes while it is read only
    // a hint: the reads decide.
    struct stat status {};
    const bool sized = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const auto size = static_cast<std::uint64_t>(sized ? status.st_size : 0);
    if (size > maxBytes) {
        throw Placement::PlacementTooLarge(path);
    }
    // One byte past the limit tells "too large"; a limit at the top of the
    // range needs no such byte, and no buffer grows past what memory can address.
    const std::uint64_t limit = std::min<std::uint64_t>(
        maxBytes == std::numeric_limits<std::uint64_t>::max() ? maxBytes : maxBytes + 1,
        std::numeric_limits<std::size_t>::max());

    // One byte more than the size, so that the end of the file is seen in the same read.
    PlacementBuffer buffer;
    buffer.grow(static_cast<std::size_t>(
                    std::min<std::uint64_t>(size > 0 ? size + 1 : kStreamChunk, limit)),
                0);
    std::size_t used = 0;
    while (used < limit) {
        if (used == buffer.capacity()) {
            // A stream, or a file that grew: double, as far as the limit.
            buffer.grow(static_cast<std::size_t>(
                            std::min<std::uint64_t>(2 * std::uint64_t{used}, limit)),
                        used);
        }
        const ::ssize_t count = ::read(fd, buffer.data() + used, buffer.capacity() - used);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            cannotOpen(path); // a directory opens but cannot be read as a file
        }
        if (count == 0) {
            break;
        }
        used += static_cast<std::size_t>(count);
    }
    if (used > maxBytes) {
        throw Placement::PlacementTooLarge(path);
    }
    return std::move(buffer).take(used);
}

std::string readPlacementFile(const std::string& path, std::uint64_t maxBytes) {
    return std::string(readPlacementBytes(path, maxBytes).view());
}

} // namespace Core::App

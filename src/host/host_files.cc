// Regular files only, opened without blocking and read up to a bound.
#include "host/host_files.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace Core::Host {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }

  private:
    int fd_;
};

std::string errorText(int error) {
    return std::generic_category().message(error);
}

std::string tooLarge(std::size_t maxBytes) {
    return "it is larger than " + std::to_string(maxBytes) + " bytes";
}

/// The checks before a read: it opens, without blocking on a FIFO or taking
/// a terminal, and is a regular file no larger than the bound says.
std::optional<std::string> openRegular(int directory, const std::string& path, std::size_t maxBytes,
                                       int& fd, bool& missing) {
    fd = ::openat(directory, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        missing = errno == ENOENT;
        return errorText(errno);
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return errorText(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return std::string("it is not a regular file");
    }
    if (static_cast<std::uint64_t>(status.st_size) > maxBytes) {
        return tooLarge(maxBytes);
    }
    return std::nullopt;
}

} // namespace

HostFile readHostFile(int directory, const std::string& path, std::size_t maxBytes) {
    HostFile file;
    int fd = -1;
    const std::optional<std::string> refused =
        openRegular(directory, path, maxBytes, fd, file.missing);
    const Descriptor descriptor(fd);
    if (refused) {
        file.failure = *refused;
        return file;
    }
    std::string text;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ::ssize_t count = ::read(descriptor.get(), chunk.data(), chunk.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            file.failure = errorText(errno);
            return file;
        }
        if (count == 0) {
            break;
        }
        text.append(chunk.data(), static_cast<std::size_t>(count));
        if (text.size() > maxBytes) {
            file.failure = tooLarge(maxBytes);
            return file;
        }
    }
    file.text = std::move(text);
    return file;
}

std::optional<std::string> notRegularFile(const std::string& path, std::size_t maxBytes) {
    int fd = -1;
    bool missing = false;
    std::optional<std::string> refused = openRegular(AT_FDCWD, path, maxBytes, fd, missing);
    const Descriptor descriptor(fd);
    return refused;
}

} // namespace Core::Host

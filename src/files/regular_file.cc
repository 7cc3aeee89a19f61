// POSIX descriptors: open with O_NONBLOCK (a FIFO's open would otherwise wait
// for a writer), fstat the descriptor rather than the path (the path may
// change between the two), pread until done.
#include "files/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace Core::Files {

std::string reasonOf(int error) {
    switch (error) {
    case ENOENT:
        return "no such file";
    case EACCES:
    case EPERM:
        return "permission denied";
    case ELOOP:
        return "a loop of symbolic links";
    case ENOTDIR:
        return "a part of the path is not a folder";
    default:
        break;
    }
    std::string text = std::generic_category().message(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

std::variant<RegularFile, std::string> RegularFile::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return std::string("the path holds a NUL byte");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return reasonOf(errno);
    }
    RegularFile file(fd, 0);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return reasonOf(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return std::string("it is a directory");
    }
    if (!S_ISREG(status.st_mode)) {
        return std::string("it is not a regular file but ") +
               (S_ISFIFO(status.st_mode)   ? "a FIFO"
                : S_ISSOCK(status.st_mode) ? "a socket"
                                           : "a device");
    }
    file.size_ = static_cast<std::uint64_t>(status.st_size);
    return file;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::optional<std::string> RegularFile::readAt(std::uint64_t offset, char* into,
                                               std::size_t count) const {
    std::size_t done = 0;
    while (done < count) {
        const ::ssize_t got =
            ::pread(fd_, into + done, count - done, static_cast<::off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return "cannot read: " + reasonOf(errno);
        }
        if (got == 0) {
            return std::string("the file ended while it was read");
        }
        done += static_cast<std::size_t>(got);
    }
    return std::nullopt;
}

FileBytes readRegularFile(const std::string& path, std::uint64_t maxBytes) {
    std::variant<RegularFile, std::string> opened = RegularFile::open(path);
    if (std::string* reason = std::get_if<std::string>(&opened)) {
        return {std::nullopt, std::move(*reason)};
    }
    const RegularFile& file = std::get<RegularFile>(opened);
    if (file.size() > maxBytes) {
        return {std::nullopt, "it is larger than " + std::to_string(maxBytes) + " bytes"};
    }
    std::string bytes(static_cast<std::size_t>(file.size()), '\0');
    if (std::optional<std::string> failed = file.readAt(0, bytes.data(), bytes.size())) {
        return {std::nullopt, std::move(*failed)};
    }
    return {std::move(bytes), {}};
}

} // namespace Core::Files

// Reads a placement file whole: a regular file in one read sized by the file,
// pipes and other streams in growing chunks until their end.
#include "app/placement_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace Core::App {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

[[noreturn]] void cannotOpen(const std::string& path) {
    throw std::runtime_error("cannot open placement file: " + path);
}

[[noreturn]] void tooLarge(const std::string& path) {
    throw std::runtime_error("placement file is too large: " + path);
}

} // namespace

PlacementBytes readPlacementBytes(const std::string& path, std::uint64_t maxBytes) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        cannotOpen(path);
    }
    // A regular file's size is known before reading, so one over the limit is
    // refused without reading it. For a pipe or a process substitution the
    // size is 0 or unknown and only a hint.
    std::error_code sizeUnknown;
    const std::uintmax_t size = std::filesystem::file_size(path, sizeUnknown);
    if (!sizeUnknown && size > maxBytes) {
        tooLarge(path);
    }
    const std::uint64_t limit = maxBytes + 1; // one byte past the limit tells "too large"

    // One byte more than the size, so that the end of the file is seen in the same read.
    std::size_t capacity = std::size_t{64} * 1024;
    if (!sizeUnknown && size > 0) {
        capacity = static_cast<std::size_t>(std::min<std::uint64_t>(size + 1, limit));
    }
    std::unique_ptr<char[]> data = std::make_unique_for_overwrite<char[]>(capacity);
    std::size_t used = 0;
    while (used < limit) {
        if (used == capacity) {
            // A stream, or a file that grew: double, as far as the limit.
            const auto larger = static_cast<std::size_t>(
                std::min<std::uint64_t>(2 * std::uint64_t{capacity}, limit));
            std::unique_ptr<char[]> grown = std::make_unique_for_overwrite<char[]>(larger);
            std::memcpy(grown.get(), data.get(), used);
            data = std::move(grown);
            capacity = larger;
        }
        used += std::fread(data.get() + used, 1, capacity - used, file.get());
        if (used < capacity) { // a short read: the end, or an error
            if (std::ferror(file.get()) != 0) {
                cannotOpen(path); // a directory opens but cannot be read as a file
            }
            break;
        }
    }
    if (used > maxBytes) {
        tooLarge(path);
    }
    return {std::move(data), used};
}

std::string readPlacementFile(const std::string& path, std::uint64_t maxBytes) {
    return std::string(readPlacementBytes(path, maxBytes).view());
}

} // namespace Core::App

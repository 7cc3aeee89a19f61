// Reads a placement file whole: regular files in one read sized by the file,
// pipes and other streams in growing chunks until their end.
#include "app/placement_file.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
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

} // namespace

std::string readPlacementFile(const std::string& path, std::uint64_t maxBytes) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        cannotOpen(path);
    }
    // The size is only a hint: pipes and process substitutions report 0.
    std::error_code ignored;
    const std::uintmax_t hint = std::filesystem::file_size(path, ignored);
    const std::uint64_t limit = maxBytes + 1; // one byte past the limit tells "too large"

    std::string text;
    std::size_t chunk = std::size_t{64} * 1024;
    if (!ignored && hint > 0) {
        // One byte more than the size, so the end of the file is seen in the same read.
        chunk = static_cast<std::size_t>(std::min<std::uintmax_t>(hint, limit) + 1);
    }
    while (text.size() < limit) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk, limit - text.size()));
        const std::size_t used = text.size();
        text.resize(used + wanted);
        const std::size_t got = std::fread(text.data() + used, 1, wanted, file.get());
        text.resize(used + got);
        if (got < wanted) {
            if (std::ferror(file.get()) != 0) {
                cannotOpen(path); // a directory opens but cannot be read as a file
            }
            break;
        }
        chunk = std::max<std::size_t>(chunk, text.size()); // doubles growth for streams
    }
    if (text.size() > maxBytes) {
        throw std::runtime_error("placement file is too large: " + path);
    }
    return text;
}

} // namespace Core::App

// A temporary folder that stands for / under the probe's root: each test
// writes the few /proc and cgroup files its case needs.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Core::Host::testing {

class FixtureTree {
  public:
    FixtureTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "talvex-host-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a fixture folder");
        }
        root_ = pattern;
    }
    ~FixtureTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;
    FixtureTree(FixtureTree&&) = delete;
    FixtureTree& operator=(FixtureTree&&) = delete;

    /// Writes `content` at `relative` (e.g. "proc/meminfo"), creating folders.
    void write(const std::string& relative, std::string_view content) const {
        const std::filesystem::path path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    void write(const std::vector<std::pair<std::string, std::string>>& files) const {
        for (const auto& [relative, content] : files) {
            write(relative, content);
        }
    }

    /// A FIFO at `relative`: a probe that opened it for reading without
    /// care would wait for a writer for ever.
    void fifo(const std::string& relative) const {
        const std::filesystem::path path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        if (mkfifo(path.c_str(), 0600) != 0) {
            throw std::runtime_error("cannot make a FIFO");
        }
    }

    /// A folder at `relative`, where a file is expected.
    void folder(const std::string& relative) const {
        std::filesystem::create_directories(root_ / relative);
    }

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }

  private:
    std::filesystem::path root_;
};

} // namespace Core::Host::testing

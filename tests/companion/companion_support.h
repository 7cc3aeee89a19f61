// Running the companion command in-process, for its tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "companion/companion.h"

namespace Core::Companion::testing {

struct Outcome {
    int status = 0;
    std::string out;
    std::string err;
};

/// A probe that cannot see this machine's GPUs, so that no test depends on them.
inline Host::HostProbeOptions noGpuProbe() {
    Host::HostProbeOptions options;
    options.gpu_library = "libtalvex-no-such-library.so";
    return options;
}

inline Outcome runCommand(const std::vector<std::string>& args,
                          const Host::HostProbeOptions& probe = noGpuProbe()) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = run(args, out, err, probe);
    return {status, out.str(), err.str()};
}

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

/// Every placement file of the tree's examples and end-to-end cases, as
/// paths relative to the project root.
inline std::vector<std::string> placementFiles() {
    std::vector<std::string> files;
    for (const char* folder : {"examples", "tests/app/cases", "tests/companion/cases"}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() == ".cplace") {
                files.push_back(entry.path().string());
            }
        }
    }
    return files;
}

} // namespace Core::Companion::testing

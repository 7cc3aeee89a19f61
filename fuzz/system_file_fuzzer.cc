// Fuzzes the system file reader: the input is a system file and, after a
// line "%%config.json", the model config that every transformer's `config`
// names. Reading never throws on content; every finding of the file stands on
// one of its lines; a file that reads has a hash, a check and either its
// requirements or the one estimate exception; and reading the same text
// again gives the same records and findings.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "orchestration/canonical_bytes.h"
#include "system_file/system_file.h"

namespace {

using Core::Fuzz::require;
using Core::SystemFile::Finding;
using Core::SystemFile::LoadedSystem;

constexpr std::string_view kSeparator = "\n%%config.json\n";
constexpr std::string_view kFile = "fuzz/system.toml";

LoadedSystem read(std::string_view text, std::string_view config) {
    return Core::SystemFile::parseSystemText(
        text, std::string(kFile),
        [config](const std::string& path) -> std::string {
            // An absolute path names itself; any other is read beside the system file.
            require(path.starts_with("fuzz/") || path.starts_with("/"),
                    "a relative config path resolved outside the file's folder", path);
            if (path.find("missing") != std::string::npos) {
                throw std::runtime_error("no such file");
            }
            return std::string(config);
        },
        // A checkpoint folder's headers are fuzzed on their own; here every
        // folder holds the same weights, or none.
        [](const std::string& folder) {
            require(folder.starts_with("fuzz/") || folder.starts_with("/"),
                    "a relative checkpoint path resolved outside the file's folder", folder);
            Core::SystemFile::CheckpointResult result;
            if (folder.find("missing") != std::string::npos) {
                result.error = {"no such file", folder, 0, 0};
                return result;
            }
            result.weights = Core::SystemFile::CheckpointWeights{1000, 500, 2, 1, {}};
            return result;
        });
}

std::size_t lineCount(std::string_view text) {
    std::size_t lines = 1;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

void checkFinding(const Finding& finding, std::string_view text, std::string_view config) {
    require(!finding.message.empty(), "a finding without a message", finding.path);
    if (finding.location.line == 0) {
        require(finding.message.starts_with("cannot open"), "a finding without a position",
                finding.message);
        return;
    }
    require(finding.location.column >= 1, "a finding at column 0", finding.message);
    const std::string_view within = finding.location.file == kFile ? text : config;
    const std::string& file = finding.location.file.str();
    require(file == kFile || file.starts_with("fuzz/") || file.starts_with("/"),
            "a finding in a file that was not read", file);
    require(finding.location.line <= lineCount(within), "a finding past the last line",
            finding.message + " at line " + std::to_string(finding.location.line));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find(kSeparator);
    const std::string_view text = input.substr(0, split);
    const std::string_view config =
        split == std::string_view::npos ? std::string_view("{}") : input.substr(split + kSeparator.size());

    const LoadedSystem loaded = read(text, config);
    for (const Finding& finding : loaded.findings) {
        checkFinding(finding, text, config);
    }
    if (!loaded.readable()) {
        require(loaded.workloads.empty() || !loaded.findings.empty(),
                "an unreadable file without a finding", std::string(text.substr(0, 200)));
        return 0;
    }
    const std::vector<Finding> problems = Core::SystemFile::checkSystem(loaded);
    for (const Finding& finding : problems) {
        checkFinding(finding, text, config);
    }
    (void)Core::Orchestration::systemHash(loaded.system);
    try {
        (void)Core::SystemFile::workloadRequirements(loaded);
    } catch (const std::runtime_error& error) {
        require(std::string_view(error.what()) == "resource estimate is unknown",
                "an estimate failed with another message", error.what());
        bool estimateProblem = false;
        for (const Finding& finding : problems) {
            estimateProblem = estimateProblem || finding.path.ends_with(".workload");
        }
        require(estimateProblem, "an estimate failed that check did not report",
                std::string(text.substr(0, 200)));
    }

    const LoadedSystem again = read(text, config);
    require(again.findings == loaded.findings, "reading twice gave other findings",
            std::string(text.substr(0, 200)));
    require(Core::Orchestration::canonicalOrchestrationBytes(again.system) ==
                Core::Orchestration::canonicalOrchestrationBytes(loaded.system),
            "reading twice gave other records", std::string(text.substr(0, 200)));
    return 0;
}

// A composite system written as a TOML file: the orchestration graph's
// records, each with where it was written, and the workload of each engine,
// a transformer's figures optionally read from the model's own config.json.
// Reading never throws on bad content: every problem is a finding at its
// position, and a file with a reading error yields no system to resolve.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/source_location.h"
#include "estimation/estimate.h"
#include "estimation/estimators.h"
#include "orchestration/system_spec.h"
#include "system_file/safetensors.h"

namespace Core::SystemFile {

enum class FindingKind : std::uint8_t { error, warning };

/// One problem of a system file or of a model config it names. Lines and
/// columns count from 1 as toml++ gives them (columns in characters); a
/// finding without a position has line 0.
struct Finding {
    FindingKind kind = FindingKind::error;
    std::string message;
    std::string path; ///< the element a rule names ("engine.x"); empty for a reading problem
    SourceLocation location;
    std::vector<std::string> notes;

    friend bool operator==(const Finding&, const Finding&) = default;
};

/// An engine's workload as the file states it.
struct EngineWorkload {
    Estimation::WorkloadSpec spec;
    SourceLocation location; ///< the workload table
    /// The model config a transformer's figures came from, as written.
    std::optional<std::string> model_config;
    /// The checkpoint folder a transformer's figures and weights came from, as written.
    std::optional<std::string> checkpoint;
    /// Where the figures a change may lower are written, or the table to
    /// write them in: sessions and concurrency in the workload, a
    /// transformer's contextLength in its profile.
    SourceLocation sessions_location;
    SourceLocation concurrency_location;
    std::optional<SourceLocation> context_location;
};

struct LoadedSystem {
    std::string file;
    Orchestration::SystemSpec system;
    /// In engine order, for each engine that states one.
    std::vector<EngineWorkload> workloads;
    /// Reading errors and the notes on approximate figures (warnings), in
    /// the order found.
    std::vector<Finding> findings;
    /// Where the two rules without an element of their own point: the `id`
    /// value, and the fallback engine (else the failure policy).
    SourceLocation id_location;
    SourceLocation failure_location;
    /// Notes for the issues of validation, by the path: the digest
    /// that an embedding space's fields give, when the file gives another.
    std::vector<std::pair<std::string, std::string>> path_notes;

    /// No reading error: the records are what the file says.
    [[nodiscard]] bool readable() const;
};

/// Reads the model config a transformer names, by the path resolved against
/// the system file's folder; throws std::runtime_error with the reason.
using ConfigReader = std::function<std::string(const std::string& path)>;

/// The file, read from disk, its model configs too. An unreadable file is a
/// finding ("cannot open system file: PATH"), not an exception.
[[nodiscard]] LoadedSystem loadSystemFile(const std::string& path);

/// What a checkpoint folder's safetensors headers hold, by the folder's path
/// resolved against the system file's folder.
using CheckpointReader = std::function<CheckpointResult(const std::string& folder)>;

/// `text` as the system file `fileName`; model configs come from `readConfig`,
/// checkpoint folders' weights from `readCheckpoint` (by default, from disk).
[[nodiscard]] LoadedSystem parseSystemText(std::string_view text, const std::string& fileName,
                                           const ConfigReader& readConfig,
                                           const CheckpointReader& readCheckpoint = {});

/// Every problem of the system: the reading findings, else those and the
/// graph's validation issues and each workload's estimate that fails, at
/// the positions of the elements they name, sorted by position.
[[nodiscard]] std::vector<Finding> checkSystem(const LoadedSystem& loaded);

/// One requirement per workload, in engine order. Throws std::runtime_error
/// "resource estimate is unknown" when an estimator fails, as the built-in
/// workload would.
[[nodiscard]] std::vector<Estimation::WorkloadRequirement>
workloadRequirements(const LoadedSystem& loaded);

/// The names of the dtype codes the file may use for a number, in code order.
[[nodiscard]] std::optional<std::string_view> dtypeName(std::uint8_t code);

} // namespace Core::SystemFile

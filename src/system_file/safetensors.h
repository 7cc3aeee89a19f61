// The weights of a checkpoint in the safetensors format, summed from the
// headers of its shard files alone: a model.safetensors, or the shards that a
// model.safetensors.index.json maps each tensor to. The data is never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Core::SystemFile {

/// One problem: its message, and where it is. `file` is the shard or index path as
/// folder / name; `line` and `column` count from 1 in that file's JSON text (for a
/// shard, the header's JSON counted from its first byte), 0 when there is no position.
struct CheckpointProblem {
    std::string message;
    std::string file;
    std::uint32_t line = 0;
    std::uint32_t column = 0;

    friend bool operator==(const CheckpointProblem&, const CheckpointProblem&) = default;
};

/// What a checkpoint folder holds, from its headers alone.
struct CheckpointWeights {
    std::uint64_t bytes = 0;    ///< the tensors' data, summed
    std::uint64_t elements = 0; ///< the product of each shape, summed
    std::uint64_t tensors = 0;
    std::uint64_t shards = 0;
    /// A shard shorter (an incomplete download) or longer than its header says.
    std::vector<CheckpointProblem> notes;
};

struct CheckpointResult {
    std::optional<CheckpointWeights> weights;
    CheckpointProblem error; ///< meaningful when `weights` is absent
};

/// The folder's model.safetensors when it has one, else the shards of its
/// model.safetensors.index.json. Only the first 8 + N bytes of each shard are
/// read; the first problem found ends the read.
[[nodiscard]] CheckpointResult readCheckpointWeights(const std::filesystem::path& folder);

/// The largest header the format allows, and the largest index read.
inline constexpr std::uint64_t kSafetensorsHeaderLimit = 100'000'000;

/// The format's element types, in its own order.
enum class SafetensorsDtype : std::uint8_t {
    boolean,
    f4,
    f6_e2m3,
    f6_e3m2,
    u8,
    i8,
    f8_e5m2,
    f8_e4m3,
    f8_e8m0,
    f8_e4m3fnuz,
    f8_e5m2fnuz,
    i16,
    u16,
    f16,
    bf16,
    i32,
    u32,
    f32,
    c64,
    f64,
    i64,
    u64,
};

/// The name a header writes ("BF16"), and the width of one element.
[[nodiscard]] std::string_view safetensorsDtypeName(SafetensorsDtype dtype);
[[nodiscard]] std::uint32_t safetensorsDtypeBits(SafetensorsDtype dtype);
[[nodiscard]] std::optional<SafetensorsDtype> safetensorsDtypeNamed(std::string_view name);

struct SafetensorsTensor {
    std::string name;
    SafetensorsDtype dtype = SafetensorsDtype::u8;
    std::uint64_t elements = 0; ///< the shape's product
    std::uint64_t bytes = 0;    ///< end - begin, which dtype and shape agree with
    std::uint64_t begin = 0;    ///< data_offsets, from the first byte after the header
    std::uint64_t end = 0;
    std::size_t offset = 0; ///< where the tensor's key starts in the header's JSON

    friend bool operator==(const SafetensorsTensor&, const SafetensorsTensor&) = default;
};

struct SafetensorsHeader {
    std::vector<SafetensorsTensor> tensors; ///< in the header's order
    std::uint64_t dataBytes = 0; ///< the tensors tile the data from 0 to here, in some order
    std::uint64_t elements = 0;

    friend bool operator==(const SafetensorsHeader&, const SafetensorsHeader&) = default;
};

struct SafetensorsHeaderResult {
    std::optional<SafetensorsHeader> header;
    CheckpointProblem error; ///< meaningful when `header` is absent; `file` is empty
};

/// The header's JSON text alone, without the 8-byte length before it.
[[nodiscard]] SafetensorsHeaderResult parseSafetensorsHeader(std::string_view json);

struct SafetensorsIndexEntry {
    std::uint32_t shard = 0; ///< into SafetensorsIndex::shards
    std::size_t offset = 0;  ///< where the tensor's key starts in the index's JSON

    friend bool operator==(const SafetensorsIndexEntry&, const SafetensorsIndexEntry&) = default;
};

struct SafetensorsIndex {
    std::optional<std::uint64_t> totalSize; ///< metadata.total_size
    std::size_t totalSizeOffset = 0;        ///< where its value starts, when there is one
    /// Each shard once, as first written; no two name the same file.
    std::vector<std::string> shards;
    /// weight_map: each tensor's shard.
    std::unordered_map<std::string, SafetensorsIndexEntry> weightMap;

    friend bool operator==(const SafetensorsIndex&, const SafetensorsIndex&) = default;
};

struct SafetensorsIndexResult {
    std::optional<SafetensorsIndex> index;
    CheckpointProblem error; ///< meaningful when `index` is absent; `file` is empty
};

/// The text of a model.safetensors.index.json.
[[nodiscard]] SafetensorsIndexResult parseSafetensorsIndex(std::string_view json);

} // namespace Core::SystemFile

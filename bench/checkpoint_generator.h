// Checkpoint folders laid out as a sharded model download, for the benchmark
// of reading their safetensors headers and for timing it by hand.
#pragma once

#include <cstdint>
#include <filesystem>

namespace Core::Bench {

struct GeneratedCheckpoint {
    std::uint64_t bytes = 0;     ///< the tensors' data, as the headers describe it
    std::uint64_t jsonBytes = 0; ///< the headers' and the index's JSON, summed
};

/// Writes `folder`: a config.json, a model.safetensors.index.json and
/// `shards` shards holding `tensors` BF16 tensors of a Llama-like stack
/// between them ("model.layers.17.mlp.gate_proj.weight", [14336, 4096]),
/// with the total_size they sum to. Each shard is its header, then a hole to
/// the size its data takes: the files are as long as a real download and
/// take no disk. Throws std::runtime_error when a file cannot be written.
GeneratedCheckpoint writeCheckpoint(const std::filesystem::path& folder, std::uint64_t shards,
                                    std::uint64_t tensors);

} // namespace Core::Bench

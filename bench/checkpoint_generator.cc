// The checkpoint generator: nine tensors a layer, each shard's header written
// compactly and padded with spaces to eight bytes, as writers of the format do.
#include "checkpoint_generator.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Bench {
namespace {

struct LayerTensor {
    std::string_view name;
    std::uint64_t rows;
    std::uint64_t columns; ///< 0 for a vector
};

constexpr std::array<LayerTensor, 9> kLayer = {{
    {"input_layernorm.weight", 4096, 0},
    {"self_attn.q_proj.weight", 4096, 4096},
    {"self_attn.k_proj.weight", 1024, 4096},
    {"self_attn.v_proj.weight", 1024, 4096},
    {"self_attn.o_proj.weight", 4096, 4096},
    {"mlp.gate_proj.weight", 14336, 4096},
    {"mlp.up_proj.weight", 14336, 4096},
    {"mlp.down_proj.weight", 4096, 14336},
    {"post_attention_layernorm.weight", 4096, 0},
}};

std::string shardName(std::uint64_t shard, std::uint64_t shards) {
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "model-%05llu-of-%05llu.safetensors",
                  static_cast<unsigned long long>(shard + 1),
                  static_cast<unsigned long long>(shards));
    return name.data();
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace

GeneratedCheckpoint writeCheckpoint(const std::filesystem::path& folder, std::uint64_t shards,
                                    std::uint64_t tensors) {
    std::filesystem::create_directories(folder);
    // A Llama of as many layers as the tensors fill, so that a system file
    // can name the folder as a checkpoint.
    const std::uint64_t layers = (tensors + kLayer.size() - 1) / kLayer.size();
    writeFile(folder / "config.json",
              "{\"model_type\": \"llama\", \"vocab_size\": 128256, \"hidden_size\": 4096, "
              "\"intermediate_size\": 14336, \"num_hidden_layers\": " +
                  std::to_string(layers) +
                  ", \"num_attention_heads\": 32, \"num_key_value_heads\": 8, "
                  "\"max_position_embeddings\": 8192, \"torch_dtype\": \"bfloat16\"}\n");
    GeneratedCheckpoint made;
    std::string weightMap;
    std::uint64_t next = 0;
    for (std::uint64_t shard = 0; shard < shards; ++shard) {
        const std::string name = shardName(shard, shards);
        const std::uint64_t end = (shard + 1) * tensors / shards;
        std::string header = "{\"__metadata__\":{\"format\":\"pt\"}";
        std::uint64_t offset = 0;
        for (; next < end; ++next) {
            const LayerTensor& kind = kLayer[next % kLayer.size()];
            std::string tensor = "model.layers.";
            tensor.append(std::to_string(next / kLayer.size())).append(".").append(kind.name);
            const std::uint64_t bytes = 2 * kind.rows * (kind.columns == 0 ? 1 : kind.columns);
            header.append(",\"").append(tensor).append("\":{\"dtype\":\"BF16\",\"shape\":[");
            header.append(std::to_string(kind.rows));
            if (kind.columns != 0) {
                header.append(",").append(std::to_string(kind.columns));
            }
            header.append("],\"data_offsets\":[").append(std::to_string(offset)).append(",");
            header.append(std::to_string(offset + bytes)).append("]}");
            offset += bytes;
            weightMap.append(weightMap.empty() ? "" : ",\n").append("    \"").append(tensor);
            weightMap.append("\": \"").append(name).append("\"");
        }
        header += "}";
        header.append((8 - header.size() % 8) % 8, ' ');
        std::string file(8, '\0');
        for (std::size_t i = 0; i < 8; ++i) {
            file[i] = static_cast<char>((header.size() >> (8 * i)) & 0xFFU);
        }
        file += header;
        const std::filesystem::path path = folder / name;
        writeFile(path, file);
        std::filesystem::resize_file(path, file.size() + offset);
        made.bytes += offset;
        made.jsonBytes += header.size();
    }
    const std::string index =
        "{\n  \"metadata\": {\n    \"total_size\": " + std::to_string(made.bytes) +
        "\n  },\n  \"weight_map\": {\n" + weightMap + "\n  }\n}\n";
    writeFile(folder / "model.safetensors.index.json", index);
    made.jsonBytes += index.size();
    return made;
}

} // namespace Core::Bench

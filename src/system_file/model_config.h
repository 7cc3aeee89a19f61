// A model's own config.json as a transformer profile's figures: the keys that
// the estimator's formula needs, the element width from torch_dtype, and what
// the formula does not model, refused or noted by the key that says so.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core::SystemFile {

/// What a config states; absent where it says nothing.
struct ModelConfig {
    std::optional<std::uint64_t> vocabSize;
    std::optional<std::uint64_t> layers;
    std::optional<std::uint64_t> modelDim;
    std::optional<std::uint64_t> ffnDim;
    std::optional<std::uint64_t> queryHeads;
    std::optional<std::uint64_t> kvHeads;
    std::optional<std::uint64_t> headDim;
    std::optional<std::uint64_t> contextLength;
    bool tiedEmbeddings = false;
    /// Bytes per element of torch_dtype, when it names a known width.
    std::optional<std::uint32_t> elementBytes;
    /// torch_dtype as written, when it names no known width.
    std::optional<std::string> unknownDtype;
    /// Figures the estimate leaves approximate, one note each.
    std::vector<std::string> notes;
};

/// Why a config cannot be used: a JSON syntax error at its line and column in
/// the config (line 0 for a problem of content), or a value or key the
/// estimator cannot take, with its JSON pointer in the message.
struct ModelConfigError {
    std::string message;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

struct ModelConfigResult {
    std::optional<ModelConfig> config;
    ModelConfigError error; ///< meaningful when `config` is absent
};

[[nodiscard]] ModelConfigResult parseModelConfig(std::string_view json);

} // namespace Core::SystemFile

// A model's own config.json as the figures of what the model holds: its
// family (model_type) and the keys that family reads, how its layers attend
// and route, how its checkpoint is quantized, and how long a context it
// takes. Then, with the figures a system file writes beside it, the model
// profile the estimator takes. Every problem and note names the key it comes
// from, at its line and column in the config.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "estimation/model_profile.h"
#include "system_file/model_families.h"

namespace Core::SystemFile {

/// A key of the config: its JSON pointer, and its line and column (0 when
/// the config does not hold it).
struct ConfigKey {
    std::string pointer;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

/// A problem or a note, at a key of the config or, without one, at the line
/// of the system file that names the config.
struct ConfigProblem {
    std::string message;
    std::optional<ConfigKey> key;
    std::vector<std::string> notes;
};

/// What a config states; absent where it says nothing.
struct ModelConfig {
    const ModelFamily* family = nullptr; ///< null: model_type missing or unknown
    std::string modelType;
    ConfigKey modelTypeKey;
    /// Why the family or the quantization cannot be counted from the config
    /// alone; a checkpoint folder's headers still give the weights.
    std::optional<ConfigProblem> needsCheckpoint;

    std::optional<std::uint64_t> vocabSize;
    std::optional<std::uint64_t> layers;
    std::optional<std::uint64_t> modelDim;
    std::optional<std::uint64_t> ffnDim; ///< intermediate_size
    std::optional<std::uint64_t> queryHeads;
    std::optional<std::uint64_t> kvHeads;
    std::optional<std::uint64_t> headDim;
    std::optional<std::uint64_t> experts;
    std::optional<std::uint64_t> expertsPerToken;
    std::optional<std::uint64_t> expertFfnDim;
    std::optional<std::uint64_t> sharedExpertFfnDim;
    std::vector<std::uint64_t> denseLayers; ///< mlp_only_layers
    std::uint64_t sparseStep = 1;           ///< decoder_sparse_step

    std::optional<std::vector<Estimation::AttentionKind>> layerTypes;
    ConfigKey layerTypesKey;
    std::optional<std::uint64_t> slidingWindow;
    ConfigKey slidingWindowKey;
    bool useSlidingWindow = true;
    std::optional<std::uint64_t> maxWindowLayers;
    std::uint64_t slidingPattern = 6;

    bool attentionBias = false;
    bool mlpBias = false;
    std::optional<bool> tiedEmbeddings;

    std::optional<std::uint64_t> maxPositions; ///< max_position_embeddings, the default context
    std::optional<std::uint64_t> contextLimit; ///< max_position_embeddings, stretched by rope_scaling
    ConfigKey contextLimitKey;
    std::string contextLimitSource; ///< how the limit comes about, for a message

    std::optional<std::uint32_t> elementBytes; ///< of torch_dtype, when it names a known width
    std::optional<std::string> unknownDtype;   ///< torch_dtype, when it names no known width
    Estimation::Quantization quantization;
    std::optional<std::uint64_t> latentCacheWidth;
    /// The model has other parts (vision_config, ...) than its language model.
    std::optional<ConfigKey> otherParts;
    std::vector<ConfigProblem> notes;
};

/// A syntax error at its line and column, or a value or key the estimator
/// cannot take, at its key.
struct ModelConfigResult {
    std::optional<ModelConfig> config;
    ConfigProblem error; ///< meaningful when `config` is absent
};

[[nodiscard]] ModelConfigResult parseModelConfig(std::string_view json);

/// The figures a system file writes beside `config`, each in place of the
/// config's.
struct ModelOverrides {
    std::optional<std::uint64_t> vocabSize;
    std::optional<std::uint64_t> layers;
    std::optional<std::uint64_t> modelDim;
    std::optional<std::uint64_t> ffnDim;
    std::optional<std::uint64_t> queryHeads;
    std::optional<std::uint64_t> kvHeads;
    std::optional<std::uint64_t> headDim;
    std::optional<std::uint64_t> contextLength;
    std::optional<std::uint32_t> weightBytes;
    std::optional<std::uint32_t> kvBytes;
    std::optional<bool> tiedEmbeddings;
};

/// A problem of the profile: at a key of the config, or at the system
/// file's key `overrideKey` (empty: at the `config` key itself).
struct ModelProfileProblem {
    ConfigProblem problem;
    std::string overrideKey;
};

struct ModelProfileResult {
    std::optional<Estimation::ModelProfile> profile;
    ModelProfileProblem error; ///< meaningful when `profile` is absent
    std::vector<ConfigProblem> notes;
};

/// The most layers a model may have: far beyond any model, and a bound on
/// the memory a hostile figure can ask for.
constexpr std::uint64_t kMaxModelLayers = 1ULL << 20;

/// The profile of the config's model with the overrides. `checkpoint` says
/// that a checkpoint folder's headers give the weights.
[[nodiscard]] ModelProfileResult buildModelProfile(const ModelConfig& config,
                                                   const ModelOverrides& overrides,
                                                   bool checkpoint);

} // namespace Core::SystemFile

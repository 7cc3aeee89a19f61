// A transformer as its model's own files describe it: what every layer holds
// (the layout its family gives), the experts, which layers slide over a window,
// how a checkpoint stores its projections, and the estimate built from that.
// Hand-written figures keep TransformerProfile and its formula; this profile
// is for models read from config.json or a checkpoint folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "estimation/estimate.h"

namespace Core::Estimation {

/// What a layer holds besides its attention and MLP projections: one row of
/// a family table, copied into the profile so that it stands alone.
struct LayerLayout {
    std::uint32_t normsPerLayer = 2;
    bool qkNorms = false;          ///< a norm of head width on queries and keys
    bool qkvBias = false;          ///< q, k and v carry biases
    bool outputBias = false;       ///< o carries a bias
    bool mlpBias = false;          ///< gate, up and down carry biases
    bool fusedQkv = false;         ///< q, k and v are one projection
    bool fusedGateUp = false;      ///< gate and up are one projection
    bool sharedExpertGate = false; ///< a one-row gate scales the shared expert
};

enum class AttentionKind : std::uint8_t { full, sliding };

struct LayerPlan {
    AttentionKind attention = AttentionKind::full;
    bool sparse = false; ///< its MLP is routed experts
};

/// The figures of a model. With no family (`family` empty) only the attention
/// geometry is known: the weights must come from a checkpoint.
struct ModelArchitecture {
    std::string family; ///< the config's model_type
    LayerLayout layout;
    std::uint64_t vocabSize = 0;
    std::uint64_t modelDim = 0;
    std::uint64_t ffnDim = 0; ///< a dense layer's MLP width
    std::uint64_t queryHeads = 0;
    std::uint64_t kvHeads = 0;
    std::uint64_t headDim = 0;
    std::uint64_t experts = 0; ///< routed experts of a sparse layer
    std::uint64_t expertsPerToken = 0;
    std::uint64_t expertFfnDim = 0;
    std::uint64_t sharedExpertFfnDim = 0; ///< 0: no shared expert
    std::vector<LayerPlan> layers;
    std::optional<std::uint64_t> slidingWindow; ///< tokens a sliding layer holds
    bool tiedEmbeddings = false;
    /// Multi-latent attention caches one compressed vector of this width per
    /// token and layer in place of the keys and values.
    std::optional<std::uint64_t> latentCacheWidth;
};

enum class QuantMethod : std::uint8_t { none, awq, gptq, fp8 };

/// How a checkpoint stores its projection weights; embeddings, norms, biases,
/// routers and the output head stay at the checkpoint's element width.
struct Quantization {
    QuantMethod method = QuantMethod::none;
    std::uint32_t bits = 0;                 ///< awq, gptq
    std::optional<std::uint64_t> groupSize; ///< awq, gptq; absent: one group per input row
    /// fp8: one float32 scale per block of rows x columns; absent: one per projection.
    std::optional<std::uint64_t> blockRows;
    std::optional<std::uint64_t> blockColumns;
    bool inputScales = false; ///< fp8 with static activation scales
};

struct ModelProfile {
    ModelArchitecture architecture;
    Quantization quantization;
    /// The weights as a checkpoint's safetensors headers add them up; in
    /// place of the count from the architecture.
    std::optional<std::uint64_t> checkpointBytes;
    std::optional<std::uint64_t> checkpointElements;
    std::uint64_t contextLength = 0;
    std::optional<std::uint64_t> contextLimit; ///< the positions the model takes
    std::uint32_t weightBytes = 0; ///< what is not quantized, and the activations
    std::uint32_t kvBytes = 0;
    bool training = false;
    std::uint64_t adapterParameters = 0;
};

/// A group of `count` equal tensors of rows x columns elements, `active` of
/// them used for each token.
struct TensorGroup {
    std::string_view name; ///< "q_proj", "experts.down_proj" (static text)
    std::uint64_t count = 0;
    std::uint64_t active = 0;
    std::uint64_t rows = 0;    ///< out features
    std::uint64_t columns = 0; ///< in features; 1 for a vector
    bool projection = false;   ///< a linear weight, what a quantizer packs
};

/// Every tensor group the architecture holds, in layer order; empty without
/// a family, absent when a width or count overflows.
[[nodiscard]] std::optional<std::vector<TensorGroup>>
modelTensors(const ModelArchitecture& architecture);

struct ModelParameters {
    std::uint64_t total = 0;
    std::uint64_t active = 0; ///< used for each token: less than total with experts
};

/// The parameters the architecture holds, or the checkpoint's element count
/// when it has no family and is not quantized; absent when neither can be
/// known or the count overflows.
[[nodiscard]] std::optional<ModelParameters> modelParameters(const ModelProfile& profile);

/// Fills the estimate as estimateTransformer does, with the weights the
/// model holds and a KV cache per layer; or appends one message.
void estimateModel(const ModelProfile& profile, ResourceEstimate& estimate,
                   std::vector<std::string>& errors);

} // namespace Core::Estimation

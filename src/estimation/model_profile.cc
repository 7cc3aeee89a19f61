// The weights a model holds, tensor group by tensor group, packed as its
// checkpoint packs them; a KV cache per layer, a sliding layer holding no
// more than its window. Every figure is checked: an overflow is an error.
#include "estimation/model_profile.h"

#include <algorithm>

#include "common/checked_math.h"
#include "estimation/checked_terms.h"
#include "estimation/transformer_terms.h"

namespace Core::Estimation {
namespace {

constexpr std::uint64_t kWordBits = 32;
constexpr std::uint64_t kScaleBytes = 2;     // awq and gptq keep their scales in float16
constexpr std::uint64_t kIndexBytes = 4;     // gptq's g_idx, one int32 per input
constexpr std::uint64_t kFp8ScaleBytes = 4;  // fp8 scales are float32

using Count = std::optional<std::uint64_t>;

Count ceilDiv(std::uint64_t a, std::uint64_t b) {
    return b == 0 ? std::nullopt : Count(a / b + (a % b != 0 ? 1 : 0));
}

/// Bytes of one projection of rows x columns as the checkpoint stores it,
/// or the message for why it cannot be packed so.
struct PackedBytes {
    Count bytes;
    std::string error;
};

PackedBytes packedProjection(const Quantization& q, const TensorGroup& group) {
    const std::uint64_t out = group.rows;
    const std::uint64_t in = group.columns;
    const std::string name(group.name);
    switch (q.method) {
    case QuantMethod::none:
        break;
    case QuantMethod::awq:
    case QuantMethod::gptq: {
        const std::uint64_t groupSize = q.groupSize.value_or(in);
        if (groupSize == 0 || q.bits == 0) {
            return {std::nullopt, "quantization group size and bits must be positive"};
        }
        const Count inBits = checkedMul(in, q.bits);
        const Count outBits = checkedMul(out, q.bits);
        if (!inBits || !outBits) {
            return {std::nullopt, "transformer parameter count overflow"};
        }
        // Both formats pack 32 / bits values into one int32 along a side.
        if (*outBits % kWordBits != 0 || (q.method == QuantMethod::gptq && *inBits % kWordBits != 0)) {
            return {std::nullopt, "projection '" + name + "' of " + std::to_string(out) + " x " +
                                      std::to_string(in) + " does not pack into 32-bit words at " +
                                      std::to_string(q.bits) + " bits"};
        }
        if (q.method == QuantMethod::awq && in % groupSize != 0) {
            return {std::nullopt, "projection '" + name + "' has " + std::to_string(in) +
                                      " inputs, not a multiple of the group size " +
                                      std::to_string(groupSize)};
        }
        const Count groups = ceilDiv(in, groupSize);
        const Count weight = checkedMul(in, *outBits / 8);
        const Count zeros = checkedMul(groups, *outBits / 8);
        const Count scales = checkedProduct({*groups, out, kScaleBytes});
        const Count index = q.method == QuantMethod::gptq ? checkedMul(in, kIndexBytes) : Count(0);
        const Count sum = weight && zeros && scales && index
                              ? checkedSum({*weight, *zeros, *scales, *index})
                              : std::nullopt;
        return {sum, sum ? "" : "transformer parameter count overflow"};
    }
    case QuantMethod::fp8: {
        Count scales = kFp8ScaleBytes;
        if (q.blockRows || q.blockColumns) {
            if (q.blockRows.value_or(0) == 0 || q.blockColumns.value_or(0) == 0) {
                return {std::nullopt, "fp8 weight block sizes must be positive"};
            }
            scales = checkedProduct(
                {*ceilDiv(out, *q.blockRows), *ceilDiv(in, *q.blockColumns), kFp8ScaleBytes});
        }
        const Count weight = checkedMul(out, in);
        const Count sum =
            weight && scales
                ? checkedSum({*weight, *scales, q.inputScales ? kFp8ScaleBytes : 0})
                : std::nullopt;
        return {sum, sum ? "" : "transformer parameter count overflow"};
    }
    }
    return {std::nullopt, "transformer parameter count overflow"};
}

/// The weights from the architecture, packed as the checkpoint packs them.
struct WeightCount {
    Count bytes;
    std::string error;
};

WeightCount architectureWeights(const ModelProfile& profile) {
    const std::optional<std::vector<TensorGroup>> groups = modelTensors(profile.architecture);
    if (!groups) {
        return {std::nullopt, "transformer parameter count overflow"};
    }
    Count total = 0;
    for (const TensorGroup& group : *groups) {
        Count bytes;
        if (group.projection && profile.quantization.method != QuantMethod::none) {
            PackedBytes packed = packedProjection(profile.quantization, group);
            if (!packed.bytes) {
                return {std::nullopt, std::move(packed.error)};
            }
            bytes = checkedMul(*packed.bytes, group.count);
        } else {
            bytes = checkedProduct({group.count, group.rows, group.columns, profile.weightBytes});
        }
        total = bytes ? checkedAdd(total, *bytes) : std::nullopt;
        if (!total) {
            return {std::nullopt, "transformer parameter count overflow"};
        }
    }
    return {total, {}};
}

/// The cache of one session: each layer's keys and values (or its latent
/// vector) for the tokens it holds.
Count kvCacheBytes(const ModelProfile& profile) {
    const ModelArchitecture& a = profile.architecture;
    const Count width = a.latentCacheWidth ? Count(*a.latentCacheWidth)
                                           : checkedProduct({2, a.kvHeads, a.headDim});
    const std::uint64_t context = profile.contextLength;
    const std::uint64_t windowed = std::min(context, a.slidingWindow.value_or(context));
    const auto sliding = static_cast<std::uint64_t>(
        std::count_if(a.layers.begin(), a.layers.end(), [](const LayerPlan& layer) {
            return layer.attention == AttentionKind::sliding;
        }));
    const Count fullTokens = checkedMul(a.layers.size() - sliding, context);
    const Count slidingTokens = checkedMul(sliding, windowed);
    if (!width || !fullTokens || !slidingTokens) {
        return std::nullopt;
    }
    const Count tokens = checkedAdd(*fullTokens, *slidingTokens);
    return tokens ? checkedProduct({*tokens, *width, profile.kvBytes}) : std::nullopt;
}

} // namespace

std::optional<std::vector<TensorGroup>> modelTensors(const ModelArchitecture& a) {
    std::vector<TensorGroup> groups;
    if (a.family.empty()) {
        return groups;
    }
    const LayerLayout& l = a.layout;
    const auto layers = static_cast<std::uint64_t>(a.layers.size());
    const auto sparse = static_cast<std::uint64_t>(std::count_if(
        a.layers.begin(), a.layers.end(), [](const LayerPlan& layer) { return layer.sparse; }));
    const std::uint64_t dense = layers - sparse;
    const std::uint64_t d = a.modelDim;
    // The widths and counts that are products of the figures.
    const Count q = checkedMul(a.queryHeads, a.headDim);
    const Count kv = checkedMul(a.kvHeads, a.headDim);
    const Count keysAndValues = checkedMul(kv, 2);
    const Count qkv = keysAndValues ? checkedAdd(q, *keysAndValues) : std::nullopt;
    const Count gateUp = checkedMul(a.ffnDim, 2);
    const Count mlpBiases = checkedAdd(gateUp, d);
    const Count norms = checkedMul(layers, l.normsPerLayer);
    const Count experts = checkedMul(sparse, a.experts);
    const Count used = checkedMul(sparse, std::min(a.expertsPerToken, a.experts));
    if (!q || !kv || !qkv || !gateUp || !mlpBiases || !norms || !experts ||
        !used) {
        return std::nullopt;
    }
    const auto add = [&groups](std::string_view name, std::uint64_t count, std::uint64_t active,
                               std::uint64_t rows, std::uint64_t columns, bool projection) {
        if (count != 0) {
            groups.push_back({name, count, active, rows, columns, projection});
        }
    };
    const auto every = [&add](std::string_view name, std::uint64_t count, std::uint64_t rows,
                              std::uint64_t columns, bool projection) {
        add(name, count, count, rows, columns, projection);
    };

    every("embed_tokens", 1, a.vocabSize, d, false);
    every("norms", *norms, d, 1, false);
    if (l.qkNorms) {
        every("q_norm, k_norm", layers * 2, a.headDim, 1, false);
    }
    if (l.fusedQkv) {
        every("qkv_proj", layers, *qkv, d, true);
    } else {
        every("q_proj", layers, *q, d, true);
        every("k_proj", layers, *kv, d, true);
        every("v_proj", layers, *kv, d, true);
    }
    if (l.qkvBias) {
        every("qkv biases", layers, *qkv, 1, false);
    }
    every("o_proj", layers, d, *q, true);
    if (l.outputBias) {
        every("o_proj bias", layers, d, 1, false);
    }

    if (l.fusedGateUp) {
        every("gate_up_proj", dense, *gateUp, d, true);
    } else {
        every("gate_proj", dense, a.ffnDim, d, true);
        every("up_proj", dense, a.ffnDim, d, true);
    }
    every("down_proj", dense, d, a.ffnDim, true);
    if (l.mlpBias) {
        every("mlp biases", dense, *mlpBiases, 1, false);
    }

    if (sparse != 0) {
        every("router", sparse, a.experts, d, false);
        add("experts.gate_proj", *experts, *used, a.expertFfnDim, d, true);
        add("experts.up_proj", *experts, *used, a.expertFfnDim, d, true);
        add("experts.down_proj", *experts, *used, d, a.expertFfnDim, true);
        if (a.sharedExpertFfnDim != 0) {
            every("shared_expert.gate_proj", sparse, a.sharedExpertFfnDim, d, true);
            every("shared_expert.up_proj", sparse, a.sharedExpertFfnDim, d, true);
            every("shared_expert.down_proj", sparse, d, a.sharedExpertFfnDim, true);
            if (l.sharedExpertGate) {
                every("shared_expert_gate", sparse, 1, d, false);
            }
        }
    }

    every("norm", 1, d, 1, false);
    if (!a.tiedEmbeddings) {
        every("lm_head", 1, a.vocabSize, d, false);
    }
    return groups;
}

std::optional<ModelParameters> modelParameters(const ModelProfile& profile) {
    const std::optional<std::vector<TensorGroup>> groups = modelTensors(profile.architecture);
    if (!groups) {
        return std::nullopt;
    }
    if (groups->empty()) {
        if (profile.checkpointElements && profile.quantization.method == QuantMethod::none) {
            return ModelParameters{*profile.checkpointElements, *profile.checkpointElements};
        }
        return std::nullopt;
    }
    Count total = 0;
    Count active = 0;
    for (const TensorGroup& group : *groups) {
        const Count all = checkedProduct({group.rows, group.columns, group.count});
        const Count perToken = checkedProduct({group.rows, group.columns, group.active});
        total = all ? checkedAdd(total, *all) : std::nullopt;
        active = perToken ? checkedAdd(active, *perToken) : std::nullopt;
        if (!total || !active) {
            return std::nullopt;
        }
    }
    return ModelParameters{*total, *active};
}

void estimateModel(const ModelProfile& p, ResourceEstimate& estimate,
                   std::vector<std::string>& errors) {
    const ModelArchitecture& a = p.architecture;
    const bool needsShape = !a.family.empty() && !p.checkpointBytes;
    if (a.layers.empty() || a.modelDim == 0 || p.contextLength == 0 || p.weightBytes == 0 ||
        p.kvBytes == 0 || (!a.latentCacheWidth && (a.kvHeads == 0 || a.headDim == 0)) ||
        (needsShape && (a.vocabSize == 0 || a.queryHeads == 0)) ||
        (a.family.empty() && !p.checkpointBytes)) {
        errors.emplace_back("transformer profile is incomplete");
        return;
    }
    if (p.contextLimit && p.contextLength > *p.contextLimit) {
        errors.push_back("a context of " + std::to_string(p.contextLength) +
                         " tokens is past the model's limit of " +
                         std::to_string(*p.contextLimit));
        return;
    }
    const std::optional<ModelParameters> parameters = modelParameters(p);
    Count weights = p.checkpointBytes;
    if (!weights) {
        WeightCount counted = architectureWeights(p);
        if (!counted.bytes) {
            errors.push_back(std::move(counted.error));
            return;
        }
        weights = counted.bytes;
    }
    if (!parameters && !a.family.empty()) {
        errors.emplace_back("transformer parameter count overflow");
        return;
    }
    const Count adapter = checkedMul(p.adapterParameters, p.weightBytes);
    const Count cache = kvCacheBytes(p);
    const Count activationBase = checkedProduct({p.contextLength, a.modelDim, p.weightBytes});
    if (!adapter || !cache || !activationBase) {
        errors.emplace_back("transformer byte estimate overflow");
        return;
    }
    // Without a count of parameters (a quantized checkpoint of an unknown
    // family) the optimizer state cannot be had.
    if (p.training && !parameters) {
        errors.emplace_back("optimizer estimate overflow");
        return;
    }
    writeTransformerTerms({parameters ? parameters->total : 0, *weights, *adapter, *cache,
                           *activationBase, p.weightBytes, p.training},
                          estimate, errors);
}

} // namespace Core::Estimation

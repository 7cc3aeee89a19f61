// Reading config.json: the family's row says which keys describe a layer; a
// key that changes what the model holds but that the row does not read is
// refused by name, so that nothing is counted as if it were absent. A model
// nests its language model under "text_config" when it has other parts; the
// figures come from there, and what the nested object leaves out (torch_dtype,
// typically) from the top.
#include "system_file/model_config.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "json_text/json_document.h"

namespace Core::SystemFile {
namespace {

using Estimation::AttentionKind;
using Estimation::QuantMethod;
using Json = nlohmann::json;

/// Deeper than any config; a bound on what reading a hostile one costs.
constexpr std::size_t kMaxConfigDepth = 64;
/// Keys are placed down to quantization_config's and rope_scaling's under text_config.
constexpr std::size_t kPlacedKeyDepth = 3;
/// A found value is quoted at most this long in a message.
constexpr std::size_t kQuotedValue = 40;

/// Keys that change what a model holds: a family whose row does not read
/// them would count the model without them.
struct FeatureKey {
    std::string_view key;
    std::string_view feature;
};
constexpr std::array kExpertKeys = {
    FeatureKey{"num_local_experts", "a mixture of experts"},
    FeatureKey{"num_experts", "a mixture of experts"},
    FeatureKey{"n_routed_experts", "a mixture of experts"},
    FeatureKey{"num_experts_per_tok", "a mixture of experts"},
    FeatureKey{"moe_intermediate_size", "a mixture of experts"},
    FeatureKey{"n_shared_experts", "a mixture of experts"},
    FeatureKey{"shared_expert_intermediate_size", "a shared expert"},
};
constexpr std::array kLatentKeys = {
    FeatureKey{"kv_lora_rank", "multi-latent attention"},
    FeatureKey{"q_lora_rank", "multi-latent attention"},
    FeatureKey{"qk_rope_head_dim", "multi-latent attention"},
};
constexpr std::array kBiasKeys = {
    FeatureKey{"attention_bias", "attention biases"},
    FeatureKey{"mlp_bias", "feed-forward biases"},
    FeatureKey{"qkv_bias", "attention biases"},
};
/// The parts of a multimodal model besides its language model.
constexpr std::array<std::string_view, 4> kOtherParts = {"vision_config", "audio_config",
                                                         "speech_config", "vision_tower"};
/// Modules a quantized checkpoint keeps at full width that are full width here
/// anyway: the routers, the shared expert's gate, the output head.
constexpr std::array<std::string_view, 6> kFullWidthModules = {
    "gate", "mlp.gate", "block_sparse_moe.gate", "shared_expert_gate", "lm_head", "router"};

const std::string kCheckpointNote =
    "a checkpoint folder (checkpoint = \"DIR\" in the transformer table) answers for any "
    "model: its safetensors headers give the weights";

/// False, null, 0 and an empty value say that a feature is off.
bool isSet(const Json& value) {
    if (value.is_null()) {
        return false;
    }
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    if (value.is_number()) {
        return value != 0;
    }
    return !value.empty();
}

/// A found value for a message: short, and never the whole of a large one.
std::string quoted(const Json& value) {
    if (value.is_structured()) {
        return value.is_object() ? "an object" : "an array";
    }
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (text.size() > kQuotedValue) {
        text.resize(kQuotedValue);
        text += "...";
    }
    return text;
}

std::optional<std::uint32_t> elementBytesOf(std::string_view dtype) {
    if (dtype == "float32") {
        return 4;
    }
    if (dtype == "float16" || dtype == "bfloat16") {
        return 2;
    }
    return std::nullopt;
}

std::string familyNames() {
    std::string names;
    for (const ModelFamily& family : modelFamilies()) {
        names += (names.empty() ? "" : ", ") + std::string(family.modelType);
    }
    return names;
}

class ConfigReader {
  public:
    explicit ConfigReader(const JsonText::JsonDocument& document) : document_(document) {
        const Json& root = document.root;
        const auto nested = root.find("text_config");
        if (nested != root.end() && nested->is_object()) {
            model_ = &*nested;
            prefix_ = "/text_config";
        }
    }

    /// The value of `key` in the language model, else at the top; null when
    /// neither has it.
    [[nodiscard]] std::pair<const Json*, ConfigKey> find(std::string_view key) const {
        const std::string name(key);
        if (model_ != nullptr) {
            if (const auto found = model_->find(name); found != model_->end()) {
                return {&*found, keyAt(prefix_ + "/" + name)};
            }
        }
        const Json& root = document_.root;
        if (const auto found = root.find(name); found != root.end()) {
            return {&*found, keyAt("/" + name)};
        }
        return {nullptr, {}};
    }

    [[nodiscard]] ConfigKey keyAt(std::string pointer) const {
        ConfigKey key{std::move(pointer), 0, 0};
        if (const auto found = document_.keyPositions.find(key.pointer);
            found != document_.keyPositions.end()) {
            key.line = found->second.line;
            key.column = found->second.column;
        }
        return key;
    }

    /// A whole number, absent when the key is missing or null; an error for
    /// anything else.
    [[nodiscard]] std::optional<std::uint64_t> whole(std::string_view key) {
        const auto [value, at] = find(key);
        if (value == nullptr || value->is_null()) {
            return std::nullopt;
        }
        if (!value->is_number_unsigned()) {
            fail(at, "expected a whole number, found " + quoted(*value));
            return std::nullopt;
        }
        return value->get<std::uint64_t>();
    }

    /// A whole number of at most `most`.
    [[nodiscard]] std::optional<std::uint64_t> whole(std::string_view key, std::uint64_t most) {
        const std::optional<std::uint64_t> value = whole(key);
        if (value && *value > most) {
            fail(find(key).second, std::to_string(*value) + " is more than the " +
                                       std::to_string(most) + " this estimator takes");
            return std::nullopt;
        }
        return value;
    }

    [[nodiscard]] std::optional<bool> flag(std::string_view key) {
        const auto [value, at] = find(key);
        if (value == nullptr || value->is_null()) {
            return std::nullopt;
        }
        if (!value->is_boolean()) {
            fail(at, "expected true or false, found " + quoted(*value));
            return std::nullopt;
        }
        return value->get<bool>();
    }

    [[nodiscard]] std::optional<std::string> text(std::string_view key) {
        const auto [value, at] = find(key);
        if (value == nullptr || value->is_null()) {
            return std::nullopt;
        }
        if (!value->is_string()) {
            fail(at, "expected a string, found " + quoted(*value));
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    /// A list of whole numbers.
    [[nodiscard]] std::vector<std::uint64_t> wholeList(std::string_view key) {
        std::vector<std::uint64_t> list;
        const auto [value, at] = find(key);
        if (value == nullptr || value->is_null()) {
            return list;
        }
        if (!value->is_array()) {
            fail(at, "expected a list of whole numbers, found " + quoted(*value));
            return list;
        }
        for (const Json& element : *value) {
            if (!element.is_number_unsigned()) {
                fail(at, "expected a list of whole numbers, found " + quoted(element));
                return {};
            }
            list.push_back(element.get<std::uint64_t>());
        }
        return list;
    }

    void fail(const ConfigKey& at, std::string message, std::vector<std::string> notes = {}) {
        if (!error_) {
            error_ = ConfigProblem{at.pointer + ": " + std::move(message), at, std::move(notes)};
        }
    }
    [[nodiscard]] const std::optional<ConfigProblem>& error() const { return error_; }

  private:
    const JsonText::JsonDocument& document_;
    const Json* model_ = nullptr;
    std::string prefix_;
    std::optional<ConfigProblem> error_;
};

/// A feature key that is set, which `family` does not read.
void refuseUnread(ConfigReader& reader, const ModelFamily& family) {
    const auto reads = [&family](std::string_view key) {
        return key == family.attentionBiasKey || key == family.mlpBiasKey ||
               key == family.expertsKey || key == family.expertFfnKey ||
               key == family.sharedExpertFfnKey ||
               (key == "num_experts_per_tok" && !family.expertsKey.empty());
    };
    const std::string row = "the '" + std::string(family.modelType) + "' family";
    for (const std::span<const FeatureKey> keys :
         {std::span<const FeatureKey>(kExpertKeys), std::span<const FeatureKey>(kLatentKeys),
          std::span<const FeatureKey>(kBiasKeys)}) {
        for (const FeatureKey& feature : keys) {
            const auto [value, at] = reader.find(feature.key);
            if (value != nullptr && isSet(*value) && !reads(feature.key)) {
                reader.fail(at, std::string(feature.feature) + " is not part of " + row +
                                    "'s layout",
                            {kCheckpointNote});
            }
        }
    }
    if (family.sliding == SlidingRule::none) {
        const auto [value, at] = reader.find("sliding_window");
        if (value != nullptr && isSet(*value)) {
            reader.fail(at, "a sliding window is not part of " + row + "'s layout",
                        {kCheckpointNote});
        }
    }
}

void readLayerTypes(ConfigReader& reader, ModelConfig& config) {
    const auto [value, at] = reader.find("layer_types");
    if (value == nullptr || value->is_null()) {
        return;
    }
    config.layerTypesKey = at;
    if (!value->is_array()) {
        reader.fail(at, "expected a list of layer types, found " + quoted(*value));
        return;
    }
    std::vector<AttentionKind> kinds;
    for (const Json& element : *value) {
        const std::string kind = element.is_string() ? element.get<std::string>() : "";
        if (kind == "full_attention") {
            kinds.push_back(AttentionKind::full);
        } else if (kind == "sliding_attention") {
            kinds.push_back(AttentionKind::sliding);
        } else {
            reader.fail(at, "layer type " + quoted(element) + " is not modelled",
                        {"the layer types: \"full_attention\", \"sliding_attention\"",
                         kCheckpointNote});
            return;
        }
    }
    config.layerTypes = std::move(kinds);
}

/// max_position_embeddings, stretched by a rope_scaling factor in the
/// families whose configs write the unstretched figure.
void readContextLimit(ConfigReader& reader, ModelConfig& config) {
    const auto [value, at] = reader.find("max_position_embeddings");
    config.contextLimit = reader.whole("max_position_embeddings");
    config.maxPositions = config.contextLimit;
    config.contextLimitKey = at;
    if (!config.contextLimit) {
        return;
    }
    config.contextLimitSource = "max_position_embeddings " + std::to_string(*config.contextLimit);
    const auto [scaling, scalingAt] = reader.find("rope_scaling");
    if (config.family == nullptr || !config.family->ropeExtendsContext || scaling == nullptr ||
        !scaling->is_object()) {
        return;
    }
    const auto factor = scaling->find("factor");
    if (factor == scaling->end() || !factor->is_number() || !(factor->get<double>() > 1.0)) {
        return;
    }
    std::uint64_t base = *config.contextLimit;
    if (const auto original = scaling->find("original_max_position_embeddings");
        original != scaling->end() && original->is_number_unsigned()) {
        base = original->get<std::uint64_t>();
    }
    const double stretched = std::floor(static_cast<double>(base) * factor->get<double>());
    if (stretched >= 18446744073709551616.0) {
        reader.fail(scalingAt, "the stretched context overflows");
        return;
    }
    const auto limit = static_cast<std::uint64_t>(stretched);
    if (limit > *config.contextLimit) {
        config.contextLimit = limit;
        config.contextLimitKey = scalingAt;
        config.contextLimitSource += " stretched by rope_scaling factor " + quoted(*factor) +
                                     " to " + std::to_string(limit);
    }
}

/// A list of module names a quantized checkpoint keeps at full width: only
/// those that are full width here anyway.
void readUnconverted(ConfigReader& reader, const Json& quantization, const ConfigKey& at) {
    for (const char* key : {"modules_to_not_convert", "ignored_layers"}) {
        const auto found = quantization.find(key);
        if (found == quantization.end() || found->is_null()) {
            continue;
        }
        const ConfigKey keyAt = reader.keyAt(at.pointer + "/" + key);
        if (!found->is_array()) {
            reader.fail(keyAt, "expected a list of module names, found " + quoted(*found));
            return;
        }
        for (const Json& module : *found) {
            const std::string name = module.is_string() ? module.get<std::string>() : "";
            const bool fullWidth =
                std::find(kFullWidthModules.begin(), kFullWidthModules.end(), name) !=
                    kFullWidthModules.end() ||
                name.find("vision") != std::string::npos || name.find("visual") != std::string::npos;
            if (!fullWidth) {
                reader.fail(keyAt, "module " + quoted(module) + " kept at full width is not modelled",
                            {kCheckpointNote});
                return;
            }
        }
    }
}

/// quantization_config: the methods whose packing is modelled; any other is
/// a problem that only a checkpoint folder overcomes.
void readQuantization(ConfigReader& reader, ModelConfig& config) {
    const std::pair<const Json*, ConfigKey> entry = reader.find("quantization_config");
    const Json* value = entry.first;
    const ConfigKey& at = entry.second;
    if (value == nullptr || value->is_null()) {
        return;
    }
    if (!value->is_object()) {
        reader.fail(at, "expected an object, found " + quoted(*value));
        return;
    }
    const Json& q = *value;
    const auto member = [&](const char* key) -> const Json* {
        const auto found = q.find(key);
        return found != q.end() && !found->is_null() ? &*found : nullptr;
    };
    const auto memberAt = [&](const char* key) { return reader.keyAt(at.pointer + "/" + key); };
    const Json* method = member("quant_method");
    const std::string name = method != nullptr && method->is_string() ? method->get<std::string>()
                                                                      : std::string();
    const auto unmodelled = [&](const char* key, const std::string& what) {
        config.needsCheckpoint =
            ConfigProblem{memberAt(key).pointer + ": " + what + " is not modelled",
                          memberAt(key),
                          {"modelled: awq (gemm, 4 bits), gptq (2, 3, 4 or 8 bits), fp8",
                           kCheckpointNote}};
    };
    Estimation::Quantization& out = config.quantization;
    if (name == "awq" || name == "gptq") {
        out.method = name == "awq" ? QuantMethod::awq : QuantMethod::gptq;
        const Json* bits = member("bits") != nullptr ? member("bits") : member("w_bit");
        const Json* group = member("group_size") != nullptr ? member("group_size")
                                                            : member("q_group_size");
        if (bits == nullptr || !bits->is_number_integer()) {
            reader.fail(memberAt("bits"), "expected the bits of the packed weights");
            return;
        }
        const auto width = bits->get<std::int64_t>();
        const bool packed = out.method == QuantMethod::awq
                                ? width == 4
                                : (width == 2 || width == 3 || width == 4 || width == 8);
        if (!packed) {
            unmodelled("bits", name + " at " + quoted(*bits) + " bits");
            return;
        }
        out.bits = static_cast<std::uint32_t>(width);
        if (group != nullptr) {
            if (!group->is_number_integer() || group->get<std::int64_t>() == 0 ||
                group->get<std::int64_t>() < -1) {
                reader.fail(memberAt("group_size"),
                            "expected a group size, or -1 for one group, found " + quoted(*group));
                return;
            }
            if (group->get<std::int64_t>() > 0) {
                out.groupSize = group->get<std::uint64_t>();
            }
        }
        const Json* version = member("version");
        if (out.method == QuantMethod::awq && version != nullptr &&
            !(version->is_string() && (version->get<std::string>() == "gemm" ||
                                       version->get<std::string>() == "GEMM"))) {
            unmodelled("version", "awq packing " + quoted(*version));
            return;
        }
        const Json* format = member("checkpoint_format");
        if (format != nullptr && !(format->is_string() && (format->get<std::string>() == "gptq" ||
                                                           format->get<std::string>() == "gptq_v2"))) {
            unmodelled("checkpoint_format", "gptq packing " + quoted(*format));
            return;
        }
    } else if (name == "fp8") {
        out.method = QuantMethod::fp8;
        if (const Json* block = member("weight_block_size")) {
            if (!block->is_array() || block->size() != 2 || !(*block)[0].is_number_unsigned() ||
                !(*block)[1].is_number_unsigned() || (*block)[0] == 0 || (*block)[1] == 0) {
                reader.fail(memberAt("weight_block_size"),
                            "expected two positive whole numbers, found " + quoted(*block));
                return;
            }
            out.blockRows = (*block)[0].get<std::uint64_t>();
            out.blockColumns = (*block)[1].get<std::uint64_t>();
        }
        const Json* scheme = member("activation_scheme");
        out.inputScales = scheme != nullptr && scheme->is_string() &&
                          scheme->get<std::string>() == "static";
    } else {
        unmodelled("quant_method",
                   method == nullptr ? std::string("a quantization without quant_method")
                                     : "quantization method " + quoted(*method));
        return;
    }
    readUnconverted(reader, q, at);
}

void readFamily(ConfigReader& reader, ModelConfig& config) {
    const auto [value, at] = reader.find("model_type");
    config.modelTypeKey = at;
    const std::optional<std::string> type = reader.text("model_type");
    if (!type) {
        config.needsCheckpoint =
            ConfigProblem{"the model config names no model_type, so its layout is unknown",
                          std::nullopt,
                          {"the families: " + familyNames(), kCheckpointNote}};
        return;
    }
    config.modelType = *type;
    config.family = findModelFamily(*type);
    if (config.family == nullptr) {
        config.needsCheckpoint = ConfigProblem{at.pointer + ": unknown model family '" + *type + "'",
                                               at,
                                               {"the families: " + familyNames(), kCheckpointNote}};
    }
}

void readExperts(ConfigReader& reader, ModelConfig& config) {
    const ModelFamily* family = config.family;
    if (family == nullptr || family->experts == ExpertRule::none) {
        return;
    }
    config.experts = reader.whole(family->expertsKey);
    config.expertsPerToken = reader.whole("num_experts_per_tok");
    config.expertFfnDim = reader.whole(family->expertFfnKey);
    if (!family->sharedExpertFfnKey.empty()) {
        config.sharedExpertFfnDim = reader.whole(family->sharedExpertFfnKey);
    }
    if (family->experts == ExpertRule::sparseStep) {
        config.denseLayers = reader.wholeList("mlp_only_layers");
        config.sparseStep = reader.whole("decoder_sparse_step").value_or(1);
        if (config.sparseStep == 0) {
            reader.fail(reader.find("decoder_sparse_step").second, "must be positive");
        }
    }
}

void readSliding(ConfigReader& reader, ModelConfig& config) {
    readLayerTypes(reader, config);
    config.slidingWindow = reader.whole("sliding_window");
    config.slidingWindowKey = reader.find("sliding_window").second;
    if (config.family != nullptr && config.family->sliding == SlidingRule::upperLayers) {
        config.useSlidingWindow = reader.flag("use_sliding_window").value_or(false);
        config.maxWindowLayers = reader.whole("max_window_layers");
    }
    if (config.family != nullptr && config.family->sliding == SlidingRule::period) {
        config.slidingPattern = reader.whole("sliding_window_pattern").value_or(6);
        if (config.slidingPattern == 0) {
            reader.fail(reader.find("sliding_window_pattern").second, "must be positive");
        }
    }
}

} // namespace

ModelConfigResult parseModelConfig(std::string_view json) {
    ModelConfigResult result;
    JsonText::JsonReadResult read = JsonText::readJsonDocument(json, kMaxConfigDepth, kPlacedKeyDepth);
    if (!read.document) {
        // The offset is one past the last byte read: the line and column of that byte.
        const TextPosition at = positionBefore(json, read.error.offset);
        result.error = {read.error.message, ConfigKey{"", at.line, at.column}, {}};
        return result;
    }
    if (!read.document->root.is_object()) {
        result.error.message = "a model config is a JSON object";
        return result;
    }

    ConfigReader reader(*read.document);
    ModelConfig config;
    readFamily(reader, config);
    if (config.family != nullptr) {
        refuseUnread(reader, *config.family);
    }
    config.vocabSize = reader.whole("vocab_size");
    config.layers = reader.whole("num_hidden_layers", kMaxModelLayers);
    config.modelDim = reader.whole("hidden_size");
    config.ffnDim = reader.whole("intermediate_size");
    config.queryHeads = reader.whole("num_attention_heads");
    config.kvHeads = reader.whole("num_key_value_heads");
    config.headDim = reader.whole("head_dim");
    readExperts(reader, config);
    readSliding(reader, config);
    readContextLimit(reader, config);
    config.tiedEmbeddings = reader.flag("tie_word_embeddings");
    if (config.family != nullptr) {
        if (!config.family->attentionBiasKey.empty()) {
            config.attentionBias = reader.flag(config.family->attentionBiasKey).value_or(false);
        }
        if (!config.family->mlpBiasKey.empty()) {
            config.mlpBias = reader.flag(config.family->mlpBiasKey).value_or(false);
        }
    } else if (const std::optional<std::uint64_t> rank = reader.whole("kv_lora_rank")) {
        // Only a checkpoint reaches here: the weights are its headers', and
        // the cache is the compressed one serving stacks keep.
        const std::optional<std::uint64_t> rope = reader.whole("qk_rope_head_dim");
        if (!rope) {
            reader.fail(reader.find("kv_lora_rank").second,
                        "multi-latent attention needs qk_rope_head_dim beside it");
        } else {
            config.latentCacheWidth = *rank + *rope;
        }
    }
    // Newer configs say "dtype" where older ones say "torch_dtype".
    for (const std::string_view key : {"torch_dtype", "dtype"}) {
        if (const std::optional<std::string> dtype = reader.text(key)) {
            config.elementBytes = elementBytesOf(*dtype);
            if (!config.elementBytes) {
                config.unknownDtype = *dtype;
            }
            break;
        }
    }
    readQuantization(reader, config);
    for (const std::string_view part : kOtherParts) {
        const auto [value, at] = reader.find(part);
        if (value != nullptr && isSet(*value) && !config.otherParts) {
            config.otherParts = at;
        }
    }
    if (reader.error()) {
        result.error = *reader.error();
        return result;
    }
    result.config = std::move(config);
    return result;
}


namespace {

/// Which layers slide, by the family's rule, when the config lists none.
bool slidesByRule(const ModelConfig& config, std::uint64_t layer) {
    switch (config.family != nullptr ? config.family->sliding : SlidingRule::none) {
    case SlidingRule::none:
        return false;
    case SlidingRule::everyLayer:
        return true;
    case SlidingRule::upperLayers:
        return config.useSlidingWindow && layer >= config.maxWindowLayers.value_or(0);
    case SlidingRule::alternate:
        return layer % 2 == 0;
    case SlidingRule::period:
        return (layer + 1) % config.slidingPattern != 0;
    }
    return false;
}

bool sparseByRule(const ModelConfig& config, std::uint64_t layer) {
    if (config.family == nullptr || config.experts.value_or(0) == 0) {
        return false;
    }
    switch (config.family->experts) {
    case ExpertRule::none:
        return false;
    case ExpertRule::everyLayer:
        return true;
    case ExpertRule::sparseStep:
        return (layer + 1) % config.sparseStep == 0 &&
               std::find(config.denseLayers.begin(), config.denseLayers.end(), layer) ==
                   config.denseLayers.end();
    }
    return false;
}

/// The first of `override` and `fromConfig` that is given.
template <class T> std::optional<T> either(std::optional<T> override, std::optional<T> fromConfig) {
    return override ? override : fromConfig;
}

} // namespace

ModelProfileResult buildModelProfile(const ModelConfig& config, const ModelOverrides& overrides,
                                     bool checkpoint) {
    ModelProfileResult result;
    const auto fail = [&result](ConfigProblem problem, std::string overrideKey = {}) {
        result.error = {std::move(problem), std::move(overrideKey)};
        return result;
    };
    if (config.needsCheckpoint && !checkpoint) {
        return fail(*config.needsCheckpoint);
    }
    const ModelFamily* family = config.family;
    Estimation::ModelProfile profile;
    Estimation::ModelArchitecture& a = profile.architecture;

    // The figures the estimate needs, the system file's first.
    const auto figure = [&](std::optional<std::uint64_t> override,
                            std::optional<std::uint64_t> fromConfig, std::string_view key,
                            std::string_view overrideKey, bool needed) -> std::uint64_t {
        const std::optional<std::uint64_t> value = either(override, fromConfig);
        if (!value && needed && result.error.problem.message.empty()) {
            result.error = {{"the model config gives no " + std::string(key),
                             std::nullopt,
                             {"write " + std::string(overrideKey) +
                              " = N in the transformer table, or give " + std::string(key) +
                              " in the config"}},
                            {}};
        }
        return value.value_or(0);
    };
    const bool counted = family != nullptr && !checkpoint;
    a.vocabSize = figure(overrides.vocabSize, config.vocabSize, "vocab_size", "vocabSize", counted);
    const std::uint64_t layers =
        figure(overrides.layers, config.layers, "num_hidden_layers", "layers", true);
    a.modelDim = figure(overrides.modelDim, config.modelDim, "hidden_size", "modelDim", true);
    a.queryHeads = figure(overrides.queryHeads, config.queryHeads, "num_attention_heads",
                          "queryHeads", !config.latentCacheWidth);
    a.kvHeads = either(overrides.kvHeads, config.kvHeads).value_or(a.queryHeads);
    a.headDim = either(overrides.headDim, config.headDim)
                    .value_or(a.queryHeads != 0 ? a.modelDim / a.queryHeads : 0);
    const bool anyDense = family == nullptr || family->experts != ExpertRule::everyLayer;
    a.ffnDim = figure(overrides.ffnDim, config.ffnDim, "intermediate_size", "ffnDim",
                      counted && anyDense);
    if (!result.error.problem.message.empty()) {
        return result;
    }
    if (layers > kMaxModelLayers) {
        return fail({"layers = " + std::to_string(layers) + " is more than the " +
                         std::to_string(kMaxModelLayers) + " this estimator takes",
                     std::nullopt,
                     {}},
                    "layers");
    }

    if (family != nullptr) {
        a.family = family->modelType;
        a.layout = family->layout;
        a.layout.qkvBias = a.layout.qkvBias || config.attentionBias;
        a.layout.outputBias = a.layout.outputBias || config.attentionBias;
        a.layout.mlpBias = config.mlpBias;
        a.experts = config.experts.value_or(0);
        a.expertsPerToken = config.expertsPerToken.value_or(0);
        // Mixtral's experts are as wide as its intermediate_size says.
        a.expertFfnDim = family->expertFfnKey == "intermediate_size" ? a.ffnDim
                                                                      : config.expertFfnDim.value_or(0);
        a.sharedExpertFfnDim = config.sharedExpertFfnDim.value_or(0);
        if (a.experts != 0 && (a.expertsPerToken == 0 || a.expertFfnDim == 0) && !checkpoint) {
            return fail({"the model config gives " + std::to_string(a.experts) +
                             " experts but not num_experts_per_tok and " +
                             std::string(family->expertFfnKey),
                         config.modelTypeKey,
                         {}});
        }
    }

    if (config.layerTypes && config.layerTypes->size() != layers) {
        return fail({config.layerTypesKey.pointer + ": " +
                         std::to_string(config.layerTypes->size()) + " layer types for " +
                         std::to_string(layers) + " layers",
                     config.layerTypesKey,
                     {}});
    }
    a.slidingWindow = config.slidingWindow;
    a.layers.reserve(static_cast<std::size_t>(layers));
    for (std::uint64_t i = 0; i < layers; ++i) {
        const bool slides = config.layerTypes
                                ? (*config.layerTypes)[i] == Estimation::AttentionKind::sliding
                                : slidesByRule(config, i);
        a.layers.push_back({slides && a.slidingWindow ? Estimation::AttentionKind::sliding
                                                      : Estimation::AttentionKind::full,
                            sparseByRule(config, i)});
    }
    if (family == nullptr && config.slidingWindow && !config.layerTypes) {
        result.notes.push_back(
            {config.slidingWindowKey.pointer + ": which layers of '" + config.modelType +
                 "' slide over the window is not known: every layer's KV cache is counted for "
                 "the whole context, an upper bound",
             config.slidingWindowKey,
             {}});
    }
    a.latentCacheWidth = config.latentCacheWidth;

    if (overrides.tiedEmbeddings) {
        a.tiedEmbeddings = *overrides.tiedEmbeddings;
    } else if (config.tiedEmbeddings) {
        a.tiedEmbeddings = *config.tiedEmbeddings;
    } else if (family != nullptr && family->tiedByDefault) {
        a.tiedEmbeddings = true;
        if (!checkpoint) {
            result.notes.push_back({config.modelTypeKey.pointer +
                                        ": no tie_word_embeddings: the '" +
                                        std::string(family->modelType) +
                                        "' family ties its output head to the embeddings",
                                    config.modelTypeKey,
                                    {}});
        }
    }

    profile.contextLength = either(overrides.contextLength, config.maxPositions).value_or(0);
    profile.contextLimit = config.contextLimit;
    if (profile.contextLength == 0) {
        return fail({"no context length: the model config gives no max_position_embeddings",
                     std::nullopt,
                     {"write contextLength = N in the transformer table"}});
    }
    if (config.contextLimit && profile.contextLength > *config.contextLimit) {
        return fail({"a context of " + std::to_string(profile.contextLength) +
                         " tokens is past the model's limit of " +
                         std::to_string(*config.contextLimit),
                     std::nullopt,
                     {"the limit is the model config's " + config.contextLimitSource + " (" +
                      config.contextLimitKey.pointer + ", line " +
                      std::to_string(config.contextLimitKey.line) + ")"}},
                    "contextLength");
    }

    if (config.unknownDtype && (!overrides.weightBytes || !overrides.kvBytes)) {
        return fail({"model config torch_dtype '" + *config.unknownDtype +
                         "' has no width the estimator knows",
                     std::nullopt,
                     {"give weightBytes and kvBytes in the transformer table"}});
    }
    profile.weightBytes = either(overrides.weightBytes, config.elementBytes).value_or(0);
    profile.kvBytes = either(overrides.kvBytes, config.elementBytes).value_or(0);
    profile.quantization = config.quantization;
    if (config.otherParts && !checkpoint) {
        result.notes.push_back({config.otherParts->pointer +
                                    ": the model's other parts are not counted, only its "
                                    "language model",
                                *config.otherParts,
                                {kCheckpointNote}});
    }
    result.profile = std::move(profile);
    return result;
}

} // namespace Core::SystemFile

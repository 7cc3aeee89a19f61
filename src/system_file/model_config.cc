// Reading config.json with nlohmann/json. A model nests its language model
// under "text_config" when it has other parts; the figures come from there,
// and what the nested object leaves out (torch_dtype, typically) from the top.
#include "system_file/model_config.h"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "common/text_position.h"

namespace Core::SystemFile {
namespace {

using Json = nlohmann::json;

/// Keys of architectures whose memory the dense formula does not describe:
/// counting them as dense would give a silently wrong figure.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kRefusedKeys = {{
    {"num_local_experts", "a mixture of experts"},
    {"num_experts", "a mixture of experts"},
    {"n_routed_experts", "a mixture of experts"},
    {"num_experts_per_tok", "a mixture of experts"},
    {"moe_intermediate_size", "a mixture of experts"},
    {"n_shared_experts", "a mixture of experts"},
    {"kv_lora_rank", "multi-latent attention"},
    {"q_lora_rank", "multi-latent attention"},
    {"qk_rope_head_dim", "multi-latent attention"},
}};

/// Keys that leave the estimate conservative or off by well under 1 %.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kNotedKeys = {{
    {"attention_bias", "attention biases are not counted; the weights are low by well under 1 %"},
    {"mlp_bias", "feed-forward biases are not counted; the weights are low by well under 1 %"},
    {"qkv_bias", "attention biases are not counted; the weights are low by well under 1 %"},
    {"sliding_window",
     "every layer's KV cache is counted for the whole context, so the KV cache is an upper bound"},
}};

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

class ConfigReader {
  public:
    explicit ConfigReader(const Json& root) : root_(root) {
        const auto nested = root.find("text_config");
        if (nested != root.end() && nested->is_object()) {
            model_ = &*nested;
            prefix_ = "/text_config";
        }
    }

    /// The value of `key` in the language model, else at the top; null when
    /// neither has it.
    [[nodiscard]] std::pair<const Json*, std::string> find(std::string_view key) const {
        const std::string name(key);
        if (model_ != nullptr) {
            if (const auto found = model_->find(name); found != model_->end()) {
                return {&*found, prefix_ + "/" + name};
            }
        }
        if (const auto found = root_.find(name); found != root_.end()) {
            return {&*found, "/" + name};
        }
        return {nullptr, {}};
    }

    /// A whole number, absent when the key is missing or null; an error for
    /// anything else.
    [[nodiscard]] std::optional<std::uint64_t> whole(std::string_view key) {
        const auto [value, pointer] = find(key);
        if (value == nullptr || value->is_null()) {
            return std::nullopt;
        }
        if (!value->is_number_unsigned()) {
            fail(pointer + ": expected a whole number, found " + value->dump());
            return std::nullopt;
        }
        return value->get<std::uint64_t>();
    }

    [[nodiscard]] bool flag(std::string_view key) {
        const auto [value, pointer] = find(key);
        if (value == nullptr || value->is_null()) {
            return false;
        }
        if (!value->is_boolean()) {
            fail(pointer + ": expected true or false, found " + value->dump());
            return false;
        }
        return value->get<bool>();
    }

    void fail(std::string message) {
        if (!error_) {
            error_ = std::move(message);
        }
    }
    [[nodiscard]] const std::optional<std::string>& error() const { return error_; }

  private:
    const Json& root_;
    const Json* model_ = nullptr;
    std::string prefix_;
    std::optional<std::string> error_;
};

std::optional<std::uint32_t> elementBytesOf(std::string_view dtype) {
    if (dtype == "float32") {
        return 4;
    }
    if (dtype == "float16" || dtype == "bfloat16") {
        return 2;
    }
    return std::nullopt;
}

/// nlohmann's text without its "[json.exception...] parse error at line L,
/// column C: " prefix, which the position already says.
std::string syntaxMessage(const std::string& what) {
    const std::size_t colon = what.find(": ");
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

} // namespace

ModelConfigResult parseModelConfig(std::string_view json) {
    ModelConfigResult result;
    Json root;
    try {
        root = Json::parse(json.begin(), json.end());
    } catch (const Json::parse_error& error) {
        // `byte` is one past the last byte read: the line and column of that byte.
        const TextPosition at = positionBefore(json, error.byte);
        result.error = {syntaxMessage(error.what()), at.line, at.column};
        return result;
    }
    if (!root.is_object()) {
        result.error.message = "a model config is a JSON object";
        return result;
    }

    ConfigReader reader(root);
    for (const auto& [key, feature] : kRefusedKeys) {
        const auto [value, pointer] = reader.find(key);
        if (value != nullptr && isSet(*value)) {
            result.error.message = pointer + ": " + std::string(feature) +
                                   " is not covered by the estimator";
            return result;
        }
    }

    ModelConfig config;
    config.vocabSize = reader.whole("vocab_size");
    config.layers = reader.whole("num_hidden_layers");
    config.modelDim = reader.whole("hidden_size");
    config.ffnDim = reader.whole("intermediate_size");
    config.queryHeads = reader.whole("num_attention_heads");
    config.kvHeads = reader.whole("num_key_value_heads");
    config.headDim = reader.whole("head_dim");
    config.contextLength = reader.whole("max_position_embeddings");
    config.tiedEmbeddings = reader.flag("tie_word_embeddings");
    if (!config.kvHeads) {
        config.kvHeads = config.queryHeads;
    }
    if (!config.headDim && config.modelDim && config.queryHeads && *config.queryHeads != 0) {
        config.headDim = *config.modelDim / *config.queryHeads;
    }
    // Newer configs say "dtype" where older ones say "torch_dtype".
    for (const std::string_view key : {"torch_dtype", "dtype"}) {
        const auto [value, pointer] = reader.find(key);
        if (value == nullptr || value->is_null()) {
            continue;
        }
        if (!value->is_string()) {
            reader.fail(pointer + ": expected a string, found " + value->dump());
            break;
        }
        const std::string dtype = value->get<std::string>();
        config.elementBytes = elementBytesOf(dtype);
        if (!config.elementBytes) {
            config.unknownDtype = dtype;
        }
        break;
    }
    for (const auto& [key, note] : kNotedKeys) {
        const auto [value, pointer] = reader.find(key);
        // A sliding window that the model switches off is no approximation.
        if (key == "sliding_window") {
            const auto [use, usePointer] = reader.find("use_sliding_window");
            if (use != nullptr && use->is_boolean() && !use->get<bool>()) {
                continue;
            }
        }
        if (value != nullptr && isSet(*value)) {
            config.notes.push_back(pointer + ": " + std::string(note));
        }
    }
    if (reader.error()) {
        result.error.message = *reader.error();
        return result;
    }
    result.config = std::move(config);
    return result;
}

} // namespace Core::SystemFile

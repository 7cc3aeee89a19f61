// One row per family. A row is checked against the published parameter
// count of a model of the family (tests/system_file/model_families_test.cc).
#include "system_file/model_families.h"

#include <algorithm>
#include <array>

namespace Core::SystemFile {
namespace {

using Estimation::LayerLayout;

constexpr LayerLayout kPlain{};
constexpr LayerLayout kQkvBias{.qkvBias = true};
constexpr LayerLayout kQkNorms{.qkNorms = true};
constexpr LayerLayout kFourNorms{.normsPerLayer = 4};
constexpr LayerLayout kFourNormsQkNorms{.normsPerLayer = 4, .qkNorms = true};
constexpr LayerLayout kFused{.fusedQkv = true, .fusedGateUp = true};
constexpr LayerLayout kQkvBiasSharedGate{.qkvBias = true, .sharedExpertGate = true};

constexpr std::array kFamilies = {
    ModelFamily{.modelType = "gemma",
                .layout = kPlain,
                .attentionBiasKey = "attention_bias",
                .tiedByDefault = true},
    ModelFamily{.modelType = "gemma2",
                .layout = kFourNorms,
                .attentionBiasKey = "attention_bias",
                .tiedByDefault = true,
                .sliding = SlidingRule::alternate},
    ModelFamily{.modelType = "gemma3_text",
                .layout = kFourNormsQkNorms,
                .attentionBiasKey = "attention_bias",
                .tiedByDefault = true,
                .sliding = SlidingRule::period},
    ModelFamily{.modelType = "llama",
                .layout = kPlain,
                .attentionBiasKey = "attention_bias",
                .mlpBiasKey = "mlp_bias"},
    ModelFamily{.modelType = "mistral", .layout = kPlain, .sliding = SlidingRule::everyLayer},
    ModelFamily{.modelType = "mixtral",
                .layout = kPlain,
                .sliding = SlidingRule::everyLayer,
                .experts = ExpertRule::everyLayer,
                .expertsKey = "num_local_experts",
                .expertFfnKey = "intermediate_size"},
    ModelFamily{.modelType = "phi3", .layout = kFused, .sliding = SlidingRule::everyLayer},
    ModelFamily{.modelType = "qwen2",
                .layout = kQkvBias,
                .sliding = SlidingRule::upperLayers,
                .ropeExtendsContext = true},
    ModelFamily{.modelType = "qwen2_moe",
                .layout = kQkvBiasSharedGate,
                .sliding = SlidingRule::upperLayers,
                .experts = ExpertRule::sparseStep,
                .expertsKey = "num_experts",
                .expertFfnKey = "moe_intermediate_size",
                .sharedExpertFfnKey = "shared_expert_intermediate_size",
                .ropeExtendsContext = true},
    ModelFamily{.modelType = "qwen3",
                .layout = kQkNorms,
                .attentionBiasKey = "attention_bias",
                .sliding = SlidingRule::upperLayers,
                .ropeExtendsContext = true},
    ModelFamily{.modelType = "qwen3_moe",
                .layout = kQkNorms,
                .attentionBiasKey = "attention_bias",
                .sliding = SlidingRule::upperLayers,
                .experts = ExpertRule::sparseStep,
                .expertsKey = "num_experts",
                .expertFfnKey = "moe_intermediate_size",
                .ropeExtendsContext = true},
};

constexpr bool sortedByName() {
    for (std::size_t i = 1; i < kFamilies.size(); ++i) {
        if (!(kFamilies[i - 1].modelType < kFamilies[i].modelType)) {
            return false;
        }
    }
    return true;
}
static_assert(sortedByName(), "the family table is kept in name order");

} // namespace

std::span<const ModelFamily> modelFamilies() { return kFamilies; }

const ModelFamily* findModelFamily(std::string_view modelType) {
    const auto* const found = std::lower_bound(
        kFamilies.begin(), kFamilies.end(), modelType,
        [](const ModelFamily& family, std::string_view name) { return family.modelType < name; });
    return found != kFamilies.end() && found->modelType == modelType ? found : nullptr;
}

} // namespace Core::SystemFile

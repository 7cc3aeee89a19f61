// The families of transformer a model's config.json may name by model_type,
// as data: what each layer holds, the keys that say so, the default for tied
// embeddings, which layers slide over a window and which route to experts.
// A new family is a new row, not a new branch.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "estimation/model_profile.h"

namespace Core::SystemFile {

/// Which layers attend over a sliding window, when the config gives no
/// `layer_types` list.
enum class SlidingRule : std::uint8_t {
    none,        ///< every layer attends over the whole context
    everyLayer,  ///< every layer, when `sliding_window` is set
    upperLayers, ///< with `use_sliding_window`, the layers from `max_window_layers` on
    alternate,   ///< layers 0, 2, 4, ...
    period,      ///< all but every `sliding_window_pattern`-th layer (default 6)
};

/// Which layers route their MLP to experts.
enum class ExpertRule : std::uint8_t {
    none,
    everyLayer,
    sparseStep, ///< all but `mlp_only_layers`, every `decoder_sparse_step`-th
};

struct ModelFamily {
    std::string_view modelType = {};
    /// Biases that the family always carries are set here; those a key
    /// switches on are named below.
    Estimation::LayerLayout layout{};
    std::string_view attentionBiasKey = {}; ///< q, k, v and o biases; empty: none
    std::string_view mlpBiasKey = {};       ///< gate, up and down biases; empty: none
    bool tiedByDefault = false;
    SlidingRule sliding = SlidingRule::none;
    ExpertRule experts = ExpertRule::none;
    std::string_view expertsKey = {};         ///< routed experts per sparse layer
    std::string_view expertFfnKey = {};       ///< an expert's MLP width
    std::string_view sharedExpertFfnKey = {}; ///< empty: no shared expert
    /// A rope_scaling factor stretches max_position_embeddings; families
    /// that write the stretched figure there already do not.
    bool ropeExtendsContext = false;
};

/// Every family, in name order.
[[nodiscard]] std::span<const ModelFamily> modelFamilies();

/// The family of a model_type, or null.
[[nodiscard]] const ModelFamily* findModelFamily(std::string_view modelType);

} // namespace Core::SystemFile

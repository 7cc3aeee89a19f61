// A transformer's figures from the model's own config.json: the published
// parameter counts of each family, the weights as a quantized checkpoint packs
// them, the KV cache of sliding layers, the context a model takes, overrides
// from the system file, and what is refused, at its key in the config.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "estimation/estimators.h"
#include "system_file/system_file.h"

namespace Core::SystemFile {
namespace {

std::string transformerSystem(const std::string& profileLines, std::uint32_t sessions = 1) {
    return "id = \"x\"\n[[engines]]\nid = \"t\"\nclass = \"transformer\"\n"
           "semantic_api_version = 1\n[engines.workload]\nsessions = " +
           std::to_string(sessions) + "\n[engines.workload.transformer]\n" + profileLines;
}

/// The system read with its configs from `files`, else from disk.
LoadedSystem load(const std::string& text, std::map<std::string, std::string> files = {}) {
    return parseSystemText(text, "examples/system.toml",
                           [files = std::move(files)](const std::string& path) {
                               if (const auto found = files.find(path); found != files.end()) {
                                   return found->second;
                               }
                               std::ifstream in(path, std::ios::binary);
                               if (!in) {
                                   throw std::runtime_error("no such file");
                               }
                               std::ostringstream content;
                               content << in.rdbuf();
                               return content.str();
                           });
}

const Estimation::ModelProfile& profileOf(const LoadedSystem& loaded) {
    return std::get<Estimation::ModelProfile>(loaded.workloads.at(0).spec.profile);
}

Estimation::ResourceEstimate estimateOf(const LoadedSystem& loaded) {
    Estimation::EstimateResult result =
        Estimation::estimateWorkload(loaded.workloads.at(0).spec.profile);
    EXPECT_TRUE(result.estimate) << (result.errors.empty() ? "" : result.errors.front());
    return result.estimate.value_or(Estimation::ResourceEstimate{});
}

/// A small config of `family` with `extra` keys, for the cases below.
std::string smallConfig(const std::string& family, const std::string& extra = "") {
    return R"({"model_type": ")" + family + R"(", "vocab_size": 10, "num_hidden_layers": 4,
        "hidden_size": 8, "intermediate_size": 16, "num_attention_heads": 2,
        "max_position_embeddings": 32, "torch_dtype": "bfloat16")" +
           extra + "}";
}

class ModelConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(TALVEX_SOURCE_DIR); }
};

TEST_F(ModelConfigTest, ParameterCountsAndWeightsAreThePublishedOnes) {
    struct Published {
        std::uint64_t parameters;
        std::uint64_t active; ///< a mixture of experts' per token; else the parameters
        std::uint64_t weights;
    };
    const std::map<std::string, Published> published = {
        {"llama-2-7b.json", {6738415616ULL, 6738415616ULL, 13476831232ULL}},
        {"llama-2-70b.json", {68976648192ULL, 68976648192ULL, 137953296384ULL}},
        {"llama-3-8b.json", {8030261248ULL, 8030261248ULL, 16060522496ULL}},
        {"llama-3.2-1b.json", {1235814400ULL, 1235814400ULL, 2471628800ULL}},
        {"tinyllama-1.1b.json", {1100048384ULL, 1100048384ULL, 2200096768ULL}},
        {"smollm2-360m.json", {361821120ULL, 361821120ULL, 723642240ULL}},
        {"mistral-7b-v0.1.json", {7241732096ULL, 7241732096ULL, 14483464192ULL}},
        {"gemma-2b.json", {2506172416ULL, 2506172416ULL, 5012344832ULL}},
        {"gemma-2-9b.json", {9241705984ULL, 9241705984ULL, 18483411968ULL}},
        {"gemma-3-1b.json", {999885952ULL, 999885952ULL, 1999771904ULL}},
        {"phi-3-mini-4k.json", {3821079552ULL, 3821079552ULL, 7642159104ULL}},
        {"qwen2.5-7b-instruct.json", {7615616512ULL, 7615616512ULL, 15231233024ULL}},
        {"qwen3-8b.json", {8190735360ULL, 8190735360ULL, 16381470720ULL}},
        {"mixtral-8x7b.json", {46702792704ULL, 12879925248ULL, 93405585408ULL}},
        {"qwen3-30b-a3b.json", {30532122624ULL, 3353032704ULL, 61064245248ULL}},
        {"qwen1.5-moe-a2.7b.json", {14315784192ULL, 2689173504ULL, 28631568384ULL}},
        // Packed 4-bit projections with float16 scales (and zeros, and
        // GPTQ's g_idx); fp8 projections with a float32 scale per 128 x 128.
        {"qwen2.5-7b-instruct-awq.json", {7615616512ULL, 7615616512ULL, 5570747392ULL}},
        {"llama-3.1-8b-instruct-gptq-int4.json", {8030261248ULL, 8030261248ULL, 5732835328ULL}},
        {"qwen3-8b-fp8.json", {8190735360ULL, 8190735360ULL, 9437399040ULL}},
    };
    for (const auto& [file, figures] : published) {
        SCOPED_TRACE(file);
        const LoadedSystem loaded = load(transformerSystem("config = \"models/" + file + "\"\n"));
        ASSERT_TRUE(loaded.readable()) << loaded.findings.front().message;
        EXPECT_TRUE(checkSystem(loaded).empty() ||
                    checkSystem(loaded).front().kind == FindingKind::warning);
        const std::optional<Estimation::ModelParameters> counted =
            Estimation::modelParameters(profileOf(loaded));
        ASSERT_TRUE(counted);
        EXPECT_EQ(counted->total, figures.parameters);
        EXPECT_EQ(counted->active, figures.active);
        EXPECT_EQ(estimateOf(loaded).weights, Estimation::ByteRange::exact(figures.weights));
        EXPECT_EQ(loaded.workloads[0].model_config, "models/" + file);
    }
}

TEST_F(ModelConfigTest, ALlamaConfigKeepsTheFiguresOfTheHandWrittenFormula) {
    for (const char* file : {"llama-2-7b.json", "llama-3-8b.json", "llama-3.2-1b.json",
                             "smollm2-360m.json", "tinyllama-1.1b.json"}) {
        SCOPED_TRACE(file);
        const LoadedSystem loaded = load(transformerSystem(
            "config = \"models/" + std::string(file) + "\"\ncontextLength = 2048\n"));
        const Estimation::ModelArchitecture& a = profileOf(loaded).architecture;
        const Estimation::TransformerProfile byHand{
            .vocabSize = a.vocabSize,
            .layers = a.layers.size(),
            .modelDim = a.modelDim,
            .ffnDim = a.ffnDim,
            .queryHeads = a.queryHeads,
            .kvHeads = a.kvHeads,
            .headDim = a.headDim,
            .contextLength = 2048,
            .weightBytes = profileOf(loaded).weightBytes,
            .kvBytes = profileOf(loaded).kvBytes,
            .tiedEmbeddings = a.tiedEmbeddings,
            .training = false,
            .adapterParameters = 0};
        EXPECT_EQ(estimateOf(loaded), Estimation::estimateOrThrow(byHand));
    }
}

TEST_F(ModelConfigTest, SlidingLayersHoldAtMostTheirWindow) {
    // Per session, in bytes: layers x tokens held x 2 (keys, values) x kv
    // heads x head width x 2 bytes.
    const struct {
        std::string file;
        std::uint64_t context;
        std::uint64_t kvCache;
    } cases[] = {
        // Every layer slides over 4,096 tokens: 8 times less than 32k.
        {"mistral-7b-v0.1.json", 32768, 32ULL * 4096 * 2 * 8 * 128 * 2},
        // Layers 0, 2, 4, ... slide over 4,096; the others hold the context.
        {"gemma-2-9b.json", 8192, (21ULL * 4096 + 21ULL * 8192) * 2 * 8 * 256 * 2},
        // Every sixth layer holds the context, the rest 512 tokens.
        {"gemma-3-1b.json", 32768, (4ULL * 32768 + 22ULL * 512) * 2 * 1 * 256 * 2},
        // A window the model switches off holds the whole context.
        {"qwen2.5-7b-instruct.json", 32768, 28ULL * 32768 * 2 * 4 * 128 * 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const LoadedSystem loaded = load(transformerSystem(
            "config = \"models/" + c.file + "\"\ncontextLength = " + std::to_string(c.context) +
            "\n"));
        EXPECT_EQ(estimateOf(loaded).kvCache, Estimation::ByteRange::exact(c.kvCache));
    }
    // A config's own list of layer types wins over the family's rule.
    const LoadedSystem listed = load(
        transformerSystem("config = \"m.json\"\n"),
        {{"examples/m.json",
          smallConfig("gemma2", R"(, "sliding_window": 4, "layer_types": ["full_attention",
              "full_attention", "full_attention", "sliding_attention"])")}});
    // 3 layers of 32 tokens and 1 of 4, 2 x 2 heads x 4 wide, 2 bytes.
    EXPECT_EQ(estimateOf(listed).kvCache, Estimation::ByteRange::exact((3ULL * 32 + 4) * 16 * 2));
}

TEST_F(ModelConfigTest, TheContextStopsAtTheModelsLimit) {
    // Qwen's rope_scaling factor stretches its 32,768 positions fourfold;
    // Llama 3.2 writes the stretched figure itself.
    const LoadedSystem qwen =
        load(transformerSystem("config = \"models/qwen2.5-7b-instruct.json\"\n"));
    EXPECT_EQ(profileOf(qwen).contextLength, 32768U);
    EXPECT_EQ(profileOf(qwen).contextLimit, 131072U);
    const LoadedSystem llama = load(transformerSystem("config = \"models/llama-3.2-1b.json\"\n"));
    EXPECT_EQ(profileOf(llama).contextLimit, 131072U);

    const LoadedSystem past = load(
        transformerSystem("config = \"models/llama-3-8b.json\"\ncontextLength = 8193\n"));
    ASSERT_EQ(past.findings.size(), 1U);
    EXPECT_EQ(past.findings[0].message,
              "a context of 8193 tokens is past the model's limit of 8192");
    EXPECT_EQ(past.findings[0].location.line, 10U); // the contextLength key
    EXPECT_EQ(past.findings[0].notes,
              std::vector<std::string>{"the limit is the model config's max_position_embeddings "
                                       "8192 (/max_position_embeddings, line 10)"});
}

TEST_F(ModelConfigTest, TheSystemFileOverridesTheConfig) {
    const LoadedSystem overridden =
        load(transformerSystem("config = \"models/llama-3-8b.json\"\ncontextLength = 2048\n"
                               "kvBytes = 1\ntiedEmbeddings = true\nlayers = 2\n"));
    const Estimation::ModelProfile& p = profileOf(overridden);
    EXPECT_EQ(p.contextLength, 2048U);
    EXPECT_EQ(p.kvBytes, 1U);
    EXPECT_EQ(p.weightBytes, 2U);
    EXPECT_TRUE(p.architecture.tiedEmbeddings);
    EXPECT_EQ(p.architecture.layers.size(), 2U);
    EXPECT_EQ(p.architecture.headDim, 128U); // hidden size over heads
}

TEST_F(ModelConfigTest, WhatTheConfigLeavesOutIsNotedAtItsKey) {
    // Gemma ties its output head by default; a multimodal model's other parts
    // are not its language model's.
    const LoadedSystem gemma = load(transformerSystem("config = \"models/gemma-2b.json\"\n"));
    ASSERT_EQ(gemma.findings.size(), 1U);
    EXPECT_EQ(gemma.findings[0].kind, FindingKind::warning);
    EXPECT_EQ(gemma.findings[0].message,
              "/model_type: no tie_word_embeddings: the 'gemma' family ties its output head to "
              "the embeddings");
    EXPECT_EQ(gemma.findings[0].location.file, "examples/models/gemma-2b.json");
    EXPECT_EQ(gemma.findings[0].location.line, 3U);
    EXPECT_EQ(gemma.findings[0].location.column, 3U);

    const std::string nested = R"({"torch_dtype": "float32", "vision_config": {"hidden_size": 1},
        "text_config": {"model_type": "llama", "vocab_size": 10, "num_hidden_layers": 2,
                        "hidden_size": 8, "intermediate_size": 16, "num_attention_heads": 2,
                        "max_position_embeddings": 32}})";
    const LoadedSystem loaded =
        load(transformerSystem("config = \"m.json\"\n"), {{"examples/m.json", nested}});
    ASSERT_EQ(loaded.findings.size(), 1U);
    EXPECT_EQ(loaded.findings[0].message,
              "/vision_config: the model's other parts are not counted, only its language model");
    EXPECT_EQ(loaded.findings[0].location.line, 1U);
    EXPECT_EQ(profileOf(loaded).architecture.kvHeads, 2U); // the attention heads, when not given
    EXPECT_EQ(profileOf(loaded).weightBytes, 4U);
}

struct ConfigCase {
    std::string config;
    std::string file;
    std::uint32_t line;
    std::uint32_t column;
    std::string message;
};

TEST_F(ModelConfigTest, WhatCannotBeCountedIsRefusedAtItsKey) {
    std::string float8 = smallConfig("llama");
    float8.replace(float8.find("bfloat16"), 8, "float8_e4m3");
    const std::vector<ConfigCase> cases = {
        {smallConfig("llama", R"(, "num_local_experts": 8)"), "examples/m.json", 3, 67,
         "/num_local_experts: a mixture of experts is not part of the 'llama' family's layout"},
        {R"({"model_type": "llama", "text_config": {"kv_lora_rank": 512}})", "examples/m.json",
         1, 41,
         "/text_config/kv_lora_rank: multi-latent attention is not part of the 'llama' "
         "family's layout"},
        {smallConfig("gemma", R"(, "sliding_window": 4096)"), "examples/m.json", 3, 67,
         "/sliding_window: a sliding window is not part of the 'gemma' family's layout"},
        {R"({"model_type": "llama", "hidden_size": 4096.5})", "examples/m.json", 1, 25,
         "/hidden_size: expected a whole number, found 4096.5"},
        {R"({"model_type": "llama", "hidden_size": 1, "hidden_size": 2})", "examples/m.json", 1,
         42, "duplicate key 'hidden_size'"},
        {R"({"model_type": "deepseek_v3"})", "examples/m.json", 1, 2,
         "/model_type: unknown model family 'deepseek_v3'"},
        {smallConfig("qwen2", R"(, "quantization_config": {"quant_method": "bitsandbytes"})"),
         "examples/m.json", 3, 91,
         "/quantization_config/quant_method: quantization method \"bitsandbytes\" is not "
         "modelled"},
        {smallConfig("llama", R"(, "layer_types": ["full_attention", "chunked_attention"])"),
         "examples/m.json", 3, 67,
         "/layer_types: layer type \"chunked_attention\" is not modelled"},
        {float8, "examples/system.toml", 9, 10,
         "model config 'm.json': model config torch_dtype 'float8_e4m3' has no width"},
        {"{\n  \"hidden_size\": 4096,\n  oops\n}", "examples/m.json", 3, 3,
         "syntax error while parsing object key"},
        {"[1, 2]", "examples/system.toml", 9, 10,
         "model config 'm.json': a model config is a JSON object"},
        {R"({"vocab_size": 10})", "examples/system.toml", 9, 10,
         "model config 'm.json': the model config names no model_type, so its layout is "
         "unknown"},
        {std::string(100000, '[') + std::string(100000, ']'), "examples/m.json", 1, 65,
         "nested deeper than 64 levels"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.config.substr(0, 200));
        const LoadedSystem loaded =
            load(transformerSystem("config = \"m.json\"\n"), {{"examples/m.json", c.config}});
        ASSERT_EQ(loaded.findings.size(), 1U);
        const Finding& finding = loaded.findings[0];
        EXPECT_EQ(finding.kind, FindingKind::error);
        EXPECT_EQ(finding.location.file, c.file);
        EXPECT_EQ(finding.location.line, c.line);
        EXPECT_EQ(finding.location.column, c.column);
        EXPECT_EQ(finding.message.substr(0, c.message.size()), c.message);
        EXPECT_TRUE(loaded.workloads.empty());
    }
    // A width the config cannot give is given in the file instead.
    const LoadedSystem widths =
        load(transformerSystem("config = \"m.json\"\nweightBytes = 1\nkvBytes = 1\n"),
             {{"examples/m.json", float8}});
    EXPECT_TRUE(widths.readable());

    const LoadedSystem missing = load(transformerSystem("config = \"none.json\"\n"));
    ASSERT_EQ(missing.findings.size(), 1U);
    EXPECT_EQ(missing.findings[0].message,
              "cannot read model config 'none.json': no such file");
}

TEST_F(ModelConfigTest, ACheckpointFolderGivesTheWeightsItsHeadersList) {
    // A family without a row: the headers' sums, and the elements as parameters.
    const LoadedSystem tiny =
        load(transformerSystem("checkpoint = \"checkpoints/tiny-olmo2\"\ncontextLength = 64\n"));
    ASSERT_TRUE(tiny.findings.empty()) << tiny.findings.front().message;
    EXPECT_EQ(estimateOf(tiny).weights, Estimation::ByteRange::exact(57920));
    EXPECT_EQ(Estimation::modelParameters(profileOf(tiny))->total, 28960U);
    EXPECT_EQ(tiny.workloads[0].checkpoint, "checkpoints/tiny-olmo2");

    // A copy whose config has a window nobody says the layers use, and whose
    // index disagrees with its shards.
    const std::filesystem::path copy =
        std::filesystem::temp_directory_path() / ("talvex-checkpoint-" + std::to_string(::getpid()));
    std::filesystem::remove_all(copy);
    std::filesystem::create_directories(copy);
    std::filesystem::copy("examples/checkpoints/tiny-olmo2", copy / "ckpt");
    const auto edit = [&copy](const char* file, const std::string& from, const std::string& to) {
        const std::filesystem::path path = copy / "ckpt" / file;
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        text.replace(text.find(from), from.size(), to);
        std::ofstream(path) << text;
    };
    edit("config.json", "\"rms_norm_eps\"", "\"sliding_window\": 1024,\n  \"rms_norm_eps\"");
    const std::string system = (copy / "system.toml").string();
    const auto read = [&system] {
        return parseSystemText(transformerSystem("checkpoint = \"ckpt\"\ncontextLength = 64\n"),
                               system, [](const std::string& path) {
                                   std::ifstream in(path);
                                   return std::string((std::istreambuf_iterator<char>(in)), {});
                               });
    };
    const LoadedSystem windowed = read();
    ASSERT_EQ(windowed.findings.size(), 1U);
    EXPECT_EQ(windowed.findings[0].kind, FindingKind::warning);
    EXPECT_EQ(windowed.findings[0].message,
              "/sliding_window: which layers of 'olmo2' slide over the window is not known: every "
              "layer's KV cache is counted for the whole context, an upper bound");
    EXPECT_EQ(windowed.findings[0].location.file, (copy / "ckpt" / "config.json").string());
    EXPECT_EQ(windowed.findings[0].location.line, 13U);

    edit("model.safetensors.index.json", "57920", "57921");
    const LoadedSystem disagreeing = read();
    ASSERT_EQ(disagreeing.findings.size(), 2U);
    const Finding& error = disagreeing.findings[0].kind == FindingKind::error
                               ? disagreeing.findings[0]
                               : disagreeing.findings[1];
    EXPECT_EQ(error.kind, FindingKind::error);
    EXPECT_EQ(error.location.file, (copy / "ckpt" / "model.safetensors.index.json").string());
    EXPECT_EQ(error.location.line, 3U);
    EXPECT_NE(error.message.find("57921"), std::string::npos) << error.message;
    EXPECT_TRUE(disagreeing.workloads.empty());
    std::filesystem::remove_all(copy);
}

TEST_F(ModelConfigTest, ConfigAndCheckpointAreOneOrTheOther) {
    const LoadedSystem both =
        load(transformerSystem("config = \"m.json\"\ncheckpoint = \"ckpt\"\n"),
             {{"examples/m.json", smallConfig("llama")}});
    ASSERT_EQ(both.findings.size(), 1U);
    EXPECT_EQ(both.findings[0].message, "a transformer takes 'config' or 'checkpoint', not both");
}

} // namespace
} // namespace Core::SystemFile

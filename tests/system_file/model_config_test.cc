// A transformer's figures from the model's own config.json: the published
// parameter counts of dense Llama-architecture models, overrides from the
// system file, nested language models, and what the estimator refuses or
// notes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "estimation/estimators.h"
#include "system_file/system_file.h"

namespace Core::SystemFile {
namespace {

std::string transformerSystem(const std::string& profileLines) {
    return "id = \"x\"\n[[engines]]\nid = \"t\"\nclass = \"transformer\"\n"
           "semantic_api_version = 1\n[engines.workload]\nsessions = 1\n"
           "[engines.workload.transformer]\n" +
           profileLines;
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

const Estimation::TransformerProfile& profileOf(const LoadedSystem& loaded) {
    return std::get<Estimation::TransformerProfile>(loaded.workloads.at(0).spec.profile);
}

class ModelConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(TALVEX_SOURCE_DIR); }
};

TEST_F(ModelConfigTest, ParameterCountsAreThePublishedOnes) {
    const std::map<std::string, std::uint64_t> published = {
        {"llama-2-7b.json", 6738415616ULL},   {"llama-2-70b.json", 68976648192ULL},
        {"llama-3-8b.json", 8030261248ULL},   {"llama-3.2-1b.json", 1235814400ULL},
        {"tinyllama-1.1b.json", 1100048384ULL}, {"smollm2-360m.json", 361821120ULL},
    };
    for (const auto& [file, parameters] : published) {
        SCOPED_TRACE(file);
        const LoadedSystem loaded = load(transformerSystem("config = \"models/" + file + "\"\n"));
        ASSERT_TRUE(loaded.findings.empty()) << loaded.findings.front().message;
        EXPECT_TRUE(checkSystem(loaded).empty());
        EXPECT_EQ(Estimation::transformerParameters(profileOf(loaded)).parameters, parameters);
        EXPECT_EQ(loaded.workloads[0].model_config, "models/" + file);
    }
}

TEST_F(ModelConfigTest, TheConfigGivesEveryFigureAndTheFileOverridesIt) {
    const LoadedSystem loaded = load(transformerSystem("config = \"models/llama-3-8b.json\"\n"));
    const Estimation::TransformerProfile& p = profileOf(loaded);
    EXPECT_EQ(p.vocabSize, 128256U);
    EXPECT_EQ(p.layers, 32U);
    EXPECT_EQ(p.modelDim, 4096U);
    EXPECT_EQ(p.ffnDim, 14336U);
    EXPECT_EQ(p.queryHeads, 32U);
    EXPECT_EQ(p.kvHeads, 8U);
    EXPECT_EQ(p.headDim, 128U); // hidden size over heads
    EXPECT_EQ(p.contextLength, 8192U);
    EXPECT_EQ(p.weightBytes, 2U);
    EXPECT_EQ(p.kvBytes, 2U);
    EXPECT_FALSE(p.tiedEmbeddings);

    const LoadedSystem overridden =
        load(transformerSystem("config = \"models/llama-3-8b.json\"\ncontextLength = 2048\n"
                               "kvBytes = 1\ntiedEmbeddings = true\n"));
    const Estimation::TransformerProfile& q = profileOf(overridden);
    EXPECT_EQ(q.contextLength, 2048U);
    EXPECT_EQ(q.kvBytes, 1U);
    EXPECT_EQ(q.weightBytes, 2U);
    EXPECT_TRUE(q.tiedEmbeddings);
}

TEST_F(ModelConfigTest, ANestedLanguageModelIsRead) {
    const std::string config = R"({"torch_dtype": "float32", "vision_config": {"hidden_size": 1},
        "text_config": {"vocab_size": 10, "num_hidden_layers": 2, "hidden_size": 8,
                        "intermediate_size": 16, "num_attention_heads": 2,
                        "max_position_embeddings": 32}})";
    const LoadedSystem loaded =
        load(transformerSystem("config = \"m.json\"\n"), {{"examples/m.json", config}});
    ASSERT_TRUE(loaded.findings.empty()) << loaded.findings.front().message;
    const Estimation::TransformerProfile& p = profileOf(loaded);
    EXPECT_EQ(p.modelDim, 8U);
    EXPECT_EQ(p.kvHeads, 2U); // the attention heads, when not given
    EXPECT_EQ(p.headDim, 4U);
    EXPECT_EQ(p.weightBytes, 4U);
}

struct ConfigCase {
    std::string config;
    std::string extraLines;
    std::string file;
    std::uint32_t line;
    std::uint32_t column;
    std::string message;
};

TEST_F(ModelConfigTest, WhatTheEstimatorCannotTakeIsRefusedByItsKey) {
    const std::vector<ConfigCase> cases = {
        {R"({"num_local_experts": 8, "hidden_size": 4096})", "", "examples/system.toml", 9, 10,
         "model config 'm.json': /num_local_experts: a mixture of experts is not covered by the "
         "estimator"},
        {R"({"text_config": {"kv_lora_rank": 512}})", "", "examples/system.toml", 9, 10,
         "model config 'm.json': /text_config/kv_lora_rank: multi-latent attention is not "
         "covered by the estimator"},
        {R"({"hidden_size": 4096.5})", "", "examples/system.toml", 9, 10,
         "model config 'm.json': /hidden_size: expected a whole number, found 4096.5"},
        {R"({"torch_dtype": "float8_e4m3"})", "", "examples/system.toml", 9, 10,
         "model config torch_dtype 'float8_e4m3' has no width the estimator knows"},
        {"{\n  \"hidden_size\": 4096,\n  oops\n}", "", "examples/m.json", 3, 3,
         "syntax error while parsing object key"},
        {"[1, 2]", "", "examples/system.toml", 9, 10,
         "model config 'm.json': a model config is a JSON object"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.config);
        const LoadedSystem loaded =
            load(transformerSystem("config = \"m.json\"\n" + c.extraLines),
                 {{"examples/m.json", c.config}});
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
    const LoadedSystem widths = load(
        transformerSystem("config = \"m.json\"\nweightBytes = 1\nkvBytes = 1\n"),
        {{"examples/m.json", R"({"torch_dtype": "float8_e4m3"})"}});
    EXPECT_TRUE(widths.readable());

    const LoadedSystem missing = load(transformerSystem("config = \"none.json\"\n"));
    ASSERT_EQ(missing.findings.size(), 1U);
    EXPECT_EQ(missing.findings[0].message,
              "cannot read model config 'none.json': no such file");
}

TEST_F(ModelConfigTest, ApproximationsAreNotedByTheirKey) {
    const std::string config = R"({"vocab_size": 10, "num_hidden_layers": 2, "hidden_size": 8,
        "intermediate_size": 16, "num_attention_heads": 2, "max_position_embeddings": 32,
        "torch_dtype": "bfloat16", "attention_bias": true, "sliding_window": 4096})";
    const LoadedSystem loaded =
        load(transformerSystem("config = \"m.json\"\n"), {{"examples/m.json", config}});
    ASSERT_TRUE(loaded.readable());
    ASSERT_EQ(loaded.findings.size(), 2U);
    EXPECT_EQ(loaded.findings[0].kind, FindingKind::warning);
    EXPECT_EQ(loaded.findings[0].message,
              "model config 'm.json': /attention_bias: attention biases are not counted; the "
              "weights are low by well under 1 %");
    EXPECT_EQ(loaded.findings[1].message,
              "model config 'm.json': /sliding_window: every layer's KV cache is counted for the "
              "whole context, so the KV cache is an upper bound");
    // A sliding window that the model switches off is no approximation.
    const LoadedSystem off = load(transformerSystem("config = \"m.json\"\n"),
                                  {{"examples/m.json", R"({"sliding_window": 4096,
                                                          "use_sliding_window": false})"}});
    EXPECT_TRUE(off.findings.empty());
}

} // namespace
} // namespace Core::SystemFile

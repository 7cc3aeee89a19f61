// The companion with a system file: the built-in system written as a file
// answers exactly as the built-in one, the real-size example gives its shown
// output, a system file's problems are diagnostics, and each "most that
// fits" figure is the edge: that many resolves, one more does not.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "companion/explanation.h"
#include "companion_support.h"
#include "deployment/first_fit.h"
#include "deployment/inventory.h"

namespace Core::Companion {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::runCommand;
using testing::slurp;

constexpr const char* kBuiltInFile = "examples/composite-three-engine.toml";
constexpr const char* kAssistant = "examples/assistant/assistant.toml";

class SystemFileTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::current_path(TALVEX_SOURCE_DIR); }
};

std::vector<std::string> withSystem(std::vector<std::string> args, const std::string& system) {
    args.insert(args.begin() + 1, {"--system", system});
    return args;
}

TEST_F(SystemFileTest, TheBuiltInSystemAsAFileGivesTheSameAnswers) {
    std::vector<std::string> files = testing::placementFiles();
    files.emplace_back("tests/no-such.cplace");
    for (const std::string& file : files) {
        for (const char* command : {"deploy", "check", "explain"}) {
            SCOPED_TRACE(std::string(command) + " " + file);
            const Outcome builtIn = runCommand({command, file});
            const Outcome fromFile = runCommand(withSystem({command, file}, kBuiltInFile));
            EXPECT_EQ(fromFile.status, builtIn.status);
            EXPECT_EQ(fromFile.out, builtIn.out);
            EXPECT_EQ(fromFile.err, builtIn.err);

            // JSON says the same, and which system file it read.
            nlohmann::json builtInJson =
                nlohmann::json::parse(runCommand({command, file, "--format", "json"}).out);
            nlohmann::json fileJson = nlohmann::json::parse(
                runCommand(withSystem({command, file, "--format", "json"}, kBuiltInFile)).out);
            EXPECT_EQ(fileJson["system"], kBuiltInFile);
            builtInJson.erase("system");
            fileJson.erase("system");
            EXPECT_EQ(fileJson, builtInJson);
        }
    }
}

TEST_F(SystemFileTest, TheAssistantExamplesGiveTheirShownOutput) {
    int examples = 0;
    for (const auto& entry : fs::directory_iterator("examples/assistant")) {
        const fs::path& file = entry.path();
        if (file.extension() != ".cplace") {
            continue;
        }
        SCOPED_TRACE(file.string());
        const Outcome outcome = runCommand({"deploy", "--system", kAssistant, file.string()});
        if (fs::exists(fs::path(file).replace_extension(".stdout"))) {
            EXPECT_EQ(outcome.status, 0);
            EXPECT_EQ(outcome.out, slurp(fs::path(file).replace_extension(".stdout")));
            EXPECT_EQ(outcome.err, "");
        } else {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err, slurp(fs::path(file).replace_extension(".stderr")));
        }
        ++examples;
    }
    EXPECT_EQ(examples, 3);
    const Outcome system = runCommand({"system", kAssistant});
    EXPECT_EQ(system.status, 0);
    EXPECT_EQ(system.out, slurp("examples/assistant/assistant.system"));
    EXPECT_EQ(system.err, "");
}

// One model of each family, each from its config.json: the published counts
// and the weights, shown as the README shows them.
TEST_F(SystemFileTest, TheModelExamplesGiveTheirShownOutput) {
    const Outcome system = runCommand({"system", "examples/models/models.toml"});
    EXPECT_EQ(system.status, 0);
    EXPECT_EQ(system.out, slurp("examples/models/models.system"));
    EXPECT_EQ(system.err,
              "examples/models/gemma-2b.json:3:3: warning: /model_type: no tie_word_embeddings: "
              "the 'gemma' family ties its output head to the embeddings\n"
              "examples/models/gemma-2b.json:3:3: note: the model config of engine 'gemma-2b'\n");
}

// explain shows what a mixture of experts holds and what a token uses, and
// that the model's limit, not memory, stops its context.
TEST_F(SystemFileTest, AMixtureOfExpertsIsExplainedWithItsActiveParameters) {
    const Outcome explain =
        runCommand({"explain", "--system", "tests/companion/models/qwen3-30b-a3b.toml",
                    "--inventory", "examples/inventories/server-8gpu.json",
                    "tests/companion/models/on_gpu.cplace"});
    EXPECT_EQ(explain.status, 0);
    EXPECT_NE(explain.out.find("  chat: class transformer, residency evictable, priority "
                               "interactive, device gpu0\n"
                               "    30532122624 parameters, 3353032704 active for each token\n"
                               "    weights           61064245248 bytes (56.8 GiB)\n"),
              std::string::npos)
        << explain.out;
    EXPECT_NE(explain.out.find("a context of 40960 tokens, the model's limit\n"), std::string::npos);
}

// A checkpoint folder of a family without a row: its weights are its headers'.
TEST_F(SystemFileTest, TheCheckpointExampleGivesItsShownOutput) {
    const Outcome system = runCommand({"system", "examples/checkpoints/checkpoints.toml"});
    EXPECT_EQ(system.status, 0);
    EXPECT_EQ(system.out, slurp("examples/checkpoints/checkpoints.system"));
    EXPECT_EQ(system.err, "");
}

/// Each NAME.toml under tests/companion/systems has NAME.check, what
/// `check --system NAME.toml` prints for it.
TEST_F(SystemFileTest, ASystemFilesProblemsAreDiagnostics) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator("tests/companion/systems")) {
        const fs::path& input = entry.path();
        if (input.extension() != ".toml") {
            continue;
        }
        SCOPED_TRACE(input.string());
        const std::string expected = slurp(fs::path(input).replace_extension(".check"));
        const Outcome check = runCommand({"check", "--system", input.string()});
        EXPECT_EQ(check.out, expected);
        EXPECT_EQ(check.err, "");
        EXPECT_EQ(check.status, expected.find(": error: ") != std::string::npos ? 1 : 0);

        // The system subcommand shows the same problems on standard error, and
        // the JSON the same ones as objects.
        const Outcome system = runCommand({"system", input.string()});
        EXPECT_EQ(system.err, expected);
        EXPECT_EQ(system.status, check.status);
        const nlohmann::json document =
            nlohmann::json::parse(runCommand({"system", input.string(), "--format", "json"}).out);
        std::size_t problems = 0;
        for (std::size_t at = expected.find(": error: "); at != std::string::npos;
             at = expected.find(": error: ", at + 1)) {
            ++problems;
        }
        for (std::size_t at = expected.find(": warning: "); at != std::string::npos;
             at = expected.find(": warning: ", at + 1)) {
            ++problems;
        }
        EXPECT_EQ(document["diagnostics"].size(), problems);
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

TEST_F(SystemFileTest, AnUnreadableSystemFileEndsEveryCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"deploy", "examples/demo.cplace"},
          std::vector<std::string>{"explain", "examples/demo.cplace"},
          std::vector<std::string>{"check", "examples/demo.cplace"}}) {
        SCOPED_TRACE(args.front());
        const Outcome outcome = runCommand(withSystem(args, "tests/no-such.toml"));
        EXPECT_EQ(outcome.status, 1);
        const std::string line = "tests/no-such.toml: error: cannot open system file: "
                                 "tests/no-such.toml\n";
        EXPECT_TRUE((outcome.out + outcome.err).starts_with(line)) << outcome.out << outcome.err;
        EXPECT_EQ((outcome.out + outcome.err).find("examples/demo.cplace"), std::string::npos);
    }
    // A placement for the built-in system does not name a system file's id.
    const Outcome other = runCommand({"deploy", "--system", kAssistant, "examples/demo.cplace"});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.err, "deployment example: placement.system: placement targets system "
                         "'composite-three-engine' but graph is 'assistant'\n");
}

/// The resolved plan's placement held (every engine on the device it went
/// to), with one engine's workload changed.
bool resolvesHeld(const PlacementRun& run, const SystemSource& system, const std::string& engine,
                  const std::function<void(Estimation::WorkloadSpec&)>& change) {
    Placement::PlacementIR held = *run.result.deployment->ir;
    held.policy = Placement::PlacementPolicy::explicit_;
    std::vector<Estimation::WorkloadRequirement> workload;
    for (Estimation::WorkloadSpec spec : system.workloadSpecs()) {
        if (spec.engine == engine) {
            change(spec);
        }
        const Estimation::EstimateResult estimated = Estimation::estimateWorkload(spec.profile);
        if (!estimated.estimate) {
            return false;
        }
        workload.push_back({spec.engine, *estimated.estimate, spec.sessions, spec.concurrency,
                            spec.training});
    }
    return Placement::resolveDeployment(held, Placement::portableInventoryFixture(), workload).ir
        .has_value();
}

TEST_F(SystemFileTest, TheMostThatFitsResolvesAndOneMoreDoesNot) {
    struct Plan {
        std::string file;
        std::optional<std::string> system;
    };
    std::vector<Plan> plans;
    for (const std::string& file : testing::placementFiles()) {
        plans.push_back({file, std::nullopt});
    }
    for (const char* file : {"examples/assistant/assistant.cplace",
                             "examples/assistant/first_fit.cplace"}) {
        plans.push_back({file, kAssistant});
    }
    constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
    int figures = 0;
    for (const Plan& plan : plans) {
        SCOPED_TRACE(plan.file);
        const SystemSource system = plan.system ? SystemSource(*plan.system) : SystemSource();
        Inventories inventories(InventorySource::fixture, testing::noGpuProbe());
        const PlacementRun run = runPlacement(plan.file, system, inventories);
        if (!run.resolved()) {
            continue;
        }
        for (const EngineExplanation& engine : explainEngines(run, system)) {
            SCOPED_TRACE(engine.id);
            ASSERT_TRUE(engine.growth);
            const Estimation::WorkloadLimits& limits = engine.growth->limits;
            const auto at = [&](auto set) { return resolvesHeld(run, system, engine.id, set); };
            EXPECT_TRUE(at([&](Estimation::WorkloadSpec& s) { s.sessions = limits.sessions; }));
            if (limits.sessions < kMaxCount) {
                EXPECT_FALSE(
                    at([&](Estimation::WorkloadSpec& s) { s.sessions = limits.sessions + 1; }));
            }
            EXPECT_TRUE(
                at([&](Estimation::WorkloadSpec& s) { s.concurrency = limits.concurrency; }));
            if (limits.concurrency < kMaxCount) {
                EXPECT_FALSE(at([&](Estimation::WorkloadSpec& s) {
                    s.concurrency = limits.concurrency + 1;
                }));
            }
            if (limits.contextLength) {
                const auto context = [](std::uint64_t length) {
                    return [length](Estimation::WorkloadSpec& s) {
                        s = Estimation::withContext(s, length);
                    };
                };
                EXPECT_TRUE(at(context(*limits.contextLength)));
                // One token more does not fit, or the model does not take it.
                EXPECT_FALSE(at(context(*limits.contextLength + 1)));
            }
            ++figures;
        }
    }
    EXPECT_GE(figures, 12);
}

} // namespace
} // namespace Core::Companion

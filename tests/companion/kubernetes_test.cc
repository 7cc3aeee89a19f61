// The manifest for Kubernetes: what one replica's container asks for, the
// node affinity on the GPUs, the plan's files and hashes it carries, and the
// plans it refuses to hand over.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "companion_support.h"

namespace Core::Companion {
namespace {

using Json = nlohmann::json;
using testing::Outcome;
using testing::runCommand;
using testing::slurp;

class KubernetesTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(TALVEX_SOURCE_DIR); }
};

TEST_F(KubernetesTest, TheContainerAsksForWhatThePlanNeeds) {
    const Outcome outcome =
        runCommand({"deploy", "--format", "kubernetes", "examples/explicit_split.cplace"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    const Json manifest = Json::parse(outcome.out);
    EXPECT_EQ(manifest["kind"], "List");
    const Json& configMap = manifest["items"][0];
    const Json& deployment = manifest["items"][1];
    EXPECT_EQ(configMap["kind"], "ConfigMap");
    EXPECT_EQ(configMap["metadata"]["name"], "split-plan");
    EXPECT_EQ(configMap["data"]["placement.cplace"], slurp("examples/explicit_split.cplace"));
    EXPECT_FALSE(configMap["data"].contains("system.toml"));
    EXPECT_EQ(deployment["kind"], "Deployment");
    EXPECT_EQ(deployment["metadata"]["annotations"]["talvex-composite/placement-hash"],
              "9187458908748150707");
    EXPECT_EQ(deployment["metadata"]["annotations"]["talvex-composite/system-hash"],
              "10080049706816702516");
    const Json& pod = deployment["spec"]["template"]["spec"];
    const Json& resources = pod["containers"][0]["resources"];
    // cpu0: the two small engines, 71303360 + 67113344 bytes, no reserve.
    EXPECT_EQ(resources["requests"]["memory"], "138416704");
    EXPECT_EQ(resources["requests"]["nvidia.com/gpu"], "1");
    EXPECT_EQ(resources["limits"]["nvidia.com/gpu"], "1");
    // gpu0 needs the transformer's 269485048 bytes and its 1 GiB reserve:
    // 1282 MiB, rounded up, so more than 1281.
    const Json& expressions = pod["affinity"]["nodeAffinity"]
                                  ["requiredDuringSchedulingIgnoredDuringExecution"]
                                  ["nodeSelectorTerms"][0]["matchExpressions"];
    EXPECT_EQ(expressions[0], Json::parse(R"({"key": "nvidia.com/gpu.memory", "operator": "Gt",
                                              "values": ["1281"]})"));
    EXPECT_EQ(expressions[1], Json::parse(R"({"key": "nvidia.com/gpu.count", "operator": "Gt",
                                              "values": ["0"]})"));
    EXPECT_EQ(pod["volumes"][0]["configMap"]["name"], "split-plan");

    // A plan on the CPU alone asks for no GPU and sets no affinity.
    const Json cpuOnly = Json::parse(
        runCommand({"deploy", "--format", "kubernetes", "--inventory",
                    "examples/inventories/cpu-node.json", "tests/companion/cases/host_cpu.cplace"})
            .out);
    const Json& cpuPod = cpuOnly["items"][1]["spec"]["template"]["spec"];
    EXPECT_EQ(cpuPod["containers"][0]["resources"]["requests"],
              Json::parse(R"({"memory": "407901752"})"));
    EXPECT_FALSE(cpuPod.contains("affinity"));
}

TEST_F(KubernetesTest, ASystemFileTravelsWithThePlan) {
    const Outcome outcome = runCommand({"deploy", "--format", "kubernetes", "--system",
                                        "examples/assistant/assistant.toml",
                                        "examples/assistant/assistant.cplace"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const Json manifest = Json::parse(outcome.out);
    EXPECT_EQ(manifest["items"][0]["data"]["system.toml"],
              slurp("examples/assistant/assistant.toml"));
    EXPECT_EQ(manifest["items"][1]["spec"]["template"]["spec"]["containers"][0]["args"],
              Json::parse(R"(["deploy", "/etc/talvex/placement.cplace", "--system",
                              "/etc/talvex/system.toml"])"));
}

TEST_F(KubernetesTest, APlanThatCannotBeHandedOverWritesNoManifest) {
    const Outcome refused = runCommand({"deploy", "--format", "kubernetes", "examples/oom.cplace"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "talvex_composite: error: device.cpu0: OOM preflight: requested "
                           "407901752 bytes, usable 402653184 bytes after reserve 0\n");

    const Outcome gap = runCommand({"deploy", "--format", "kubernetes", "--inventory",
                                    "examples/inventories/server-8gpu.json",
                                    "tests/companion/kubernetes/gpu_index_gap.cplace"});
    EXPECT_EQ(gap.status, 1);
    EXPECT_EQ(gap.out, "");
    EXPECT_EQ(gap.err, "talvex_composite: error: a container sees its 1 GPUs as indices 0 to 0, "
                       "but the plan's CUDA devices use indices 1; number them from 0 in the "
                       "placement\n");
}

} // namespace
} // namespace Core::Companion

// The pipeline as embedding programs call it: text in memory, inputs chosen by
// the caller, refusals as values and parse errors as exceptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/pipeline.h"
#include "app/placement_file.h"
#include "app/report.h"
#include "deployment/inventory.h"
#include "estimation/estimators.h"
#include "orchestration/example_system.h"

namespace Core::App {
namespace {

constexpr std::string_view kDemo = R"(placement demo for system composite-three-engine {
  format: 1;
  policy: first_fit;
  device cpu0 { kind: cpu; }
  device gpu0 { kind: cuda; selector: { index: 0; }; }
})";

class PipelineTest : public ::testing::Test {
  protected:
    PipelineResult resolve(std::string_view text) const {
        return resolvePlacement(text, "in-memory.cplace", system, inventory, workload);
    }

    Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    Placement::ResourceInventory inventory = Placement::portableInventoryFixture();
    std::vector<Estimation::WorkloadRequirement> workload = Estimation::compositeWorkload();
};

TEST_F(PipelineTest, ResolvedPlacementGivesTheToolsReport) {
    const PipelineResult result = resolve(kDemo);
    ASSERT_TRUE(isResolved(result));
    EXPECT_TRUE(result.loweringIssues.empty());
    EXPECT_EQ(refusal(result), std::nullopt);
    EXPECT_EQ(formatReport(*result.deployment->ir, result.deployment->report),
              readPlacementFile(std::string(TALVEX_SOURCE_DIR) + "/examples/demo.stdout"));
}

TEST_F(PipelineTest, RefusalsComeFromTheStageThatRefused) {
    struct Case {
        const char* name;
        std::string text;
        bool loweringRefuses;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {"wrong system",
         "placement p for system other-system { format: 1; }", true,
         "placement.system: placement targets system 'other-system' but graph is "
         "'composite-three-engine'"},
        {"every engine on the cpu",
         R"(placement p for system composite-three-engine {
              format: 1; policy: explicit; device cpu0 { kind: cpu; }
              engine sensory-sync { device: cpu0; }
              engine intuition-transformer { device: cpu0; }
              engine temporal-dpsh { device: cpu0; } })",
         false,
         "device.cpu0: OOM preflight: requested 407901752 bytes, usable 402653184 bytes after "
         "reserve 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PipelineResult result = resolve(c.text);
        EXPECT_FALSE(isResolved(result));
        EXPECT_EQ(result.deployment.has_value(), !c.loweringRefuses);
        EXPECT_EQ(result.loweringIssues.empty(), !c.loweringRefuses);
        EXPECT_EQ(refusal(result), c.refusal);
    }
}

TEST_F(PipelineTest, ResolvesAgainstTheCallersInventory) {
    // Without the GPU the same placement no longer binds gpu0.
    std::erase_if(inventory.devices, [](const Placement::InventoryDevice& device) {
        return device.kind == Placement::DeviceKind::cuda;
    });
    const PipelineResult result = resolve(kDemo);
    ASSERT_TRUE(result.deployment.has_value());
    EXPECT_FALSE(result.deployment->ir.has_value());
    EXPECT_EQ(refusal(result), "device.gpu0: declared device is absent from resource inventory");
}

TEST_F(PipelineTest, ParseErrorNamesTheGivenFile) {
    try {
        (void)resolve("placement p for system s {\n  format 1;\n}");
        ADD_FAILURE() << "no parse error";
    } catch (const Placement::ParseError& error) {
        EXPECT_EQ(error.location().file, "in-memory.cplace");
        EXPECT_EQ(error.text(), "in-memory.cplace:2:10: expected ':'");
    }
}

TEST(PipelineRefusal, RefusalWithoutIssueIsAnInternalError) {
    EXPECT_THROW((void)refusal(PipelineResult{}), std::logic_error);
    PipelineResult noDeploymentIssue;
    noDeploymentIssue.deployment.emplace();
    EXPECT_THROW((void)refusal(noDeploymentIssue), std::logic_error);
}

} // namespace
} // namespace Core::App

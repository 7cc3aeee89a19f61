// The pipeline as embedding programs call it: text in memory, inputs chosen by
// the caller, refusals as values and parse errors as exceptions.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/pipeline.h"
#include "app/placement_file.h"
#include "app/report.h"
#include "deployment/inventory.h"
#include "estimation/estimators.h"
#include "orchestration/example_system.h"
#include "placement/ir_text.h"
#include "placement/lowering.h"

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

// Columns are 32-bit: a text the file reader would refuse is refused by the
// parser too, with the reader's message, before a byte of it is read.
TEST_F(PipelineTest, TextTooLongForItsPositionsIsRefusedUnread) {
    const std::size_t length = Placement::kMaxPlacementBytes + 1;
    // Reserved and never touched, so it costs neither memory nor time.
    void* mapping = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                           -1, 0);
    if (mapping == MAP_FAILED) {
        GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    }
    const std::string_view text(static_cast<const char*>(mapping), length);
    const std::string message = "placement file is too large: huge.cplace";
    const std::vector<std::pair<const char*, std::function<void()>>> entries = {
        {"parsePlacement", [&] { (void)Placement::parsePlacement(text, "huge.cplace"); }},
        {"lowerPlacementText", [&] { (void)lowerPlacementText(text, "huge.cplace", system); }},
        {"resolvePlacement",
         [&] { (void)resolvePlacement(text, "huge.cplace", system, inventory, workload); }},
        {"resolvePlacement with inputs",
         [&] { (void)resolvePlacement(text, "huge.cplace", system, portableInputs()); }},
    };
    for (const auto& [name, call] : entries) {
        SCOPED_TRACE(name);
        try {
            call();
            ADD_FAILURE() << "a text past the limit was parsed";
        } catch (const Placement::PlacementTooLarge& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    ::munmap(mapping, length);
}

// The pipeline lowers block by block as the parser reads them; that must give
// what lowering the whole document gives, issue for issue and byte for byte.
TEST_F(PipelineTest, StreamedLoweringEqualsLoweringTheDocument) {
    std::vector<std::string> texts = {
        std::string(kDemo),
        // Blocks interleaved, absent engines out of name order and repeated
        // defaults, under every policy.
        R"(placement p for system composite-three-engine { format: 1; policy: explicit;
             engine zeta { } device gpu0 { kind: cuda; }
             engine sensory-sync { device: cpu9; model { artifact: "m"; sharing_group: "g"; } }
             defaults sync { residency: on_demand; }
           })",
        R"(placement p for system other { format: 1; determinism: portable;
             engine zeta { } defaults dpsh { priority: batch; } engine alpha { }
             device cpu0 { kind: cpu; selector: { index: 1; }; }
             defaults dpsh { residency: on_demand; } engine mid { }
             engine intuition-transformer { memory { weights: auto; weights: 1 GiB; } }
           })",
        R"(placement p for system composite-three-engine { format: 1; policy: validate_only;
             defaults transformer { residency: session_pinned; }
             device gpu0 { kind: cuda; selector: { index: 0; }; reserve: 1 GiB; }
             engine intuition-transformer { device: gpu0; priority: batch;
               model { artifact: "a"; weights: shared_read_only; sharing_group: "g";
                       adapter: "x"; } }
           })",
    };
    for (const char* folder : {"/examples", "/tests/app/cases"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(TALVEX_SOURCE_DIR) + folder)) {
            if (entry.path().extension() == ".cplace") {
                texts.push_back(readPlacementFile(entry.path().string()));
            }
        }
    }
    int compared = 0;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        Placement::PlacementSpec document;
        try {
            document = Placement::parsePlacement(text, "s.cplace");
        } catch (const Placement::ParseError&) {
            continue;
        }
        const Placement::LoweringResult whole = Placement::lowerPlacement(document, system);
        const Placement::LoweringResult streamed = lowerPlacementText(text, "s.cplace", system);
        EXPECT_EQ(streamed.issues, whole.issues);
        ASSERT_EQ(streamed.ir.has_value(), whole.ir.has_value());
        if (whole.ir) {
            EXPECT_EQ(Placement::canonicalPlacementText(*streamed.ir),
                      Placement::canonicalPlacementText(*whole.ir));
        }
        ++compared;
    }
    EXPECT_GE(compared, 10);
}

TEST(PipelineRefusal, RefusalWithoutIssueIsAnInternalError) {
    EXPECT_THROW((void)refusal(PipelineResult{}), std::logic_error);
    PipelineResult noDeploymentIssue;
    noDeploymentIssue.deployment.emplace();
    EXPECT_THROW((void)refusal(noDeploymentIssue), std::logic_error);
}

} // namespace
} // namespace Core::App

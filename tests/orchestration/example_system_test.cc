// The fixed example system: its exact content and that it validates cleanly.
#include "orchestration/example_system.h"

#include <gtest/gtest.h>

#include "orchestration/validation.h"

namespace Core::Orchestration {
namespace {

TEST(ExampleSystem, HasTheThreeEnginesInDeclarationOrder) {
    const SystemSpec system = buildExampleSystem();
    EXPECT_EQ(system.id, "composite-three-engine");
    EXPECT_TRUE(system.adapters.empty());
    EXPECT_TRUE(system.connections.empty());
    EXPECT_EQ(system.aux_code_1, 0);
    EXPECT_EQ(system.failure_policy, 0);
    EXPECT_FALSE(system.fallback_engine.has_value());
    EXPECT_EQ(system.aux_code_2, 0);

    struct Expected {
        const char* id;
        EngineClassCode engine_class;
        const char* profile;
        const char* input;
        const char* output;
    };
    const Expected expected[] = {
        {"sensory-sync", EngineClassCode::sync, "sync-reference-v1", "feedback", "perception"},
        {"intuition-transformer", EngineClassCode::transformer, "transformer-v1", "context",
         "intent"},
        {"temporal-dpsh", EngineClassCode::dpsh, "dpsh-v1", "top_down", "salience"},
    };
    ASSERT_EQ(system.engines.size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].id);
        const EngineSpec& engine = system.engines[i];
        EXPECT_EQ(engine.id, expected[i].id);
        EXPECT_EQ(engine.engine_class, expected[i].engine_class);
        EXPECT_EQ(engine.profile, expected[i].profile);
        EXPECT_EQ(engine.semantic_api_version, 1U);
        EXPECT_TRUE(engine.required_capabilities.empty());
        EXPECT_EQ(engine.location, SourceLocation{});
        ASSERT_EQ(engine.ports.size(), 2U);
        EXPECT_EQ(engine.ports[0].id, expected[i].input);
        EXPECT_EQ(engine.ports[0].direction, PortDirection::input);
        EXPECT_EQ(engine.ports[1].id, expected[i].output);
        EXPECT_EQ(engine.ports[1].direction, PortDirection::output);
    }
}

TEST(ExampleSystem, MakePortFillsTheSharedPortShape) {
    const PortSpec port = makePort("p", PortDirection::output);
    EXPECT_EQ(port.id, "p");
    EXPECT_EQ(port.direction, PortDirection::output);
    EXPECT_EQ(port.schema, "Vector/1");
    EXPECT_EQ(port.shape, std::vector<std::uint64_t>{2});
    EXPECT_EQ(port.dtype, 6);
    EXPECT_EQ(port.clock, 1);
    EXPECT_EQ(port.location, SourceLocation{});
    EXPECT_FALSE(port.embedding_space.has_value());
}

TEST(ExampleSystem, ValidatesWithoutIssue) {
    EXPECT_TRUE(validate(buildExampleSystem()).empty());
}

} // namespace
} // namespace Core::Orchestration

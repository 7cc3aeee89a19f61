// The fixed three-engine composite system every placement is lowered against.
#include "orchestration/example_system.h"

#include <utility>

namespace Core::Orchestration {

PortSpec makePort(std::string id, PortDirection direction) {
    PortSpec port;
    port.id = std::move(id);
    port.direction = direction;
    port.schema = "Vector/1";
    port.shape = {2};
    port.dtype = 6;
    port.clock = 1;
    return port;
}

namespace {

EngineSpec makeEngine(std::string id, EngineClassCode engine_class, std::string profile,
                      std::string input_port, std::string output_port) {
    EngineSpec engine;
    engine.id = std::move(id);
    engine.engine_class = engine_class;
    engine.profile = std::move(profile);
    engine.ports.push_back(makePort(std::move(input_port), PortDirection::input));
    engine.ports.push_back(makePort(std::move(output_port), PortDirection::output));
    engine.semantic_api_version = 1;
    return engine;
}

} // namespace

SystemSpec buildExampleSystem() {
    SystemSpec system;
    system.id = "composite-three-engine";
    // The graph knows only sync, dpsh and transformer, so the sensory engine
    // is of class sync, whatever the placement language calls it.
    system.engines.push_back(makeEngine("sensory-sync", EngineClassCode::sync, "sync-reference-v1",
                                        "feedback", "perception"));
    system.engines.push_back(makeEngine("intuition-transformer", EngineClassCode::transformer,
                                        "transformer-v1", "context", "intent"));
    system.engines.push_back(
        makeEngine("temporal-dpsh", EngineClassCode::dpsh, "dpsh-v1", "top_down", "salience"));
    return system;
}

} // namespace Core::Orchestration

// The system as a Graphviz graph.
#include <string>
#include <unordered_map>

#include "companion/render.h"
#include "orchestration/system_spec.h"

namespace Core::Companion {
namespace {

/// A DOT string: quotes and backslashes escaped, line feeds as "\n".
std::string dotString(std::string_view text) {
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += c;
        } else if (c == '\n') {
            result += "\\n";
        } else if (c != '\r') {
            result += c;
        }
    }
    return result + "\"";
}

/// Engine and port ids in one key, split by a NUL byte, which no valid id
/// holds.
std::string portKey(std::string_view engine, std::string_view port) {
    std::string key(engine);
    key += '\0';
    key += port;
    return key;
}

} // namespace

std::string systemDot(const SystemSource& system,
                      const std::vector<SystemEngineExplanation>& engines) {
    const Orchestration::SystemSpec& spec = system.spec();
    std::string text = "digraph " + dotString(spec.id) + " {\n";
    text += "  rankdir=LR;\n  node [shape=box];\n";
    for (const SystemEngineExplanation& entry : engines) {
        std::string label = entry.engine->id + "\n" +
                            std::string(engineClassName(entry.engine->engine_class));
        if (entry.workload && entry.workload->peak) {
            label += "\npeak " + humanBytes(*entry.workload->peak);
        } else {
            label += entry.workload ? "\npeak unknown" : "\nno workload";
        }
        text += "  " + dotString(entry.engine->id) + " [label=" + dotString(label) + "];\n";
    }
    // The schema each output sends, by engine and port; the first of a repeated id.
    std::unordered_map<std::string, std::string_view> schemas;
    for (const Orchestration::EngineSpec& engine : spec.engines) {
        for (const Orchestration::PortSpec& port : engine.ports) {
            schemas.try_emplace(portKey(engine.id, port.id), port.schema);
        }
    }
    for (const Orchestration::ConnectionSpec& connection : spec.connections) {
        std::string label = connection.id;
        if (const auto found = schemas.find(portKey(connection.source_engine, connection.source_port));
            found != schemas.end()) {
            label += '\n';
            label += found->second;
        }
        if (connection.delay != 0) {
            label += "\ndelay ";
            label += std::to_string(connection.delay);
        }
        if (connection.adapter) {
            label += "\nadapter ";
            label += *connection.adapter;
        }
        text += "  " + dotString(connection.source_engine) + " -> " +
                dotString(connection.destination_engine) + " [label=" + dotString(label) + "];\n";
    }
    return text + "}\n";
}

} // namespace Core::Companion

// Small graph builders shared by the orchestration tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "orchestration/example_system.h"
#include "orchestration/system_spec.h"

namespace Core::Orchestration {

// Readable failure output for issue lists.
inline void PrintTo(const ValidationIssue& issue, std::ostream* os) {
    *os << "{\"" << issue.path << "\", \"" << issue.message << "\", " << issue.location.file << ":"
        << issue.location.line << ":" << issue.location.column << "}";
}

} // namespace Core::Orchestration

namespace Core::Orchestration::Testing {

/// A distinct location per element, so tests see which one an issue carries.
inline SourceLocation at(std::uint32_t line) {
    return line == 0 ? SourceLocation{} : SourceLocation{"graph.txt", line, 1};
}

inline ValidationIssue issue(std::string path, std::string message, std::uint32_t line = 0) {
    return ValidationIssue{std::move(path), std::move(message), at(line)};
}

/// A valid engine with an input port "in" and an output port "out".
inline EngineSpec engine(std::string id, std::uint32_t line = 0) {
    EngineSpec e;
    e.id = std::move(id);
    e.profile = "test-v1";
    e.semantic_api_version = 1;
    e.location = at(line);
    e.ports.push_back(makePort("in", PortDirection::input));
    e.ports.push_back(makePort("out", PortDirection::output));
    if (line != 0) {
        e.ports[0].location = at(line + 1);
        e.ports[1].location = at(line + 2);
    }
    return e;
}

/// A valid instantaneous connection from engine `from`'s "out" to `to`'s "in".
inline ConnectionSpec connect(std::string id, std::string from, std::string to, std::uint32_t line = 0) {
    ConnectionSpec c;
    c.id = std::move(id);
    c.source_engine = std::move(from);
    c.source_port = "out";
    c.destination_engine = std::move(to);
    c.destination_port = "in";
    c.queue_capacity = 4;
    c.overflow_policy = 0;
    c.location = at(line);
    return c;
}

/// A valid identity adapter between two example ports.
inline AdapterSpec adapter(std::string id, std::uint32_t line = 0) {
    AdapterSpec a;
    a.id = std::move(id);
    a.input = makePort("in", PortDirection::input);
    a.output = makePort("out", PortDirection::output);
    a.config_hash = "cfg";
    a.semantic_api_version = 1;
    a.location = at(line);
    if (line != 0) {
        a.input.location = at(line + 1);
        a.output.location = at(line + 2);
    }
    return a;
}

/// The embedding space whose digest is pinned as 7db1778facf6cb3f.
inline EmbeddingSpaceId sampleSpace() {
    return EmbeddingSpaceId{"m", "t", "p", "n", "c", 4, 6, "", "", "7db1778facf6cb3f"};
}

/// An Embedding/1 port that carries `space` and matches its dimension and dtype.
inline PortSpec embeddingPort(std::string id, PortDirection direction, EmbeddingSpaceId space) {
    PortSpec port = makePort(std::move(id), direction);
    port.schema = "Embedding/1";
    port.shape = {3, space.dimension};
    port.dtype = space.dtype;
    port.embedding_space = std::move(space);
    return port;
}

} // namespace Core::Orchestration::Testing

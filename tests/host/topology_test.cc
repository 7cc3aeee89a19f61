// Processors, NUMA nodes and the CPU model from hwloc XML topologies (see
// topologies/README for how they were made) and from this machine.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/topology.h"

namespace Core::Host {
namespace {

const std::filesystem::path kTopologies = TALVEX_HOST_TOPOLOGIES;

std::uint32_t affinityCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    return static_cast<std::uint32_t>(CPU_COUNT(&set));
}

TEST(HostTopology, XmlTopologies) {
    struct Case {
        const char* file;
        std::uint32_t processors;
        std::uint32_t numa_nodes;
        std::optional<std::string> model;
    };
    const std::vector<Case> cases = {
        // pack:2 numa:2 core:4 pu:2, CPUModel on both packages.
        {"two_sockets.xml", 32, 4, "Example Server CPU 16-Core"},
        // The same machine with only PUs 4-7 (NUMA node 0) and 20-23 (node 2)
        // allowed: the allowed cpuset, not the whole board, counts.
        {"restricted.xml", 8, 2, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> notes;
        const HostTopology topology = probeTopology(kTopologies / c.file, notes);
        EXPECT_EQ(topology.logical_processors, c.processors);
        EXPECT_EQ(topology.numa_nodes, c.numa_nodes);
        EXPECT_EQ(topology.cpu_model, c.model);
        EXPECT_TRUE(notes.empty());
    }
}

TEST(HostTopology, ThisMachineCountsTheProcessorsThisProcessMayUse) {
    std::vector<std::string> notes;
    const HostTopology topology = probeTopology(std::nullopt, notes);
    EXPECT_EQ(topology.logical_processors, affinityCount());
    EXPECT_GE(topology.numa_nodes, 1U);
    EXPECT_TRUE(notes.empty());
}

TEST(HostTopology, UnloadableTopologyFallsBackToTheAffinity) {
    std::vector<std::string> notes;
    const std::filesystem::path missing = kTopologies / "no-such-topology.xml";
    const HostTopology topology = probeTopology(missing, notes);
    EXPECT_EQ(topology.logical_processors, affinityCount());
    EXPECT_EQ(topology.numa_nodes, 1U);
    EXPECT_FALSE(topology.cpu_model.has_value());
    ASSERT_EQ(notes.size(), 2U);
    EXPECT_TRUE(notes[0].starts_with("cannot use the topology file '" + missing.string() + "' ("))
        << notes[0];
    EXPECT_EQ(notes[1], "without a topology, logical_processors is this process's CPU affinity "
                        "and numa_nodes is 1");
}

} // namespace
} // namespace Core::Host

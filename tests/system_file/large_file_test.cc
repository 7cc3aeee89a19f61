// Large system files are read a piece at a time: the cuts fall only before
// top-level array headers, positions stay those of the whole file, and a
// file whose pieces do not stand alone is read whole, as toml++ reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "orchestration/canonical_bytes.h"
#include "system_file/system_file.h"
#include "system_file/toml_chunks.h"

namespace Core::SystemFile {
namespace {

LoadedSystem parse(const std::string& text) {
    return parseSystemText(text, "big.toml", [](const std::string&) -> std::string {
        throw std::runtime_error("no model configs here");
    });
}

/// `count` engines in a chain, each written with the forms a scan could
/// mistake for a header: a multi-line array, strings holding brackets and
/// "[[engines]]", comments. `inlined`: the same engines as one array of
/// inline tables, which nothing cuts.
std::string engines(int count, bool inlined = false) {
    std::string text = inlined ? "engines = [\n" : "";
    const std::string ports = "{ id = \"in\", direction = \"input\", schema = \"Vector/1\", "
                              "shape = [2], dtype = \"f32\" }, { id = \"out\", direction = "
                              "\"output\", schema = \"Vector/1\", shape = [2], dtype = \"f32\" }";
    for (int i = 0; i < count; ++i) {
        const std::string id = "e" + std::to_string(i);
        const std::string neurons = std::to_string(i + 1);
        if (inlined) {
            text.append("  { id = \"").append(id);
            text.append("\", class = \"sync\", profile = \"[[engines]]\\nx]\", "
                        "semantic_api_version = 1, ports = [");
            text.append(ports).append("], workload = { sync = { neurons = ").append(neurons);
            text.append(" } } },\n");
            continue;
        }
        text.append("\n[[engines]]\nid = \"").append(id);
        text.append("\"\nclass = \"sync\" # [[connections]]\nprofile = '''\n[[engines]]\nx]'''\n"
                    "semantic_api_version = 1\nports = [\n  ");
        text.append(ports).append(",\n]\n[engines.workload]\nsync = { neurons = ").append(neurons);
        text.append(" }\n");
    }
    return inlined ? text + "]\n" : text;
}

std::string connections(int count, bool inlined = false) {
    std::string text = inlined ? "connections = [\n" : "";
    for (int i = 0; i < count; ++i) {
        const std::string fields = "id = \"c" + std::to_string(i) + "\"" + (inlined ? ", " : "\n") +
                                   "from = \"e" + std::to_string(i) + ".out\"" +
                                   (inlined ? ", " : "\n") + "to = \"e" +
                                   std::to_string((i + 1) % count) + ".in\"" +
                                   (inlined ? ", " : "\n") + "delay = " +
                                   (i + 1 == count ? "1" : "0") + (inlined ? ", " : "\n") +
                                   "queue_capacity = 4" + (inlined ? ", " : "\n") +
                                   "overflow_policy = 1";
        text += inlined ? "  { " + fields + " },\n" : "\n[[ connections ]]\n" + fields + "\n";
    }
    return inlined ? text + "]\n" : text;
}

std::uint32_t lineOf(const std::string& text, std::size_t offset) {
    return 1 + static_cast<std::uint32_t>(
                   std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

TEST(LargeSystemFile, CutsFallOnlyBeforeTopLevelArrayHeaders) {
    const std::string text = "id = \"x\"\nlist = [\n[[engines]]\n]\n" + engines(3) +
                             "[[connections]]\nid = \"c\"\n";
    const std::vector<TomlChunk> chunks = tomlChunks(text, 0);
    ASSERT_EQ(chunks.size(), 5U);
    EXPECT_EQ(chunks[0].array, "");
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(chunks[i].array, "engines");
        EXPECT_TRUE(text.substr(chunks[i].begin).starts_with("[[engines]]\nid = \"e"));
    }
    EXPECT_EQ(chunks[4].array, "connections");
    EXPECT_EQ(chunks[1].line, 6U);
    // With a larger target, neighbours of one array share a piece.
    EXPECT_EQ(tomlChunks(text, 1 << 20).size(), 3U);
}

TEST(LargeSystemFile, PiecesReadAsTheWholeFile) {
    const int count = 4000; // well over the size read in pieces
    const std::string text = "id = \"chain\"\n" + engines(count) + connections(count);
    ASSERT_GT(text.size(), 3U << 19);
    const std::optional<LoadedSystem> pieces = readSystemTextInPieces(
        text, "big.toml", [](const std::string&) -> std::string { return {}; });
    ASSERT_TRUE(pieces) << "read whole, not in pieces";
    const LoadedSystem& loaded = *pieces;
    ASSERT_TRUE(loaded.findings.empty()) << loaded.findings.front().message;
    EXPECT_TRUE(checkSystem(loaded).empty());
    ASSERT_EQ(loaded.system.engines.size(), static_cast<std::size_t>(count));
    ASSERT_EQ(loaded.system.connections.size(), static_cast<std::size_t>(count));
    ASSERT_EQ(loaded.workloads.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(loaded.system.engines.back().profile, "[[engines]]\nx]");

    // Positions are those of the whole file, also far into it.
    EXPECT_EQ(loaded.system.engines.back().location.line, lineOf(text, text.rfind("[[engines]]\nid")));
    EXPECT_EQ(loaded.system.connections.back().location.line,
              lineOf(text, text.rfind("[[ connections ]]")));
    EXPECT_EQ(loaded.system.connections.back().source_engine, "e" + std::to_string(count - 1));

    // The same system as inline arrays, which is read whole: the same records.
    const LoadedSystem whole =
        parse("id = \"chain\"\n" + engines(count, true) + connections(count, true));
    ASSERT_TRUE(whole.findings.empty()) << whole.findings.front().message;
    EXPECT_EQ(Orchestration::systemHash(whole.system), Orchestration::systemHash(loaded.system));
    ASSERT_EQ(whole.workloads.size(), loaded.workloads.size());
    EXPECT_EQ(std::get<Estimation::SyncProfile>(whole.workloads.back().spec.profile).neurons,
              std::get<Estimation::SyncProfile>(loaded.workloads.back().spec.profile).neurons);
}

TEST(LargeSystemFile, APieceThatDoesNotStandAloneIsReadWhole) {
    const int count = 2500;
    // The workload of the last engine, written after the connections: valid
    // TOML that only the whole file can place.
    std::string text = "id = \"chain\"\n" + engines(count);
    text.erase(text.rfind("[engines.workload]"));
    text += connections(count) + "\n[engines.workload]\nsync = { neurons = 7 }\n";
    EXPECT_FALSE(readSystemTextInPieces(text, "big.toml",
                                        [](const std::string&) -> std::string { return {}; }));
    const LoadedSystem loaded = parse(text);
    ASSERT_TRUE(loaded.readable()) << loaded.findings.front().message;
    ASSERT_EQ(loaded.workloads.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(loaded.workloads.back().spec.engine, "e" + std::to_string(count - 1));
    EXPECT_EQ(std::get<Estimation::SyncProfile>(loaded.workloads.back().spec.profile).neurons, 7U);

    // A syntax error far into the file is reported at its line in the file.
    const std::string broken = "id = \"chain\"\n" + engines(count) + "\n[[engines]]\nid = \n";
    const LoadedSystem failed = parse(broken);
    ASSERT_EQ(failed.findings.size(), 1U);
    EXPECT_EQ(failed.findings[0].location.line, lineOf(broken, broken.rfind("id = ")));
}

} // namespace
} // namespace Core::SystemFile

// Machines read from inventory files: a saved inventory reads back to the
// same machine and the same answers, hand-written files take their defaults,
// and every problem names the JSON pointer of its value.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "companion/inventory_file.h"
#include "companion/render.h"
#include "companion_support.h"
#include "deployment/inventory_text.h"

namespace Core::Companion {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::runCommand;

class InventoryFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::current_path(TALVEX_SOURCE_DIR);
        saved_ = fs::temp_directory_path() /
                 ("talvex_inventory_" + std::to_string(::getpid()) + ".json");
    }
    void TearDown() override { fs::remove(saved_); }

    fs::path saved_;
};

TEST_F(InventoryFileTest, ASavedInventoryIsTheSameMachine) {
    const Placement::ResourceInventory fixture = Placement::portableInventoryFixture();
    const InventoryFile read = parseInventoryJson(inventoryJson(fixture, "fixture").dump());
    ASSERT_TRUE(read.inventory) << read.problems.front().message;
    EXPECT_EQ(*read.inventory, fixture);
    EXPECT_TRUE(read.notes.empty());

    // Saved by the command and read back by it: the same answers, but for
    // the report's first line, which names the file.
    const Outcome saved = runCommand({"inventory", "--format", "json"});
    ASSERT_EQ(saved.status, 0);
    std::ofstream(saved_) << saved.out;
    for (const std::string& file : testing::placementFiles()) {
        SCOPED_TRACE(file);
        const Outcome fromFixture = runCommand({"deploy", file});
        const Outcome fromFile = runCommand({"deploy", "--inventory", saved_.string(), file});
        EXPECT_EQ(fromFile.status, fromFixture.status);
        EXPECT_EQ(fromFile.err, fromFixture.err);
        if (fromFixture.status == 0) {
            const std::size_t firstLine = fromFixture.out.find('\n');
            EXPECT_EQ(fromFile.out.substr(0, fromFile.out.find('\n')),
                      "Resolved deployment (inventory " + saved_.string() + ")");
            EXPECT_EQ(fromFile.out.substr(fromFile.out.find('\n')), fromFixture.out.substr(firstLine));
        }
    }
}

TEST_F(InventoryFileTest, HandWrittenMachinesTakeTheirDefaults) {
    for (const auto& entry : fs::directory_iterator("examples/inventories")) {
        SCOPED_TRACE(entry.path().string());
        const InventoryFile read = readInventoryFile(entry.path().string());
        ASSERT_TRUE(read.inventory) << read.problems.front().message;
        EXPECT_TRUE(read.notes.empty());
        // Written out and read again, each is the same machine.
        const InventoryFile again =
            parseInventoryJson(inventoryJson(*read.inventory, "file").dump());
        ASSERT_TRUE(again.inventory);
        EXPECT_EQ(*again.inventory, *read.inventory);
    }
    const InventoryFile minimal = parseInventoryJson(
        R"({"devices": [{"id": "c", "kind": "cpu", "total_bytes": 1024},
                        {"id": "g0", "kind": "cuda", "total_bytes": 2048},
                        {"id": "g1", "kind": "cuda", "total_bytes": 2048}],
            "peers": [{"first": "g0", "second": "g1"}]})");
    ASSERT_TRUE(minimal.inventory) << minimal.problems.front().message;
    const Placement::ResourceInventory& machine = *minimal.inventory;
    EXPECT_EQ(machine.os, "unspecified");
    EXPECT_EQ(machine.logical_processors, 1U);
    EXPECT_EQ(machine.numa_nodes, 1U);
    EXPECT_EQ(machine.host_total, 1024U); // its CPU's memory
    EXPECT_EQ(machine.devices[0].name, "c");
    EXPECT_EQ(machine.devices[0].capabilities, std::vector<std::string>{"host_memory"});
    EXPECT_EQ(machine.devices[0].index, std::nullopt);
    EXPECT_EQ(machine.devices[1].index, 0U); // GPUs numbered in the order listed
    EXPECT_EQ(machine.devices[2].index, 1U);
    EXPECT_TRUE(machine.peers[0].enabled);
    EXPECT_EQ(machine.transports,
              std::vector<Placement::TransportKind>{Placement::TransportKind::in_process});
}

TEST_F(InventoryFileTest, DerivedKeysThatDisagreeAreNotedAndNotRead) {
    Json document = inventoryJson(Placement::portableInventoryFixture(), "fixture");
    document["hardware_fingerprint"] = "1";
    document["devices"][0]["usable_bytes"] = 5;
    const InventoryFile read = parseInventoryJson(document.dump());
    ASSERT_TRUE(read.inventory);
    EXPECT_EQ(*read.inventory, Placement::portableInventoryFixture());
    EXPECT_EQ(read.notes,
              (std::vector<std::string>{
                  "/hardware_fingerprint: the file says \"1\"; the machine it describes has "
                  "12899266385732286141",
                  "/devices/0/usable_bytes: the file says 5; total and available bytes give "
                  "402653184"}));
}

struct BadCase {
    std::string json;
    std::string message; ///< the first problem's message
    std::string note;    ///< its first note, or empty
};

TEST_F(InventoryFileTest, EveryProblemNamesItsValue) {
    const std::vector<BadCase> cases = {
        {R"({"devices": [{"id": "c", "kind": "cpu", "total_bytes": -5}]})",
         "/devices/0/total_bytes: expected a whole number from 0 to 18446744073709551615, "
         "found the number -5",
         ""},
        {R"({"devices": [{"id": "c", "kind": "gpu", "total_bytes": 1}]})",
         "/devices/0/kind: unknown kind 'gpu'", "a kind is 'cpu' or 'cuda'"},
        {R"({"devices": [{"id": "c", "kind": "cpu"}]})", "/devices/0: missing key 'total_bytes'",
         ""},
        {R"({"devices": [{"id": "c", "kind": "cpu", "total_bytes": 1},
                         {"id": "c", "kind": "cpu", "total_bytes": 1}]})",
         "/devices/1/id: device id 'c' is listed twice", ""},
        {R"({"devices": [{"id": "c", "kind": "cpu", "total_bytes": 1}],
             "peers": [{"first": "c", "second": "x"}]})",
         "/peers/0/second: peer names device 'x', which the inventory does not list", ""},
        {R"({"devices": [{"id": "c", "kind": "cpu", "totl_bytes": 1}]})",
         "/devices/0/totl_bytes: unknown key 'totl_bytes'", "did you mean 'total_bytes'?"},
        {R"({"host": {"logical_processors": 4294967296}})",
         "/host/logical_processors: 4294967296 is above the largest, 4294967295", ""},
        {R"({"host": {"os": 7}})", "/host/os: expected a string, found the number 7", ""},
        {R"({"transports": ["carrier_pigeon"]})",
         "/transports/0: unknown transport \"carrier_pigeon\"", ""},
        {R"({"format_version": 2})", "/format_version: the format version is 1, not 2", ""},
        {"[1]", "an inventory is a JSON object", ""},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.json);
        const InventoryFile read = parseInventoryJson(c.json);
        EXPECT_FALSE(read.inventory);
        ASSERT_FALSE(read.problems.empty());
        EXPECT_EQ(read.problems.front().message, c.message);
        if (!c.note.empty()) {
            ASSERT_FALSE(read.problems.front().notes.empty());
            EXPECT_EQ(read.problems.front().notes.front(), c.note);
        }
    }
    const InventoryFile syntax = parseInventoryJson("{\n  \"host\": {,\n}");
    ASSERT_EQ(syntax.problems.size(), 1U);
    EXPECT_EQ(syntax.problems[0].line, 2U);
    EXPECT_EQ(syntax.problems[0].column, 12U);
}

TEST_F(InventoryFileTest, AMachineWithAProblemAnswersNothing) {
    std::ofstream(saved_) << R"({"devices": [{"id": "c", "kind": "cpu", "total_bytes": "lots"}]})";
    for (const char* command : {"deploy", "check", "explain"}) {
        SCOPED_TRACE(command);
        const Outcome outcome =
            runCommand({command, "--inventory", saved_.string(), "examples/demo.cplace"});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, saved_.string() +
                                   ": error: /devices/0/total_bytes: expected a whole number from "
                                   "0 to 18446744073709551615, found the string \"lots\"\n");
    }
    const Outcome missing = runCommand({"inventory", "--inventory", "no-such.json"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.starts_with("no-such.json: error: cannot open inventory file: "
                                        "no-such.json\n"))
        << missing.err;
    EXPECT_EQ(runCommand({"inventory", "--inventory", "machine.yaml"}).status, 2);
}

// fit: one line per machine in the order named, whatever the threads; the
// status says whether any machine fits.
TEST_F(InventoryFileTest, FitAnswersPerMachineInTheOrderNamed) {
    std::ofstream(saved_) << runCommand({"inventory", "--format", "json"}).out;
    const std::vector<std::string> machines = {"examples/inventories", saved_.string(),
                                               "no-such.json", saved_.string()};
    std::vector<std::string> args = {"fit", "examples/demo.cplace"};
    args.insert(args.end(), machines.begin(), machines.end());
    const Outcome oneThread = [&] {
        std::vector<std::string> withJobs = args;
        withJobs.insert(withJobs.end(), {"--jobs", "1"});
        return runCommand(withJobs);
    }();
    EXPECT_EQ(oneThread.status, 0);
    EXPECT_EQ(oneThread.err, "");
    const std::string fixtureLine = saved_.string() +
                                    ": fits, fingerprint 12899266385732286141, tightest cpu0 on "
                                    "example-cpu with 61864776 bytes (58.9 MiB) of headroom\n";
    EXPECT_EQ(oneThread.out,
              "examples/inventories/cpu-node.json: refused, fingerprint 6003244532173937097: "
              "device.gpu0: declared device is absent from resource inventory\n"
              "examples/inventories/server-8gpu.json: fits, fingerprint 6100565257062325388, "
              "tightest gpu0 on GPU-srv-0 with 85899345920 bytes (80.0 GiB) of headroom\n"
              "examples/inventories/workstation.json: fits, fingerprint 14615765810853601184, "
              "tightest gpu0 on GPU-ws-0 with 25769803776 bytes (24.0 GiB) of headroom\n" +
                  fixtureLine + "no-such.json: error: cannot open inventory file: no-such.json\n" +
                  fixtureLine + "4 of 6 machines fit the plan\n");
    for (const char* jobs : {"2", "7"}) {
        std::vector<std::string> withJobs = args;
        withJobs.insert(withJobs.end(), {"--jobs", jobs});
        EXPECT_EQ(runCommand(withJobs).out, oneThread.out) << jobs << " threads";
    }

    const nlohmann::json document = nlohmann::json::parse(
        runCommand({"fit", "--format", "json", "examples/demo.cplace", "examples/inventories"}).out);
    EXPECT_EQ(document["fitting"], 2);
    ASSERT_EQ(document["machines"].size(), 3U);
    EXPECT_EQ(document["machines"][0]["refusal"],
              "device.gpu0: declared device is absent from resource inventory");
    EXPECT_EQ(document["machines"][2]["tightest"]["headroom"], 25769803776ULL);

    // No machine fits: status 1; a placement that does not lower: its problems.
    EXPECT_EQ(runCommand({"fit", "examples/demo.cplace", "examples/inventories/cpu-node.json"}).status,
              1);
    const Outcome wrongSystem =
        runCommand({"fit", "--system", "examples/assistant/assistant.toml",
                    "examples/demo.cplace", "examples/inventories"});
    EXPECT_EQ(wrongSystem.status, 1);
    EXPECT_EQ(wrongSystem.out, "");
    EXPECT_EQ(wrongSystem.err,
              "examples/demo.cplace:1:1: error: placement targets system 'composite-three-engine' "
              "but graph is 'assistant' [placement.system]\n");
}

} // namespace
} // namespace Core::Companion

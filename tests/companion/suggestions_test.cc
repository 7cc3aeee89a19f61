// The change suggested for a refused plan, made to the placement text as a
// person would make it: the edited text must resolve through the pipeline,
// against the same system and inventory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/pipeline.h"
#include "companion/inventory_file.h"
#include "companion/session.h"
#include "companion_support.h"
#include "deployment/inventory.h"

namespace Core::Companion {
namespace {

using Json = nlohmann::json;
using testing::runCommand;
using testing::slurp;

class SuggestionsTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(TALVEX_SOURCE_DIR); }
};

/// What a placement is resolved against: a system file or the built-in
/// system, an inventory file or the fixture.
struct Setting {
    std::string system;
    std::string inventory;

    [[nodiscard]] std::vector<std::string> options() const {
        std::vector<std::string> args;
        if (!system.empty()) {
            args.insert(args.end(), {"--system", system});
        }
        if (!inventory.empty()) {
            args.insert(args.end(), {"--inventory", inventory});
        }
        return args;
    }
};

/// The suggestion check prints for `file`, as its JSON document has it.
Json suggestionFor(const std::string& file, const Setting& setting) {
    std::vector<std::string> args = {"check", file, "--format", "json"};
    const std::vector<std::string> options = setting.options();
    args.insert(args.end(), options.begin(), options.end());
    const Json document = Json::parse(runCommand(args).out);
    return document["files"][0]["suggestion"];
}

/// The byte offset of a 1-based line and column.
std::size_t offsetOf(const std::string& text, std::size_t line, std::size_t column) {
    std::size_t offset = 0;
    for (std::size_t at = 1; at < line; ++at) {
        offset = text.find('\n', offset) + 1;
    }
    return offset + column - 1;
}

/// The end of the block that starts at `start`: just past its closing brace.
std::size_t blockEnd(const std::string& text, std::size_t start) {
    int depth = 0;
    for (std::size_t at = text.find('{', start); at < text.size(); ++at) {
        depth += text[at] == '{' ? 1 : text[at] == '}' ? -1 : 0;
        if (depth == 0) {
            return at + 1;
        }
    }
    return text.size();
}

/// Writes `edit` ("field: value;") in the block at `start`: in place of the
/// field's statement if the block has one, else as its first statement.
void writeField(std::string& text, std::size_t start, const std::string& edit) {
    const std::string field = edit.substr(0, edit.find(':') + 1);
    const std::size_t end = blockEnd(text, start);
    const std::size_t found = text.find(field, start);
    if (found < end) {
        text.replace(found, text.find(';', found) + 1 - found, edit);
    } else {
        text.insert(text.find('{', start) + 1, " " + edit);
    }
}

/// The placement text with the suggested change made.
std::string withChange(std::string text, const Json& suggestion) {
    const std::string edit = suggestion["edit"].get<std::string>();
    if (suggestion["line"].is_null()) {
        // A whole engine block, added at the end of the placement.
        text.insert(text.rfind('}'), "  " + edit + "\n");
        return text;
    }
    const std::size_t block = offsetOf(text, suggestion["line"].get<std::size_t>(),
                                       suggestion["column"].get<std::size_t>());
    // The position is the block's own: its keyword and name.
    const bool move = suggestion["kind"] == "move_engine";
    const std::string opening = move ? "engine " + suggestion["engine"].get<std::string>()
                                     : "device " + suggestion["device"].get<std::string>();
    EXPECT_EQ(text.compare(block, opening.size(), opening), 0) << text.substr(block, 40);
    writeField(text, block, edit);
    return text;
}

/// The system file with a suggested change to its workload made: the line
/// the suggestion points at replaced when it writes that key, else the edit
/// added after it (the table that lacks the key).
std::string withWorkloadChange(const std::string& toml, const Json& suggestion) {
    const std::string edit = suggestion["edit"].get<std::string>();
    const std::string key = edit.substr(0, edit.find(' '));
    const std::size_t line = offsetOf(toml, suggestion["line"].get<std::size_t>(), 1);
    const std::size_t end = toml.find('\n', line);
    std::string edited = toml;
    if (toml.compare(line, key.size(), key) == 0) {
        edited.replace(line, end - line, edit);
    } else {
        edited.insert(end + 1, edit + "\n");
    }
    return edited;
}

/// The pipeline's answer for `text` in this setting.
App::PipelineResult resolveText(const std::string& text, const std::string& file,
                                const Setting& setting) {
    const SystemSource system = setting.system.empty() ? SystemSource() : SystemSource(setting.system);
    const Placement::ResourceInventory inventory =
        setting.inventory.empty() ? Placement::portableInventoryFixture()
                                  : *readInventoryFile(setting.inventory).inventory;
    return App::resolvePlacement(text, file, system.spec(), inventory, system.workload());
}

/// The declared reserve of `device` in a placement text that lowers.
std::uint64_t reserveIn(const std::string& text, const std::string& device, const Setting& setting) {
    const SystemSource system = setting.system.empty() ? SystemSource() : SystemSource(setting.system);
    const Placement::LoweringResult lowered = App::lowerPlacementText(text, "edited", system.spec());
    for (const Placement::LoweredDevice& declared : lowered.ir.value().devices) {
        if (declared.id == device) {
            return declared.reserve;
        }
    }
    ADD_FAILURE() << "no device " << device;
    return 0;
}

/// A printed change that does not resolve the plan is a fault, whatever the
/// plan: every suggestion across the examples and the cases is made and
/// resolved.
TEST_F(SuggestionsTest, EveryPrintedChangeResolves) {
    std::vector<std::pair<std::string, Setting>> placements;
    for (const std::string& file : testing::placementFiles()) {
        placements.push_back({file, {}});
    }
    placements.push_back({"examples/assistant/oom.cplace", {"examples/assistant/assistant.toml", ""}});
    placements.push_back({"tests/companion/suggestions/cpu_node_reserve.cplace",
                          {"", "examples/inventories/cpu-node.json"}});
    placements.push_back({"examples/demo.cplace", {"", "examples/inventories/cpu-node.json"}});
    int changes = 0;
    for (const auto& [file, setting] : placements) {
        SCOPED_TRACE(file + " " + setting.system + " " + setting.inventory);
        const Json suggestion = suggestionFor(file, setting);
        if (suggestion.is_null() || suggestion["kind"] == "none" ||
            suggestion["kind"] == "reduce_workload") {
            continue; // a workload's change is made to its system file, below
        }
        const std::string edited = withChange(slurp(file), suggestion);
        EXPECT_TRUE(App::isResolved(resolveText(edited, file, setting))) << edited;
        ++changes;
    }
    EXPECT_GE(changes, 6);
}

// One refused plan of each kind, with the change it gets; a lowered reserve
// is the most that resolves: one MiB more does not.
TEST_F(SuggestionsTest, EachRefusalGetsTheChangeItNeeds) {
    struct Case {
        std::string file;
        Setting setting;
        std::string kind;
        std::string edit; ///< empty for none
    };
    const std::vector<Case> cases = {
        {"tests/companion/cases/suggest_move.cplace", {}, "move_engine", "device: gpu0;"},
        {"tests/companion/cases/suggest_move_pinned.cplace", {}, "move_engine", "device: gpu0;"},
        {"tests/companion/cases/suggest_engine_block.cplace", {}, "move_engine",
         "engine temporal-dpsh { device: gpu0; }"},
        {"tests/companion/cases/suggest_reserve.cplace", {}, "lower_reserve", "reserve: 2682 MiB;"},
        {"tests/companion/cases/no_room.cplace", {}, "lower_reserve", "reserve: 62 MiB;"},
        {"tests/companion/suggestions/cpu_node_reserve.cplace",
         {"", "examples/inventories/cpu-node.json"}, "lower_reserve", "reserve: 15994 MiB;"},
        // A language model's own workload before its device's reserve.
        {"examples/assistant/oom.cplace", {"examples/assistant/assistant.toml", ""},
         "reduce_workload", "sessions = 3"},
        // One device, no reserve: nothing to move to, nothing to lower.
        {"examples/oom.cplace", {}, "none", ""},
        // Two devices over: one change mends one.
        {"tests/companion/cases/memory_refusals.cplace", {}, "none", ""},
        // First fit cannot fit all three on the one device, reserve or not.
        {"tests/companion/cases/first_fit_figures.cplace", {}, "none", ""},
        // Moving the engine off the absent GPU leaves the GPU declared.
        {"tests/companion/cases/pinned_to_absent_gpu.cplace", {}, "none", ""},
        // A device the inventory does not have is neither moved to nor lowered.
        {"examples/demo.cplace", {"", "examples/inventories/cpu-node.json"}, "none", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Json suggestion = suggestionFor(c.file, c.setting);
        ASSERT_TRUE(suggestion.is_object());
        EXPECT_EQ(suggestion["kind"], c.kind);
        if (c.kind == "none") {
            EXPECT_EQ(suggestion["note"], "no single change resolves this plan");
            EXPECT_TRUE(suggestion["edit"].is_null());
            continue;
        }
        EXPECT_EQ(suggestion["edit"], c.edit);
        if (c.kind == "reduce_workload") {
            // Made to a copy of the system file beside it, so that its model
            // config resolves as from the original.
            const std::string copy = c.setting.system + ".edited.toml";
            std::ofstream(copy) << withWorkloadChange(slurp(c.setting.system), suggestion);
            EXPECT_EQ(suggestion["file"], c.setting.system);
            EXPECT_TRUE(App::isResolved(resolveText(slurp(c.file), c.file, {copy, c.setting.inventory})));
            std::filesystem::remove(copy);
            continue;
        }
        const std::string text = slurp(c.file);
        const std::string edited = withChange(text, suggestion);
        EXPECT_TRUE(App::isResolved(resolveText(edited, c.file, c.setting))) << edited;
        if (c.kind == "lower_reserve") {
            const std::string device = suggestion["device"].get<std::string>();
            const std::uint64_t reserve = suggestion["reserve"].get<std::uint64_t>();
            EXPECT_EQ(reserveIn(edited, device, c.setting), reserve);
            EXPECT_LT(reserve, reserveIn(text, device, c.setting));
            Json tighter = suggestion;
            tighter["edit"] = "reserve: " + std::to_string(reserve + 1048576) + " B;";
            EXPECT_FALSE(App::isResolved(resolveText(withChange(text, tighter), c.file, c.setting)));
        }
    }
}

// Plans of language models read from their configs (tests/companion/models):
// a sliding window that lets a plan fit, fewer sessions before a move to a
// CPU, and a warning when first fit takes the CPU while the GPU had room.
TEST_F(SuggestionsTest, ALanguageModelIsAdvisedAsItsUserWouldBe) {
    const std::string models = "tests/companion/models/";
    const auto check = [&](const std::string& system, const std::string& inventory,
                           const std::string& placement) {
        return runCommand({"check", "--format", "json", "--system", models + system + ".toml",
                           "--inventory", inventory, models + placement + ".cplace"});
    };
    // Eight sessions of 32k hold 4,096 tokens each on every layer.
    EXPECT_EQ(check("mistral-8x32k", models + "gpu-48gib.json", "on_gpu").status, 0);

    const testing::Outcome tooMany =
        check("qwen3-8b-8x32k", "examples/inventories/workstation.json", "on_gpu");
    EXPECT_EQ(tooMany.status, 1);
    const Json cut = Json::parse(tooMany.out)["files"][0]["suggestion"];
    EXPECT_EQ(cut["kind"], "reduce_workload");
    EXPECT_EQ(cut["edit"], "sessions = 1");
    EXPECT_EQ(cut["file"], models + "qwen3-8b-8x32k.toml");
    EXPECT_EQ(cut["line"], 11);
    EXPECT_EQ(cut["note"], "the plan resolves with 'chat' at 1 session: write 'sessions = 1' in "
                           "its workload (tests/companion/models/qwen3-8b-8x32k.toml:11)");

    const testing::Outcome firstFit =
        check("qwen3-8b-1x8k", "examples/inventories/workstation.json", "first_fit");
    EXPECT_EQ(firstFit.status, 0);
    const Json warning = Json::parse(firstFit.out)["files"][0]["diagnostics"][0];
    EXPECT_EQ(warning["code"], "W004");
    EXPECT_EQ(warning["severity"], "warning");
    EXPECT_EQ(warning["message"], "first fit placed transformer 'chat' on cpu device 'cpu0' while "
                                  "cuda device 'gpu0' had room for it");
    EXPECT_EQ(warning["notes"][0],
              "first fit takes devices in name order; the plan resolves with it on 'gpu0': add to "
              "the placement: engine chat { device: gpu0; }");
    // Figures written by hand keep their answers: the built-in example's
    // transformer goes to the CPU by first fit without a word.
    EXPECT_EQ(runCommand({"check", "examples/demo.cplace"}).out, "");
}

// The suggestion is the last note on the first issue, and deploy and
// explain carry the one check finds.
TEST_F(SuggestionsTest, EveryCommandCarriesTheSameSuggestion) {
    const Json document = Json::parse(
        runCommand({"check", "--format", "json", "tests/companion/cases/suggest_move.cplace"}).out);
    const Json& file = document["files"][0];
    EXPECT_EQ(file["diagnostics"][0]["notes"].back(), file["suggestion"]["note"]);
    for (const char* command : {"deploy", "explain"}) {
        const Json other = Json::parse(runCommand({command, "--format", "json",
                                                   "tests/companion/cases/suggest_move.cplace"})
                                           .out);
        EXPECT_EQ(other["suggestion"], file["suggestion"]) << command;
    }
}

} // namespace
} // namespace Core::Companion

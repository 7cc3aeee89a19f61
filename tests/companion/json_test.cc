// The JSON documents parsed back and held against the text forms: the same
// diagnostics, the same report, and an explanation that adds up.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "companion_support.h"

namespace Core::Companion {
namespace {

using Json = nlohmann::json;
using testing::Outcome;
using testing::runCommand;

class JsonTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(TALVEX_SOURCE_DIR); }
};

/// The text as the JSON documents carry it: each byte that is not UTF-8 as U+FFFD.
std::string asJsonText(const std::string& text) {
    return Json::parse(Json(text).dump(-1, ' ', false, Json::error_handler_t::replace))
        .get<std::string>();
}

Json parsed(const Outcome& outcome) {
    EXPECT_EQ(outcome.err, "");
    return Json::parse(outcome.out); // throws, failing the test, on anything but one document
}

/// A diagnostic as the text form writes it.
std::string asText(const Json& diagnostic, const std::string& file) {
    std::string position = file;
    if (!diagnostic["file"].is_null()) {
        position = diagnostic["file"].get<std::string>() + ":" +
                   std::to_string(diagnostic["line"].get<int>()) + ":" +
                   std::to_string(diagnostic["column"].get<int>());
    }
    std::string text = position + ": " + diagnostic["severity"].get<std::string>() + ": " +
                       diagnostic["message"].get<std::string>();
    if (!diagnostic["path"].is_null()) {
        text += " [" + diagnostic["path"].get<std::string>() + "]";
    }
    text += "\n";
    const Json& notes = diagnostic["notes"];
    for (std::size_t i = 0; i < notes.size(); ++i) {
        const Json& at = diagnostic["note_positions"][i];
        const std::string notePosition =
            at.is_null() ? position
                         : diagnostic["file"].get<std::string>() + ":" +
                               std::to_string(at["line"].get<int>()) + ":" +
                               std::to_string(at["column"].get<int>());
        text += notePosition + ": note: " + notes[i].get<std::string>() + "\n";
    }
    return text;
}

/// The text form without the source lines and carets, which JSON leaves to its reader.
std::string withoutExcerpts(const std::string& text) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("    ")) {
            kept += line + "\n";
        }
    }
    return kept;
}

TEST_F(JsonTest, CheckSaysWhatTheTextSays) {
    std::vector<std::string> args = {"check"};
    for (const std::string& file : testing::placementFiles()) {
        args.push_back(file);
    }
    args.emplace_back("tests/no-such.cplace");
    const Outcome text = runCommand(args);
    args.emplace_back("--format");
    args.emplace_back("json");
    const Outcome json = runCommand(args);
    EXPECT_EQ(json.status, text.status);
    const Json document = parsed(json);
    EXPECT_EQ(document["format_version"], 1);
    EXPECT_EQ(document["command"], "check");
    EXPECT_EQ(document["inventory"], "fixture");
    EXPECT_EQ(document["resolved"], text.status == 0);
    std::string rendered;
    for (const Json& file : document["files"]) {
        bool error = false;
        for (const Json& diagnostic : file["diagnostics"]) {
            rendered += asText(diagnostic, file["file"].get<std::string>());
            error = error || diagnostic["severity"] == "error";
            // Every rule has its code, and every problem a note on what to do.
            EXPECT_TRUE(diagnostic["code"].is_string()) << diagnostic["message"];
            EXPECT_FALSE(diagnostic["notes"].empty()) << diagnostic["message"];
        }
        EXPECT_EQ(file["resolved"], !error) << file["file"];
    }
    EXPECT_EQ(rendered, asJsonText(withoutExcerpts(text.out)));
}

TEST_F(JsonTest, DeploySaysWhatTheReportSays) {
    for (const std::string& file : testing::placementFiles()) {
        SCOPED_TRACE(file);
        const Outcome text = runCommand({"deploy", file});
        const Outcome json = runCommand({"deploy", file, "--format", "json"});
        EXPECT_EQ(json.status, text.status);
        const Json document = parsed(json);
        EXPECT_EQ(document["format_version"], 1);
        EXPECT_EQ(document["command"], "deploy");
        EXPECT_EQ(document["file"], file);
        EXPECT_EQ(document["resolved"], text.status == 0);
        if (text.status != 0) {
            // The tool's error line is the refusal after its prefix.
            EXPECT_EQ("deployment example: " + document["refusal"].get<std::string>() + "\n",
                      asJsonText(text.err));
            EXPECT_FALSE(document["diagnostics"].empty());
            continue;
        }
        // Rebuild the report from the document, line by line.
        std::string report = "Resolved deployment (portable inventory fixture)\nplacement_hash=" +
                             document["placement_hash"].get<std::string>() +
                             " hardware_fingerprint=" +
                             document["hardware_fingerprint"].get<std::string>() + "\n";
        for (const Json& engine : document["engines"]) {
            report += engine["engine"].get<std::string>() + " -> " +
                      engine["device"].get<std::string>() + "\n";
        }
        for (const Json& budget : document["budgets"]) {
            report += budget["device"].get<std::string>() +
                      " requested=" + std::to_string(budget["requested"].get<std::uint64_t>()) +
                      " usable=" + std::to_string(budget["usable"].get<std::uint64_t>()) +
                      " headroom=" + std::to_string(budget["headroom"].get<std::uint64_t>()) + "\n";
        }
        EXPECT_EQ(report, text.out);
        EXPECT_TRUE(document["refusal"].is_null());
    }
}

// For every placement that resolves: the terms of each engine add up to its
// peak, and the peaks of the engines on a device to its requested figure.
TEST_F(JsonTest, ExplanationAddsUp) {
    int explained = 0;
    for (const std::string& file : testing::placementFiles()) {
        SCOPED_TRACE(file);
        const Outcome outcome = runCommand({"explain", file, "--format", "json"});
        const Json document = Json::parse(outcome.out);
        EXPECT_EQ(document["command"], "explain");
        EXPECT_EQ(document["resolved"], outcome.status == 0);
        if (outcome.status != 0) {
            EXPECT_TRUE(document["engines"].empty());
            continue;
        }
        std::map<std::string, std::uint64_t> onDevice;
        for (const Json& engine : document["engines"]) {
            std::uint64_t sum = 0;
            for (const Json& term : engine["terms"]) {
                EXPECT_EQ(term["bytes"].get<std::uint64_t>(),
                          term["high"].get<std::uint64_t>() * term["multiplier"].get<std::uint64_t>());
                sum += term["bytes"].get<std::uint64_t>();
            }
            EXPECT_EQ(sum, engine["peak"].get<std::uint64_t>()) << engine["engine"];
            onDevice[engine["device"].get<std::string>()] += sum;
        }
        for (const Json& budget : document["budgets"]) {
            EXPECT_EQ(onDevice[budget["device"].get<std::string>()],
                      budget["requested"].get<std::uint64_t>())
                << budget["device"];
        }
        // First fit lists every engine it placed, pinned first.
        if (!document["first_fit"].empty()) {
            EXPECT_EQ(document["first_fit"].size(), document["engines"].size());
        }
        ++explained;
    }
    EXPECT_GE(explained, 5);
}

TEST_F(JsonTest, InventoryDocument) {
    const Json document = parsed(runCommand({"inventory", "--format", "json"}));
    EXPECT_EQ(document["format_version"], 1);
    EXPECT_EQ(document["inventory"], "fixture");
    EXPECT_EQ(document["hardware_fingerprint"], "12899266385732286141");
    EXPECT_EQ(document["canonical_text"].get<std::string>().size(), 321u);
    ASSERT_EQ(document["devices"].size(), 2u);
    EXPECT_EQ(document["devices"][0]["id"], "example-cpu");
    EXPECT_EQ(document["devices"][0]["usable_bytes"], 402653184);
    EXPECT_TRUE(document["devices"][0]["index"].is_null());
    EXPECT_EQ(document["devices"][1]["usable_bytes"], 3221225472ULL);
    EXPECT_EQ(document["devices"][1]["index"], 0);
    EXPECT_EQ(document["host"]["host_available"], 402653184);
    EXPECT_TRUE(document["host"]["cuda_driver"].is_null());
    EXPECT_EQ(document["notes"], Json::array());
}

} // namespace
} // namespace Core::Companion

// Hints: near words, the notes on parse errors, and the notes lowering gives
// its issues.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "orchestration/example_system.h"
#include "placement/hints.h"
#include "placement/lowering.h"
#include "placement/parser.h"

namespace Core::Placement {
namespace {

TEST(Hints, NearestWord) {
    const std::vector<std::string_view> words = {"validate_only", "explicit", "first_fit"};
    struct Case {
        std::string_view word;
        std::optional<std::string_view> nearest;
    };
    const Case cases[] = {
        {"first_fit", "first_fit"}, {"firstfit", "first_fit"}, {"First_Fit", "first_fit"},
        {"frist_fit", "first_fit"}, // two neighbours swapped
        {"explcit", "explicit"},    {"explicitly", "explicit"}, {"automatic", std::nullopt},
        {"fit", std::nullopt},
        {"", std::nullopt},         {"x", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(nearestWord(c.word, words), c.nearest);
    }
    // Short words allow one edit only.
    const std::vector<std::string_view> units = {"B", "KiB", "MiB", "GiB"};
    EXPECT_EQ(nearestWord("Mib", units), "MiB");
    EXPECT_EQ(nearestWord("mb", units), std::nullopt);
}

std::vector<std::string> notesOf(std::string_view text) {
    try {
        (void)parsePlacement(text, "h.cplace");
    } catch (const ParseError& error) {
        return parseErrorNotes(error);
    }
    return {"parsed"};
}

std::string body(std::string_view fields) {
    return "placement p for system s {\nformat: 1;\n" + std::string(fields) + "\n}\n";
}

TEST(Hints, ParseErrorNotes) {
    struct Case {
        std::string text;
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases = {
        {body("policy: firstfit;"), {"did you mean 'first_fit'?"}},
        {body("policy: fastest;"),
         {"expected policy 'validate_only', 'explicit' or 'first_fit'"}},
        {body("policy: ;"), {"expected policy 'validate_only', 'explicit' or 'first_fit'"}},
        {body("determinsm: strict;"), {"did you mean 'determinism'?"}},
        {body("device d { knid: cpu; }"), {"did you mean 'kind'?"}},
        {body("device d { kind: CPU; }"), {"did you mean 'cpu'?"}},
        {body("device d { kind: cpu; reserve: 512; }"),
         {"a size takes a unit: 'B', 'KiB', 'MiB' or 'GiB'"}},
        // Units and kinds as people write them point where they were meant, not
        // at the nearest spelling ('B', 'cpu').
        {body("device d { kind: cpu; reserve: 512 Mib; }"),
         {"did you mean 'MiB'? sizes count in binary units: 1 MiB is 1048576 bytes"}},
        {body("device d { kind: cpu; reserve: 5 MB; }"),
         {"did you mean 'MiB'? sizes count in binary units: 1 MiB is 1048576 bytes"}},
        {body("device d { kind: cpu; reserve: 2 GB; }"),
         {"did you mean 'GiB'? sizes count in binary units: 1 GiB is 1073741824 bytes"}},
        {body("device d { kind: cpu; reserve: 64 kb; }"),
         {"did you mean 'KiB'? sizes count in binary units: 1 KiB is 1024 bytes"}},
        {body("device d { kind: gpu; }"),
         {"did you mean 'cuda'? an NVIDIA GPU is of kind cuda, its number in selector: { "
          "index: N; };"}},
        {body("device d { kind: nvidia; }"),
         {"did you mean 'cuda'? an NVIDIA GPU is of kind cuda, its number in selector: { "
          "index: N; };"}},
        {body("device d { kind: cuda0; }"),
         {"did you mean 'cuda'? an NVIDIA GPU is of kind cuda, its number in selector: { "
          "index: N; };"}},
        // The message keeps the byte; the note shows the whole character.
        {body("device g\xC3\xA9 { kind: cpu; }"),
         {"'\xC3\xA9' (U+00E9) can stand only in a quoted string or a comment; names are ASCII "
          "letters, digits, '_', '-' and '.'"}},
        {body("device g\xFF { kind: cpu; }"),
         {"the byte 0xFF can stand only in a quoted string or a comment; names are ASCII "
          "letters, digits, '_', '-' and '.'"}},
        {body("defaults transfomer { }"), {"did you mean 'transformer'?"}},
        {body("engine e { residency: persistant; }"), {"did you mean 'persistent'?"}},
        // The word is judged after its ':', which is missing here.
        {body("engine e { memroy { } }"), {}},
        {body("engine e { model { artifact: \"a\"; weights: shared_readonly; } }"),
         {"did you mean 'shared_read_only'?"}},
        // The message names the one word taken there already.
        {body("engine e { model { artifact: \"a\"; weights: shared; } }"), {}},
        {body("engine e { model { artefact: \"a\"; } }"), {"did you mean 'artifact'?"}},
        {"placment p for system s { format: 1; }", {"did you mean 'placement'?"}},
        {"placement p fro system s { format: 1; }", {"did you mean 'for'?"}},
        // Nothing near, and nothing to list: the message says it all.
        {body("format: 2;"), {}},
        {"\xEF\xBB\xBFplacement p for system s { format: 1; }",
         {"the file starts with a UTF-8 byte-order mark; save it without one"}},
        {body("device d { kind: cpu; }"), {"parsed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(notesOf(c.text), c.notes);
    }
}

TEST(Hints, DecimalSizesAreWrittenWhole) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1.5 GiB", "sizes are whole numbers: write 1536 MiB for 1.5 GiB"},
        {"0.25 KiB", "sizes are whole numbers: write 256 B for 0.25 KiB"},
        {"2.0 MiB", "sizes are whole numbers: write 2 MiB for 2.0 MiB"},
        {"1.3 B", "sizes are whole numbers in B, KiB, MiB or GiB"},
    };
    // A byte that starts no token after the fraction is the error, in its file.
    try {
        (void)parsePlacement(body("device d { kind: cpu; reserve: 1 .\xAC; }"), "h.cplace");
        ADD_FAILURE() << "parsed";
    } catch (const ParseError& error) {
        EXPECT_EQ(error.text(), "h.cplace:3:35: unexpected character '\xAC'");
    }
    for (const auto& [size, note] : cases) {
        SCOPED_TRACE(size);
        try {
            (void)parsePlacement(body("device d { kind: cpu; reserve: " + size + "; }"), "h.cplace");
            ADD_FAILURE() << "parsed";
        } catch (const ParseError& error) {
            EXPECT_EQ(error.message(), "unknown byte unit '" + size.substr(1, size.find(' ') - 1) + "'");
            ASSERT_EQ(error.hint().notes.size(), 1U);
            EXPECT_EQ(error.hint().notes.front().message, note);
            EXPECT_TRUE(parseErrorNotes(error).empty());
        }
    }
}

/// Lowering issues with their notes, "path: message -> note" each.
std::vector<std::string> loweringNotes(std::string_view text) {
    const Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    IssueNotes notes;
    PlacementLowering lowering(system, &notes);
    const PlacementSpec header = parsePlacement(text, "l.cplace", lowering);
    const LoweringResult result = lowering.finish(header);
    std::vector<std::string> lines;
    for (const PlacementIssue& issue : result.issues) {
        for (const std::string& note : notes.of(issue.path, issue.message)) {
            lines.push_back(issue.path + ": " + note);
        }
    }
    return lines;
}

TEST(Hints, LoweringNotes) {
    const std::string header = "placement p for system composite-three-engine { format: 1; ";
    EXPECT_EQ(loweringNotes(header + "engine sensory_sync { } engine radar { } }"),
              (std::vector<std::string>{
                  "engine.radar: an engine of 'composite-three-engine' is one of 'sensory-sync', "
                  "'intuition-transformer' or 'temporal-dpsh'",
                  "engine.sensory_sync: did you mean 'sensory-sync'?"}));
    EXPECT_EQ(loweringNotes(header + "device gpu0 { kind: cuda; selector: { index: 0; }; } "
                                     "engine temporal-dpsh { device: gpu9; } "
                                     "engine sensory-sync { device: tpu; } }"),
              (std::vector<std::string>{
                  "engine.sensory-sync: a declared device is one of 'gpu0'",
                  "engine.sensory-sync: to declare it: device tpu { kind: cuda; selector: { "
                  "index: 0; }; }",
                  "engine.temporal-dpsh: did you mean 'gpu0'?",
                  "engine.temporal-dpsh: to declare it: device gpu9 { kind: cuda; selector: { "
                  "index: 9; }; }"}));
    EXPECT_EQ(loweringNotes(header + "engine temporal-dpsh { device: cpu1; } }"),
              (std::vector<std::string>{
                  "engine.temporal-dpsh: no device is declared; add a device block for it",
                  "engine.temporal-dpsh: to declare it: device cpu1 { kind: cpu; }"}));
    EXPECT_EQ(loweringNotes(header + "policy: explicit; device g { kind: cuda; } "
                                     "engine sensory-sync { } engine temporal-dpsh { device: g; } "
                                     "engine intuition-transformer { device: g; } }"),
              (std::vector<std::string>{
                  "device.g: add to its block: selector: { index: 0; };",
                  "engine.sensory-sync: add to its engine block: device: NAME;"}));
    // Without notes asked for, lowering gives the same issues and no notes.
    const Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    EXPECT_EQ(lowerPlacement(parsePlacement(header + "engine radar { } }", "l.cplace"), system)
                  .issues.size(),
              1u);
}

} // namespace
} // namespace Core::Placement

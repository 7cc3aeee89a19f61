// A recovering parse: every independent fault of a file once, at its
// position, the first exactly as the strict parse throws it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "placement/parser.h"

namespace Core::Placement {
namespace {

std::vector<std::string> errorsOf(const std::string& text) {
    std::vector<std::string> found;
    for (const ParseError& error : collectParseErrors(text, "f.cplace").errors) {
        found.push_back(std::to_string(error.location().line) + ":" +
                        std::to_string(error.location().column) + ": " + error.message());
    }
    return found;
}

struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> errors;
};

TEST(ParseRecovery, ReportsEachIndependentFaultOnce) {
    const std::vector<Case> cases = {
        {"clean", "placement p for system s { format: 1; }", {}},
        {"five typos in five fields",
         "placement p for system s {\n"
         "  fromat: 1;\n"                                 // unknown placement field
         "  policy: frist_fit;\n"                         // unknown policy
         "  device gpu0 { kind: gpu; reserve: 5 MB; }\n"  // two faults in one block
         "  engine a { residency: persistent priority: batch; }\n" // missing ';'
         "  defaults transformer { residency: resident; }\n"
         "}\n",
         {"2:3: unknown placement field 'fromat'", "3:11: unknown policy 'frist_fit'",
          "4:23: unknown device kind 'gpu'", "4:39: unknown byte unit 'MB'",
          "5:36: expected ';'", "6:37: unknown residency 'resident'"}},
        {"missing ';' at the end of a line",
         "placement p for system s {\n  format: 1\n  policy: first_fit;\n  determinism: x;\n}\n",
         {"3:3: expected ';'", "4:16: unknown determinism 'x'"}},
        {"a block whose '}' is missing ends where the next block begins",
         "placement p for system s {\n  format: 1;\n  device gpu0 { kind: cuda;\n"
         "  device gpu1 { kind: cpu; }\n  engine e {\n    device: gpu0;\n"
         "  engine f { priority: none; }\n}\n",
         {"4:10: expected ':'", "7:10: expected ':'", "7:24: unknown priority 'none'"}},
        {"a nested block is skipped whole",
         "placement p for system s {\n  format: 1;\n"
         "  device g { kind: cuda; selector: { index: x; }; reserve: 1 XB; }\n}\n",
         {"3:45: expected unsigned integer", "3:62: unknown byte unit 'XB'"}},
        {"lexical faults, a multi-byte character once",
         "placement p for system s {\n  format: 1;\n  device g\xC3\xA9 { kind: cuda; }\n"
         "  engine e { model { artifact: \"unterminated; } }\n  policy: $;\n}\n",
         {"3:11: unexpected character '\xC3'", "4:32: newline in string",
          "5:11: unexpected character '$'"}},
        {"checks on a broken block are not reported again",
         "placement p for system s {\n  format: 1;\n  device g { knd: cuda; }\n"
         "  engine e { model { artifact: 5; } }\n}\n",
         {"3:14: unknown device field 'knd'", "4:32: expected quoted string"}},
        {"duplicates and checks after a clean block are faults of their own",
         "placement p for system s {\n  format: 1;\n  format: 1;\n  device g { }\n"
         "  device g { kind: cpu; }\n  engine e { model { } }\n}\n",
         {"3:3: duplicate format", "4:3: device requires kind", "5:3: duplicate device 'g'",
          "6:24: model requires artifact"}},
        {"a lost top-level field does not also read as a missing format",
         "placement p for system s {\n  fromat: 1;\n}\n", {"2:3: unknown placement field 'fromat'"}},
        {"a missing format alone", "placement p for system s {\n}\n",
         {"1:1: missing required format"}},
        {"a broken header, then the body",
         "placement p for sys s {\n  format: 2;\n}\n",
         {"1:17: expected 'system'", "2:3: unsupported placement format 2"}},
        {"the end of the text inside a block is one error",
         "placement p for system s {\n  format: 1;\n  device g { kind: cpu;\n",
         {"4:1: expected device field"}},
        {"an early '}' leaves the rest unjudged",
         "placement p for system s {\n  format: 1;\n}\n}\n  engine e { }\n",
         {"4:1: unexpected content after placement"}},
        {"the empty text", "", {"1:1: expected 'placement'"}},
        {"a byte no token starts with after the body",
         "placement p for system s {\n  policy: First_fit;\n  format: 1;\n}\x7F\n",
         {"2:11: unknown policy 'First_fit'", "4:2: unexpected character '\x7F'"}},
        {"a byte no token starts with after a block",
         "placement p for system s {\n  format: 1;\n  device g { kind: cpu; }$\n  policy: x;\n}\n",
         {"3:26: unexpected character '$'", "4:11: unknown policy 'x'"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorsOf(c.text), c.errors) << c.name;
        if (!c.errors.empty()) {
            try {
                (void)parsePlacement(c.text, "f.cplace");
                ADD_FAILURE() << c.name << ": the strict parse accepted it";
            } catch (const ParseError& error) {
                EXPECT_EQ(collectParseErrors(c.text, "f.cplace").errors.front().text(),
                          error.text())
                    << c.name;
            }
        }
    }
}

TEST(ParseRecovery, MissingSemicolonPointsAtTheEndOfThePreviousToken) {
    const PlacementParseErrors parsed =
        collectParseErrors("placement p for system s {\n  format: 1 # one\n  policy: first_fit;\n}\n",
                           "f.cplace");
    ASSERT_EQ(parsed.errors.size(), 1U);
    const ParseError& error = parsed.errors.front();
    EXPECT_EQ(error.text(), "f.cplace:3:3: expected ';'");
    ASSERT_EQ(error.hint().notes.size(), 1U);
    const ParseNote& note = error.hint().notes.front();
    ASSERT_TRUE(note.location);
    EXPECT_EQ(note.location->line, 2U);
    EXPECT_EQ(note.location->column, 12U);
    EXPECT_EQ(note.message,
              "the ';' is missing here, after '1'; the next token is 'policy', on a later line");
}

TEST(ParseRecovery, StopsAtTheLimitWithoutLooping) {
    std::string text = "placement p for system s {\n  format: 1;\n";
    for (int i = 0; i < 500; ++i) {
        text += "  bogus: 1;\n";
    }
    text += "}\n";
    const PlacementParseErrors parsed = collectParseErrors(text, "f.cplace");
    EXPECT_EQ(parsed.errors.size(), kMaxParseErrors);
    EXPECT_TRUE(parsed.stopped_early);

    // Garbage of every kind still ends, within the text.
    const std::string noise = "placement p for system s { { } } ; : \" \xFF } { device { engine {";
    for (const ParseError& error : collectParseErrors(noise, "f.cplace").errors) {
        EXPECT_EQ(error.location().line, 1U);
        EXPECT_LE(error.location().column, noise.size() + 1);
    }
}

} // namespace
} // namespace Core::Placement

// Tokens, positions and the token-level reading operations.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "placement/lexer.h"
#include "placement/placement_parser.h"

namespace Core::Placement {
namespace {

struct Lexed {
    TokenKind kind;
    std::string text;
    std::uint32_t line;
    std::uint32_t column;
};

std::vector<Lexed> lexAll(std::string_view text) {
    PlacementParser parser(text, "t.cplace");
    std::vector<Lexed> tokens;
    while (true) {
        const Token& token = parser.current();
        tokens.push_back(
            {token.kind, std::string(token.text), token.location.line, token.location.column});
        if (token.kind == TokenKind::end) {
            return tokens;
        }
        parser.advance();
    }
}

std::string lexError(std::string_view text) {
    try {
        lexAll(text);
    } catch (const ParseError& error) {
        return error.text();
    }
    return "no error";
}

void expectTokens(std::string_view text, const std::vector<Lexed>& expected) {
    SCOPED_TRACE(std::string(text));
    const std::vector<Lexed> tokens = lexAll(text);
    ASSERT_EQ(tokens.size(), expected.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tokens[i].kind, expected[i].kind);
        EXPECT_EQ(tokens[i].text, expected[i].text);
        EXPECT_EQ(tokens[i].line, expected[i].line);
        EXPECT_EQ(tokens[i].column, expected[i].column);
    }
}

constexpr TokenKind Id = TokenKind::identifier;
constexpr TokenKind Num = TokenKind::number;
constexpr TokenKind Str = TokenKind::string;
constexpr TokenKind End = TokenKind::end;

TEST(Lexer, EndTokenSitsAfterSkippedTrivia) {
    expectTokens("", {{End, "", 1, 1}});
    expectTokens("  \n\t# note\n// more", {{End, "", 3, 8}});
    expectTokens("a # comment without newline", {{Id, "a", 1, 1}, {End, "", 1, 28}});
    expectTokens("#", {{End, "", 1, 2}});
    expectTokens("x //", {{Id, "x", 1, 1}, {End, "", 1, 5}});
}

TEST(Lexer, WordsNumbersAndPunctuation) {
    expectTokens("12GiB 1.5 -1 007 example-gpu-0 a.b_c{}:;",
                 {{Num, "12", 1, 1},
                  {Id, "GiB", 1, 3},
                  {Num, "1", 1, 7},
                  {Id, ".5", 1, 8},
                  {Id, "-1", 1, 11},
                  {Num, "007", 1, 14},
                  {Id, "example-gpu-0", 1, 18},
                  {Id, "a.b_c", 1, 32},
                  {TokenKind::lbrace, "{", 1, 37},
                  {TokenKind::rbrace, "}", 1, 38},
                  {TokenKind::colon, ":", 1, 39},
                  {TokenKind::semicolon, ";", 1, 40},
                  {End, "", 1, 41}});
}

TEST(Lexer, HashAfterWordStartsComment) {
    expectTokens("cuda#x\nnext", {{Id, "cuda", 1, 1}, {Id, "next", 2, 1}, {End, "", 2, 5}});
}

TEST(Lexer, CarriageReturnIsOneColumnOfWhiteSpace) {
    expectTokens("a\r\nb\r\n", {{Id, "a", 1, 1}, {Id, "b", 2, 1}, {End, "", 3, 1}});
    expectTokens("a\r", {{Id, "a", 1, 1}, {End, "", 1, 3}});
}

// Names, numbers and white space are cut sixteen bytes at a time where the
// text allows and byte by byte near its end: every byte, at every offset
// around a load's edge, must end a run exactly where its class says.
TEST(Lexer, RunsEndAtTheFirstByteOutsideTheirClassAtAnyOffset) {
    for (int byte = 1; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        for (std::size_t before = 1; before <= 34; ++before) {
            for (const char lead : {'a', '7'}) {
                std::string text(before, lead);
                text += c;
                text.append(20, lead);
                PlacementLexer lexer(text);
                Token token;
                lexer.next(token);
                const bool continues = lead == 'a' ? isIdentifierByte(c) : isDigitByte(c);
                ASSERT_EQ(token.text.size(), continues ? text.size() : before)
                    << "byte " << byte << " after " << before << " x '" << lead << "'";
            }
        }
    }
}

// Blanks, newlines and both kinds of comment in random runs: every word must
// come out with the line and column it was written at.
TEST(Lexer, TriviaOfEveryShapeKeepsLinesAndColumns) {
    std::mt19937 random(20261211);
    const std::vector<std::string> pieces = {" ", "\t", "\r", "\n", "  ", "\n    ",
                                             "# note\n", "// a longer note, past sixteen bytes\n",
                                             "#\n", "\r\n"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        std::vector<Lexed> expected;
        std::uint32_t line = 1;
        std::size_t lineStart = 0;
        const auto append = [&](const std::string& piece) {
            for (const char c : piece) {
                text += c;
                if (c == '\n') {
                    ++line;
                    lineStart = text.size();
                }
            }
        };
        const int words = 1 + static_cast<int>(random() % 12);
        for (int w = 0; w < words; ++w) {
            const std::size_t trivia = random() % 4;
            for (std::size_t t = 0; t < trivia || (w > 0 && t == 0); ++t) {
                append(pieces[random() % pieces.size()]);
            }
            const std::string word(1 + random() % 20, static_cast<char>('a' + w));
            expected.push_back({Id, word, line,
                                static_cast<std::uint32_t>(text.size() - lineStart + 1)});
            append(word);
        }
        const std::size_t tail = random() % 3;
        for (std::size_t t = 0; t < tail; ++t) {
            append(pieces[random() % pieces.size()]);
        }
        if (random() % 3 == 0) {
            append(random() % 2 == 0 ? " # a last comment, with no newline" : "//");
        }
        expected.push_back(
            {End, "", line, static_cast<std::uint32_t>(text.size() - lineStart + 1)});
        expectTokens(text, expected);
    }
}

TEST(Lexer, StringsResolveTheirEscapesAndKeepOtherBytes) {
    expectTokens(R"("" "a\"b\\c\nd")", {{Str, "", 1, 1}, {Str, "a\"b\\c\nd", 1, 4}, {End, "", 1, 16}});
    expectTokens("\"tab\there \xc3\xa9\" x",
                 {{Str, "tab\there \xc3\xa9", 1, 1}, {Id, "x", 1, 15}, {End, "", 1, 16}});
}

TEST(Lexer, MultiByteCharactersCountOneColumnPerByte) {
    // Two bytes in the comment push the later error two columns on, not one.
    EXPECT_EQ(lexError("\"\xc3\xa9\" /"), "t.cplace:1:6: unexpected character '/'");
    EXPECT_EQ(lexError("# \xc3\xa9\nab /"), "t.cplace:2:4: unexpected character '/'");
}

TEST(Lexer, Errors) {
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"a/b", "t.cplace:1:2: unexpected character '/'"},
        {"/", "t.cplace:1:1: unexpected character '/'"},
        {"x = 1", "t.cplace:1:3: unexpected character '='"},
        {"\n  \xff", "t.cplace:2:3: unexpected character '\xff'"},
        {std::string("a\0", 2), "t.cplace:1:2: unexpected character '" + std::string(1, '\0') + "'"},
        {"\f", "t.cplace:1:1: unexpected character '\f'"},
        {"  \"abc", "t.cplace:1:3: unterminated string"},
        {"x \"ab\ncd\"", "t.cplace:1:3: newline in string"},
        {"\"ab\\", "t.cplace:1:1: unterminated escape"},
        {"\"ab\\t\"", "t.cplace:1:1: unsupported string escape"},
        {"\"ab\\\n\"", "t.cplace:1:1: unsupported string escape"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(lexError(c.text), c.error);
    }
}

/// Runs one reading operation on a fresh parser and returns its result or error.
template <class Operation> std::string readWith(std::string_view text, Operation operation) {
    try {
        PlacementParser parser(text, "q.cplace");
        return std::string(operation(parser));
    } catch (const ParseError& error) {
        return error.what();
    }
}

std::string quantity(std::string_view text) {
    return readWith(text, [](PlacementParser& p) { return std::to_string(p.parseByteQuantity()); });
}

TEST(Reading, ByteQuantities) {
    struct Case {
        std::string text;
        std::string result;
    };
    const std::vector<Case> cases = {
        {"12GiB", "12884901888"},
        {"12 GiB", "12884901888"},
        {"512MiB", "536870912"},
        {"3 KiB", "3072"},
        {"0 B", "0"},
        {"007 B", "7"},
        {"17179869183 GiB", "18446744072635809792"},
        {"18446744073709551615 B", "18446744073709551615"},
        {"17179869184 GiB", "q.cplace:1:1: byte quantity overflow"},
        {"18446744073709551616 B", "q.cplace:1:1: invalid unsigned integer"},
        {"18446744073709551616 /", "q.cplace:1:22: unexpected character '/'"},
        {"1.5 GiB", "q.cplace:1:2: unknown byte unit '.5'"},
        {"1 gib", "q.cplace:1:3: unknown byte unit 'gib'"},
        {"1 2", "q.cplace:1:3: unknown byte unit '2'"},
        {"512;", "q.cplace:1:4: expected value"},
        {"512 \"MiB\"", "q.cplace:1:5: expected value"},
        {"-1 B", "q.cplace:1:1: expected unsigned integer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(quantity(c.text), c.result);
    }
}

TEST(Reading, ExpectationsNameWhatWasWanted) {
    EXPECT_EQ(readWith("x", [](PlacementParser& p) { return p.expectIdentifier("device name"); }),
              "x");
    EXPECT_EQ(readWith("\"x\"",
                       [](PlacementParser& p) { return p.expectIdentifier("device name"); }),
              "q.cplace:1:1: expected device name");
    EXPECT_EQ(readWith(" Placement",
                       [](PlacementParser& p) {
                           p.expectKeyword("placement");
                           return std::string("ok");
                       }),
              "q.cplace:1:2: expected 'placement'");
    // Every token kind is shown one way in "expected" messages.
    const std::pair<TokenKind, const char*> expectations[] = {
        {TokenKind::lbrace, "q.cplace:1:1: expected '{'"},
        {TokenKind::rbrace, "q.cplace:1:1: expected '}'"},
        {TokenKind::colon, "q.cplace:1:1: expected ':'"},
        {TokenKind::semicolon, "q.cplace:1:1: expected ';'"},
        {TokenKind::string, "q.cplace:1:1: expected quoted string"},
        {TokenKind::number, "q.cplace:1:1: expected unsigned integer"},
    };
    for (const auto& expectation : expectations) {
        const TokenKind kind = expectation.first;
        EXPECT_EQ(readWith("x",
                           [kind](PlacementParser& p) {
                               p.expectToken(kind);
                               return std::string("ok");
                           }),
                  expectation.second);
    }
    EXPECT_EQ(readWith("{", [](PlacementParser& p) { return p.parseValue().text; }),
              "q.cplace:1:1: expected value");
}

TEST(Reading, FailedLookupReportsAtTheValueAfterReadingOn) {
    constexpr std::array<Keyword<int>, 1> table{{{"one", 1}}};
    const auto lookup = [&](PlacementParser& p) {
        return std::to_string(p.parseKeyword<int>(table, "number word"));
    };
    EXPECT_EQ(readWith("one", lookup), "1");
    EXPECT_EQ(readWith("  3;", lookup), "q.cplace:1:3: unknown number word '3'");
    EXPECT_EQ(readWith("One", lookup), "q.cplace:1:1: unknown number word 'One'");
    // The value is consumed before it is judged, so a lexical error after it wins.
    EXPECT_EQ(readWith("two/", lookup), "q.cplace:1:4: unexpected character '/'");
}

TEST(ParseErrorType, KeepsLocationAndMessageApartAndComposesTheText) {
    const ParseError error(SourceLocation{"plans/a.cplace", 3, 5}, "expected ';'");
    EXPECT_STREQ(error.what(), "plans/a.cplace:3:5: expected ';'");
    EXPECT_EQ(error.text(), "plans/a.cplace:3:5: expected ';'");
    EXPECT_EQ(error.message(), "expected ';'");
    EXPECT_EQ(error.location(), (SourceLocation{"plans/a.cplace", 3, 5}));
    const std::runtime_error& base = error;
    EXPECT_STREQ(base.what(), "plans/a.cplace:3:5: expected ';'");
}

} // namespace
} // namespace Core::Placement

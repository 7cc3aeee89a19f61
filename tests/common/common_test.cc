// The shared helpers: the hash every printed figure depends on, checked
// arithmetic at its boundaries, the byte order of texts, and positions in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/checked_math.h"
#include "common/stable_hash.h"
#include "common/text_position.h"

namespace Core {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(StableHash, PinnedValues) {
    EXPECT_EQ(StableHash::of(""), 0x14650fb0739d0383ULL);
    EXPECT_EQ(StableHash::of("abc"), 0xe16801510db89efdULL);
    // Bytes of 0x80 and above are taken unsigned.
    StableHash byByte;
    byByte.add(std::uint8_t{0xff});
    EXPECT_EQ(byByte.value(), StableHash::of("\xff"));
    EXPECT_EQ(StableHash::of("\xff"),
              (StableHash::kOffsetBasis ^ 0xffULL) * StableHash::kPrime);
}

TEST(StableHash, IncrementalEqualsWhole) {
    StableHash hash;
    hash.add("ab");
    hash.add(std::uint8_t{'c'});
    EXPECT_EQ(hash.value(), StableHash::of("abc"));
}

TEST(CheckedMath, Boundaries) {
    EXPECT_EQ(checkedMul(0, kMax), 0U);
    EXPECT_EQ(checkedMul(kMax, 0), 0U);
    EXPECT_EQ(checkedMul(kMax, 1), kMax);
    EXPECT_EQ(checkedMul(4294967296ULL, 4294967295ULL), 18446744069414584320ULL);
    EXPECT_EQ(checkedMul(4294967296ULL, 4294967296ULL), std::nullopt);
    EXPECT_EQ(checkedMul(kMax / 2, 2), kMax - 1);
    EXPECT_EQ(checkedMul(kMax / 2 + 1, 2), std::nullopt);

    EXPECT_EQ(checkedAdd(kMax - 1, 1), kMax);
    EXPECT_EQ(checkedAdd(kMax, 1), std::nullopt);
    EXPECT_EQ(checkedAdd(1, kMax), std::nullopt);
    EXPECT_EQ(checkedAdd(0, kMax), kMax);
}

TEST(CheckedMath, ChainsStopAtTheFirstOverflow) {
    EXPECT_EQ(checkedAdd(checkedAdd(kMax - 2, 1), 1), kMax);
    EXPECT_EQ(checkedAdd(checkedAdd(kMax, 1), 0), std::nullopt);
    // Once absent, a later factor of 0 does not bring the value back.
    EXPECT_EQ(checkedMul(checkedMul(kMax, 2), 0), std::nullopt);
}

TEST(ByteOrder, UnsignedBytesAndPrefixFirst) {
    EXPECT_TRUE(byteLess("a", "\x80"));
    EXPECT_TRUE(byteLess("\x7f", "\xff"));
    EXPECT_FALSE(byteLess("\xff", "a"));
    EXPECT_TRUE(byteLess("ab", "abc"));
    EXPECT_TRUE(byteLess("", "a"));
    EXPECT_FALSE(byteLess("a", "a"));
    EXPECT_TRUE(byteLess("B", "a")); // no case folding
    // std::string's own ordering agrees, which the containers rely on.
    EXPECT_TRUE(std::string("a") < std::string("\x80"));
    EXPECT_TRUE(std::string(1, '\0') < std::string("\x01"));

    std::vector<std::string> texts = {"\xc3\xa9", "b", "ab", "a", "", "\x80", "Z"};
    std::sort(texts.begin(), texts.end(), ByteLess{});
    EXPECT_EQ(texts, (std::vector<std::string>{"", "Z", "a", "ab", "b", "\x80", "\xc3\xa9"}));

    const std::map<std::string, int, ByteLess> map{{"b", 1}, {"a", 2}};
    EXPECT_EQ(map.find(std::string_view("a"))->second, 2); // transparent lookup
}

// A reader's error offset counts one past the last byte read.
TEST(TextPosition, TheByteBeforeTheOffset) {
    struct Case {
        std::size_t end;
        std::uint32_t line;
        std::uint32_t column;
    };
    const std::string_view text = "ab\ncd";
    for (const Case& c : std::vector<Case>{
             {0, 1, 1}, {1, 1, 1}, {2, 1, 2}, {3, 1, 3}, {4, 2, 1}, {5, 2, 2}, {6, 2, 2}, {99, 2, 2}}) {
        SCOPED_TRACE(c.end);
        const TextPosition at = positionBefore(text, c.end);
        EXPECT_EQ(at.line, c.line);
        EXPECT_EQ(at.column, c.column);
    }
}

} // namespace
} // namespace Core

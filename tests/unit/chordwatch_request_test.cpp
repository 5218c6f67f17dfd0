#include "hotkey_request.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

using namespace chordwatch;

namespace {

std::optional<HotkeyRequest> read(std::vector<const char *> args) {
    args.insert(args.begin(), "chordwatch.exe");
    return readHotkeyArguments(static_cast<int>(args.size()), args.data());
}

} // namespace

TEST(ChordwatchArguments, ModifiersAreTheOrOfTheFirstTwo) {
    const auto a = read({"2", "4", "65"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->modifiers, 6u);
    EXPECT_EQ(a->key, 65u);
    const auto b = read({"6", "0", "65"});
    ASSERT_TRUE(b);
    EXPECT_EQ(b->modifiers, 6u);
    const auto c = read({"3", "6", "9"});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->modifiers, 7u); // OR, not sum
}

TEST(ChordwatchArguments, ReadAsAtoiReadsThem) {
    const auto a = read({"  +2x", "abc", "65.9"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->modifiers, 2u);
    EXPECT_EQ(a->key, 65u);
    const auto none = read({"ctrl", "", "A"});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->modifiers, 0u);
    EXPECT_EQ(none->key, 0u);
    // Negative numbers pass on as their 32-bit pattern, unchecked.
    const auto neg = read({"-1", "0", "-2"});
    ASSERT_TRUE(neg);
    EXPECT_EQ(neg->modifiers, 0xFFFFFFFFu);
    EXPECT_EQ(neg->key, 0xFFFFFFFEu);
}

TEST(ChordwatchArguments, FewerThanThreeGiveNothingMoreAreIgnored) {
    EXPECT_FALSE(read({}));
    EXPECT_FALSE(read({"2"}));
    EXPECT_FALSE(read({"2", "4"}));
    const auto extra = read({"1", "2", "3", "99"});
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->modifiers, 3u);
    EXPECT_EQ(extra->key, 3u);
}

TEST(ChordwatchAtomName, RedrawsUntilAcceptedAndEndsWithNul) {
    // Draws 0..: codes 48, 49, ... and back to 48 after 73; accept only every third code.
    int next = 0;
    std::string offered;
    const AtomName name = composeAtomName([&] { return next++; },
                                          [&](char c) {
                                              offered += c;
                                              return (c - 48) % 3 == 0;
                                          });
    EXPECT_EQ(name[kAtomNameLength], '\0');
    EXPECT_EQ(std::string(name.data()).size(), kAtomNameLength);
    EXPECT_EQ(name[0], '0');
    EXPECT_EQ(name[1], '3');
    EXPECT_EQ(offered.substr(0, 4), "0123");
    // After 'y' (48 + 73) the modulus wraps to '0': 'z' is never offered.
    EXPECT_EQ(offered.find('z'), std::string::npos);
    EXPECT_NE(offered.find('y'), std::string::npos);
}

TEST(ChordwatchAtomName, LargeDrawsStayInRange) {
    unsigned state = 12345;
    std::string offered;
    const AtomName name = composeAtomName(
        [&] {
            state = state * 1103515245u + 12345u;
            return static_cast<int>(state >> 1);
        },
        [&](char c) {
            offered += c;
            return std::isalnum(static_cast<unsigned char>(c)) != 0;
        });
    for (char c : offered) {
        EXPECT_GE(c, '0');
        EXPECT_LE(c, 'y');
    }
    for (std::size_t i = 0; i < kAtomNameLength; ++i)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(name[i]))) << i;
}

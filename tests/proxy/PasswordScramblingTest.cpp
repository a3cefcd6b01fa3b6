// The stored form of the proxy password: round trips, the exact stored
// text, and what hand-edited stored texts turn into.
#include "updclient/PasswordScrambling.h"

#include <gtest/gtest.h>

#include <random>

namespace
{
bool onlyBase36Digits(const std::string& text)
{
    for (const char c : text)
    {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    }
    return true;
}

std::string upperCase(std::string text)
{
    for (char& c : text)
    {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}
} // namespace

TEST(PasswordScrambling, EveryByteValueRoundTrips)
{
    std::string all;
    for (int value = 0; value < 256; ++value)
    {
        const std::string single(1, static_cast<char>(value));
        const std::string stored = scramblePassword(single);
        EXPECT_EQ(stored.size(), 2u) << "byte " << value;
        EXPECT_TRUE(onlyBase36Digits(stored)) << "byte " << value;
        EXPECT_EQ(unscramblePassword(stored), single) << "byte " << value;
        all.push_back(static_cast<char>(value));
    }
    const std::string stored = scramblePassword(all);
    EXPECT_EQ(stored.size(), 512u);
    EXPECT_EQ(unscramblePassword(stored), all);
}

TEST(PasswordScrambling, RandomPasswordsRoundTripAtTwiceTheirLength)
{
    std::mt19937 random(4242);
    for (int round = 0; round < 500; ++round)
    {
        std::string password(random() % 80, '\0');
        for (char& c : password)
            c = static_cast<char>(random() & 0xFF);
        const std::string stored = scramblePassword(password);
        ASSERT_EQ(stored.size(), password.size() * 2);
        ASSERT_TRUE(onlyBase36Digits(stored));
        ASSERT_EQ(unscramblePassword(stored), password);
    }
}

TEST(PasswordScrambling, EmptyStaysEmpty)
{
    EXPECT_EQ(scramblePassword(""), "");
    EXPECT_EQ(unscramblePassword(""), "");
}

TEST(PasswordScrambling, StoredTextIsTheShiftedHexReversed)
{
    // "A" = 0x41: '4' + 'q'(26) = 30 -> 'u', '1' + 26 = 27 -> 'r'; reversed "ru"
    EXPECT_EQ(scramblePassword("A"), "ru");
    // "\n" = 0x0a: '0' + 26 -> 'q', 'a'(10) + 26 = 36 -> '0'; reversed "0q"
    EXPECT_EQ(scramblePassword("\n"), "0q");
    // 0xff: 'f'(15) + 26 = 41 -> 5 twice
    EXPECT_EQ(scramblePassword("\xff"), "55");
    // "Ab" = 41 62 -> "urws" -> reversed
    EXPECT_EQ(scramblePassword("Ab"), "swru");
}

TEST(PasswordScrambling, HandEditedStoredTexts)
{
    const std::string stored = scramblePassword("secret");
    // upper case reads as lower case
    EXPECT_EQ(unscramblePassword(upperCase(stored)), "secret");
    // an odd length loses the character left over after pairing (the
    // first stored one, which comes last once reversed)
    EXPECT_EQ(unscramblePassword("z" + stored), "secret");
    EXPECT_EQ(unscramblePassword("7"), "");
    // characters outside 0-9a-z count as 0: 0 - 26 + 36 = 10 -> "aa" -> 0xaa
    EXPECT_EQ(unscramblePassword("!!"), "\xaa");
    EXPECT_EQ(unscramblePassword("\xc3\xa9"), "\xaa");
    // a pair that does not start with a hexadecimal digit is 0: 'p'(25) - 26 -> 'z'
    EXPECT_EQ(unscramblePassword("pp"), std::string(1, '\0'));
    // a hexadecimal digit followed by another character is read alone:
    // reversed "06" -> "ag" -> 0x0a
    EXPECT_EQ(unscramblePassword("60"), "\n");
}

TEST(PasswordScrambling, Base36Operations)
{
    EXPECT_EQ(base36Add("0az", "1bz"), "1ly");
    EXPECT_EQ(base36Add("zzzz", "1"), "0");
    EXPECT_EQ(base36Add("ABC", "000"), "abc");
    EXPECT_EQ(base36Subtract("0", "1"), "z");
    EXPECT_EQ(base36Subtract("1ly", "1bz"), "0az");
    EXPECT_EQ(base36Subtract("abc", ""), "");
    EXPECT_EQ(base36Add("-+", "11"), "11");
    EXPECT_EQ(reverseText("abc"), "cba");
    EXPECT_EQ(reverseText(""), "");
}

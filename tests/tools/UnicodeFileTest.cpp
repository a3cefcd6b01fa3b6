// Wide <-> narrow text in the locale's character set, both ways the same.
#include "LogCapture.h"

#include "tools/UnicodeFile.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>

namespace
{
using Lines = std::vector<std::string>;

class TextConversion : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(TextConversion, RoundTripsEveryTextTheCharsetHolds)
{
    qortest::LogCapture capture;
    const std::vector<std::wstring> texts = {
        L"",
        L"plain ASCII password 123!",
        L"Zoë café naïve ÿ",
        L"\u00A0\u00FF",
        L"パスワード漢字",
        L"emoji 😀🔒 and more 𝄞",
        L"\u0080\u009F control range",
    };
    for (const auto& text : texts)
    {
        EXPECT_EQ(stringToWstring(wstringToString(text, CP_ACP)), text);
    }
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(TextConversion, EncodesToTheLocaleCharset)
{
    EXPECT_EQ(wstringToString(L"é", CP_ACP), "\xC3\xA9");
    EXPECT_EQ(wstringToString(L"😀", CP_ACP), "\xF0\x9F\x98\x80");
    EXPECT_EQ(stringToWstring("\xE6\xBC\xA2"), L"漢");
}

TEST_F(TextConversion, RandomTextsRoundTrip)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> plane(0, 3);
    for (int round = 0; round < 300; ++round)
    {
        std::wstring text;
        const int length = static_cast<int>(random() % 24);
        for (int i = 0; i < length; ++i)
        {
            wchar_t c = 0;
            switch (plane(random))
            {
            case 0:
                c = static_cast<wchar_t>(1 + random() % 0x7F);
                break;
            case 1:
                c = static_cast<wchar_t>(0x80 + random() % 0x780);
                break;
            case 2:
                c = static_cast<wchar_t>(0xE000 + random() % 0x1000);
                break;
            default:
                c = static_cast<wchar_t>(0x10000 + random() % 0xFFFFF);
                break;
            }
            text.push_back(c);
        }
        ASSERT_EQ(stringToWstring(wstringToString(text, CP_ACP)), text) << round;
    }
}

TEST_F(TextConversion, BothStopAtTheFirstNul)
{
    const std::wstring wide(L"ab\0cd", 5);
    const std::string narrow("xy\0z", 4);
    EXPECT_EQ(wstringToString(wide, CP_ACP), "ab");
    EXPECT_EQ(stringToWstring(narrow), L"xy");
    EXPECT_EQ(wstringToString(std::wstring(L"\0abc", 4), CP_ACP), "");
}

TEST_F(TextConversion, InvalidBytesBecomeTheWideCharacterOfTheSameValue)
{
    EXPECT_EQ(stringToWstring("\xE9"), L"\u00E9");
    EXPECT_EQ(stringToWstring("caf\xC3\xA9 \xFF!"), L"café \u00FF!");
    EXPECT_EQ(stringToWstring("\x80\x9F"), L"\u0080\u009F");
    // a sequence cut short at the end
    EXPECT_EQ(stringToWstring("a\xE6\xBC"), L"a\u00E6\u00BC");
    // an overlong encoding of '/' is not accepted as '/'
    EXPECT_EQ(stringToWstring("\xC0\xAF"), L"\u00C0\u00AF");
}

TEST_F(TextConversion, UnmappableCharactersAreReplacedWithoutALog)
{
    qortest::LogCapture capture;
    // a lone surrogate has no UTF-8 form
    EXPECT_EQ(wstringToString(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x", CP_ACP),
              "\xEF\xBF\xBDx");
    // code pages other than the locale's: Latin-1 and ASCII
    EXPECT_EQ(wstringToString(L"é€", 28591), "\xE9?");
    EXPECT_EQ(wstringToString(L"aé", 20127), "a?");
    EXPECT_EQ(wstringToString(L"é€", 1252), "\xE9\x80");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(TextConversion, ASCIILocaleReplacesWhatItCannotHold)
{
    std::setlocale(LC_ALL, "C");
    qortest::LogCapture capture;
    EXPECT_EQ(wstringToString(L"aéb", CP_ACP), "a?b");
    EXPECT_EQ(stringToWstring("a\xE9"), L"a\u00E9");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(TextConversion, UnknownCodePageFailsWithThreeWarnings)
{
    qortest::LogCapture capture;
    EXPECT_EQ(wstringToString(L"Données", 12345), "");
    EXPECT_EQ(capture.lines(),
              (Lines{"WARN Error while preparing wstring2string conversion from: Données",
                     "WARN CodePage: 12345", "WARN Return size: 0"}));
}

TEST_F(TextConversion, EmptyTextIsNotAFailure)
{
    qortest::LogCapture capture;
    EXPECT_EQ(wstringToString(L"", CP_ACP), "");
    EXPECT_EQ(stringToWstring(""), L"");
    EXPECT_TRUE(capture.lines().empty());
}
} // namespace

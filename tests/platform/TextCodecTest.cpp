// The one place that turns wide text into bytes and back.
#include "platform/TextCodec.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>

using platform::TextCodec;

namespace
{
TEST(TextCodec, UnmappableCharacterEitherReplacedOrRefused)
{
    std::string out = "untouched";
    EXPECT_FALSE(TextCodec::encode(L"a€b", "ISO-8859-1", TextCodec::Unmappable::Fail, out));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EILSEQ));
    EXPECT_EQ(out, "untouched");
    ASSERT_TRUE(TextCodec::encode(L"a€b", "ISO-8859-1", TextCodec::Unmappable::Replace, out));
    EXPECT_EQ(out, "a?b");
    // UTF-8 has a proper replacement character for what it cannot hold
    const std::wstring loneSurrogate(1, static_cast<wchar_t>(0xDC00));
    ASSERT_TRUE(TextCodec::encode(loneSurrogate, "UTF-8", TextCodec::Unmappable::Replace, out));
    EXPECT_EQ(out, "\xEF\xBF\xBD");
}

TEST(TextCodec, UnknownCharsetIsRefusedOnEncodeAndWidenedOnDecode)
{
    std::string out;
    EXPECT_FALSE(TextCodec::encode(L"x", "NO-SUCH-CHARSET", TextCodec::Unmappable::Replace, out));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    EXPECT_EQ(TextCodec::decode("a\xE9", "NO-SUCH-CHARSET"), L"a\u00E9");
}

TEST(TextCodec, StatefulCharsetIsFlushedAtTheEnd)
{
    // ISO-2022-JP must switch back to ASCII after the last kanji
    std::string out;
    ASSERT_TRUE(TextCodec::encode(L"a漢字", "ISO-2022-JP", TextCodec::Unmappable::Fail, out));
    EXPECT_EQ(out.substr(out.size() - 3), "\x1B(B");
    EXPECT_EQ(TextCodec::decode(out, "ISO-2022-JP"), L"a漢字");
}

TEST(TextCodec, LongTextsGrowTheBuffersAsNeeded)
{
    std::wstring text;
    std::size_t expectedBytes = 0;
    for (int i = 0; i < 50000; ++i)
    {
        text += (i % 3 == 0) ? L"😀" : (i % 3 == 1 ? L"é" : L"z");
        expectedBytes += (i % 3 == 0) ? 4 : (i % 3 == 1 ? 2 : 1);
    }
    std::string out;
    ASSERT_TRUE(TextCodec::encode(text, "UTF-8", TextCodec::Unmappable::Fail, out));
    EXPECT_EQ(out.size(), expectedBytes);
    EXPECT_EQ(TextCodec::decode(out, "UTF-8"), text);
}

TEST(TextCodec, PathsAreNeverReplaced)
{
    std::setlocale(LC_ALL, "C");
    std::string out;
    EXPECT_FALSE(TextCodec::encodePath(L"/tmp/é", out));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EILSEQ));
    std::setlocale(LC_ALL, "C.UTF-8");
    ASSERT_TRUE(TextCodec::encodePath(L"/tmp/é", out));
    EXPECT_EQ(out, "/tmp/\xC3\xA9");
    // a name that is not valid UTF-8 still decodes to something printable
    EXPECT_EQ(TextCodec::decodePath("/tmp/\xE9"), L"/tmp/\u00E9");
    std::setlocale(LC_ALL, "C");
}
} // namespace

// The form of a log statement: level check first, narrow or wide message,
// the statement's own location.
#include "LogCapture.h"

#include "logging/AppLogger.h"

#include <gtest/gtest.h>

namespace
{
int bump(int& counter)
{
    return ++counter;
}

TEST(LogStatement, DisabledLevelEvaluatesNothing)
{
    qortest::LogCapture capture;
    appLogger()->setLevel(log4cxx::Level::getWarn());
    int counter = 0;
    QOR_LOG_TRACE("trace " << bump(counter));
    QOR_LOG_INFO("info " << bump(counter));
    EXPECT_EQ(counter, 0);
    EXPECT_TRUE(capture.lines().empty());

    QOR_LOG_WARN("warn " << bump(counter));
    QOR_LOG_ERROR("error " << bump(counter));
    QOR_LOG_FATAL("fatal " << bump(counter));
    EXPECT_EQ(counter, 3);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"WARN warn 1", "ERROR error 2", "FATAL fatal 3"}));
}

TEST(LogStatement, EveryLevelReachesTheLogger)
{
    qortest::LogCapture capture;
    QOR_LOG_TRACE("t");
    QOR_LOG_INFO("i");
    QOR_LOG_WARN("w");
    QOR_LOG_ERROR("e");
    QOR_LOG_FATAL("f");
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"TRACE t", "INFO i", "WARN w", "ERROR e", "FATAL f"}));
}

TEST(LogStatement, CarriesItsOwnSourceLocation)
{
    qortest::LogCapture capture;
    const int line = __LINE__ + 1;
    QOR_LOG_INFO("here");
    const auto events = capture.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].line, line);
    EXPECT_NE(events[0].fileName.find("LogStatementTest.cpp"), std::string::npos)
        << events[0].fileName;
    EXPECT_EQ(events[0].methodName, "TestBody");
    EXPECT_NE(events[0].className.find("LogStatement_CarriesItsOwnSourceLocation_Test"),
              std::string::npos)
        << events[0].className;
}

TEST(LogStatement, ValuesFollowTheTextInDecimal)
{
    qortest::LogCapture capture;
    const unsigned long errorCode = 4294967295UL;
    const long long size = -11;
    QOR_LOG_WARN("GetFileVersionInfo error: " << errorCode);
    QOR_LOG_INFO("Application return code: " << size << " / " << 0);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"WARN GetFileVersionInfo error: 4294967295",
                                        "INFO Application return code: -11 / 0"}));
}

TEST(LogStatement, WideValueMakesAWideMessageWithTextIntact)
{
    qortest::LogCapture capture;
    const std::wstring folder = L"/tmp/Données €/漢字 😀";
    QOR_LOG_INFO("FlagFile found: " << folder);
    QOR_LOG_INFO(L"wide literal " << 7 << " then narrow " << std::string("abc"));
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"INFO FlagFile found: /tmp/Données €/漢字 😀",
                                        "INFO wide literal 7 then narrow abc"}));
}
} // namespace

namespace qorlog
{
namespace
{
TEST(LogMessage, StaysNarrowUntilAWideValueArrives)
{
    LogMessage message;
    message << "Size: " << 42 << ' ' << std::string("x");
    EXPECT_FALSE(message.isWide());
    EXPECT_EQ(message.narrowText(), "Size: 42 x");

    message << L"é" << " and " << 3u;
    EXPECT_TRUE(message.isWide());
    EXPECT_EQ(message.wideText(), L"Size: 42 xé and 3");
}

TEST(LogMessage, NarrowTextIsWidenedByteByByte)
{
    // the literal texts are ASCII; anything else keeps its byte values
    LogMessage message;
    message << "\xE9:" << std::wstring(L"\u20AC");
    EXPECT_EQ(message.wideText(), std::wstring(L"\u00E9:\u20AC"));
}
} // namespace
} // namespace qorlog

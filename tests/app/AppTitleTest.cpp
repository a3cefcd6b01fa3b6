// getAppTitle in a process of its own: built once with the version record
// (the title is computed once, then kept) and once without it (the title
// stays empty and every use tries again, logging again).
#include "LogCapture.h"
#include "app/CQorDownloaderApp.h"

#include <gtest/gtest.h>

#include <algorithm>

using qortest::LogCapture;

namespace
{
size_t countMessage(const LogCapture& log, const std::string& level, const std::string& message)
{
    const auto lines = log.events();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(),
        [&](const auto& line) { return line.level == level && line.message == message; }));
}
} // namespace

#ifdef WITH_VERSION_RECORD
TEST(AppTitle, IsComputedOnceFromTheExecutablesVersionAndKept)
{
    LogCapture log;
    EXPECT_EQ(CQorDownloaderApp::getAppTitle(), L"QorDownloader v2.0.0.0");
    const std::wstring* first = &CQorDownloaderApp::getAppTitle();
    EXPECT_EQ(&CQorDownloaderApp::getAppTitle(), first);
    EXPECT_EQ(countMessage(log, "INFO", "Tool version: v2.0.0.0"), 1u) << log.text();
}
#else
TEST(AppTitle, WithoutAVersionRecordStaysEmptyAndIsRetriedAtEachUse)
{
    LogCapture log;
    EXPECT_TRUE(CQorDownloaderApp::getAppTitle().empty());
    EXPECT_TRUE(CQorDownloaderApp::getAppTitle().empty());
    EXPECT_EQ(countMessage(log, "WARN", "getVersionString error"), 2u) << log.text();
    EXPECT_EQ(countMessage(log, "INFO", "Tool version: v2.0.0.0"), 0u);
}
#endif

// What the library shows the world: exactly nine exported names, and its
// log lines under "QorDownloader.Pelvane", following the host's log set-up.
#include "UpdateFixture.h"

#include <log4cxx/fileappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>

#include <algorithm>
#include <sstream>

using namespace pelvanetest;

TEST(LibraryFaceTest, ExportsExactlyTheNineEntryPoints)
{
    std::string output;
    ASSERT_EQ(qortest::runProgram({"nm", "-D", "--defined-only", PELVANE_LIBRARY_PATH}, &output), 0)
        << output;
    std::vector<std::string> names;
    std::istringstream lines(output);
    std::string address, kind, name;
    while (lines >> address >> kind >> name)
    {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {
        "closeDownload",     "closeUpdInter",       "downloadUntil",
        "getResultUpdInter", "getResultUpdInterEx", "getStatusUpdInter",
        "getVersionCount",   "getVersionInfo",      "initUpdInterEx"};
    EXPECT_EQ(names, expected) << output;
}

class LibraryLoggingTest : public UpdateFixture
{
};

TEST_F(LibraryLoggingTest, LogsUnderTheProgramsLoggerWhenTheHostConfiguredIt)
{
    const std::string logFile = m_temp / "host.log";
    auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%c %p %m%n"));
    auto appender = std::make_shared<log4cxx::FileAppender>(
        layout, LOG4CXX_STR("") + log4cxx::LogString(logFile.begin(), logFile.end()), false);
    const log4cxx::LoggerPtr host = log4cxx::Logger::getLogger("QorDownloader");
    host->addAppender(appender);
    host->setLevel(log4cxx::Level::getInfo());

    lib().initUpdInterEx(pin().c_str(), PRODUCT.c_str(), "", 1, extract().c_str(),
                         extract().c_str(), "", "", "", "http://127.0.0.1:9", "",
                         APPLICATION.c_str(), LANGUAGE.c_str(), "", 30000, 30000, "", "");
    host->removeAppender(appender);
    appender->close();
    const std::string text = qortest::readTextFile(logFile);
    EXPECT_NE(text.find("QorDownloader.Pelvane ERROR initUpdInterEx: Extract and Target"),
              std::string::npos)
        << text;
}

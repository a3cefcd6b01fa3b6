// The appender as the XML configuration creates it: its File option is a
// conversion pattern rendered when the file is opened.
#include "LogCapture.h"

#include "logging/AppLogger.h"
#include "logging/QorDwnlFileAppender.h"

#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/xml/domconfigurator.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
std::string readAll(const fs::path& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> fileNames(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
    {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string configuration(const std::string& filePattern)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="RunFile" class="QorDwnlFileAppender">
    <param name="File" value=")" +
           filePattern + R"("/>
    <param name="Append" value="true"/>
    <layout class="org.apache.log4j.PatternLayout">
      <param name="ConversionPattern" value="%p %m%n"/>
    </layout>
  </appender>
  <logger name="AppenderTest">
    <level value="trace"/>
    <appender-ref ref="RunFile"/>
  </logger>
</log4j:configuration>
)";
}

class AppenderFromXml : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // make sure the class is registered, as the program does at start
        log4cxx::QorDwnlFileAppender::registerClass();
        char folderTemplate[] = "/tmp/qor-appender-XXXXXX";
        ASSERT_NE(::mkdtemp(folderTemplate), nullptr);
        m_folder = folderTemplate;
        m_logFolder = m_folder / "logs";
        fs::create_directory(m_logFolder);
    }
    void TearDown() override
    {
        log4cxx::LogManager::resetConfiguration();
        fs::remove_all(m_folder);
    }

    void configure(const std::string& filePattern)
    {
        const fs::path xml = m_folder / "config.xml";
        std::ofstream(xml) << configuration(filePattern);
        log4cxx::xml::DOMConfigurator::configure(xml.string());
    }
    void log(const std::string& text)
    {
        log4cxx::Logger::getLogger("AppenderTest")->forcedLog(log4cxx::Level::getInfo(), text);
    }
    // closes the appender so that everything is on disk
    void finish() { log4cxx::LogManager::resetConfiguration(); }

    fs::path m_folder;
    fs::path m_logFolder;
};

TEST_F(AppenderFromXml, FoundByItsClassName)
{
    configure((m_logFolder / "plain.log").string());
    const auto appender = log4cxx::Logger::getLogger("AppenderTest")->getAppender("RunFile");
    ASSERT_NE(appender, nullptr);
    EXPECT_TRUE(appender->instanceof (log4cxx::QorDwnlFileAppender::getStaticClass()));
    EXPECT_TRUE(appender->instanceof (log4cxx::FileAppender::getStaticClass()));
    EXPECT_NE(log4cxx::cast<log4cxx::QorDwnlFileAppender>(appender), nullptr);
}

TEST_F(AppenderFromXml, FileWithoutConversionsOpensExactlyThatFile)
{
    configure((m_logFolder / "plain run.log").string());
    log("first line");
    finish();
    EXPECT_EQ(fileNames(m_logFolder), std::vector<std::string>{"plain run.log"});
    EXPECT_EQ(readAll(m_logFolder / "plain run.log"), "INFO first line\n");
}

TEST_F(AppenderFromXml, LevelConversionGivesOffAndPercentStaysOne)
{
    configure((m_logFolder / "level_%p_100%%.log").string());
    log("x");
    finish();
    EXPECT_EQ(fileNames(m_logFolder), std::vector<std::string>{"level_OFF_100%.log"});
}

TEST_F(AppenderFromXml, MissingFolderOfTheFileIsCreated)
{
    configure((m_logFolder / "deeper" / "run.log").string());
    log("x");
    finish();
    EXPECT_TRUE(fs::exists(m_logFolder / "deeper" / "run.log"));
}

TEST_F(AppenderFromXml, DateConversionNamesTheFileAfterItsOpeningAndNeverSwitches)
{
    const std::time_t before = std::time(nullptr);
    configure((m_logFolder / "run_%d{yyyyMMdd_HHmmss}.log").string());
    const std::time_t after = std::time(nullptr);
    log("one");
    // a later second must not move the output to a new file
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log("two");
    finish();

    const auto names = fileNames(m_logFolder);
    ASSERT_EQ(names.size(), 1u);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(names[0], parts, std::regex(R"(run_(\d{8}_\d{6})\.log)")))
        << names[0];
    std::vector<std::string> allowed;
    for (std::time_t t = before; t <= after; ++t)
    {
        std::tm local{};
        ::localtime_r(&t, &local);
        char text[32];
        std::strftime(text, sizeof(text), "%Y%m%d_%H%M%S", &local);
        allowed.push_back(text);
    }
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), parts[1].str()), allowed.end())
        << parts[1].str();
    EXPECT_EQ(readAll(m_logFolder / names[0]), "INFO one\nINFO two\n");
}

TEST_F(AppenderFromXml, RunsThatRenderTheSameNameGetFilesOfTheirOwn)
{
    // a pattern of the day: every run of today renders the same name
    for (const char* run : {"first", "second", "third"})
    {
        configure((m_logFolder / "run_%d{yyyyMMdd}.log").string());
        log(run);
        finish();
    }
    const auto names = fileNames(m_logFolder);
    ASSERT_EQ(names.size(), 3u) << ::testing::PrintToString(names);
    const std::string day = names[0].substr(4, 8);
    EXPECT_EQ(names, (std::vector<std::string>{"run_" + day + "-2.log", "run_" + day + "-3.log",
                                               "run_" + day + ".log"}));
    EXPECT_EQ(readAll(m_logFolder / names[2]), "INFO first\n");
    EXPECT_EQ(readAll(m_logFolder / names[1]), "INFO third\n");

    // a name without conversions is the one file every run appends to
    for (const char* run : {"one", "two"})
    {
        configure((m_logFolder / "fixed.log").string());
        log(run);
        finish();
    }
    EXPECT_EQ(readAll(m_logFolder / "fixed.log"), "INFO one\nINFO two\n");
}

TEST_F(AppenderFromXml, SetFileInCodeIsAPatternToo)
{
    log4cxx::helpers::Pool pool;
    auto appender = std::make_shared<log4cxx::QorDwnlFileAppender>();
    appender->setLayout(std::make_shared<log4cxx::PatternLayout>("%m%n"));
    appender->setFile((m_logFolder / "code_%p.log").string());
    appender->activateOptions(pool);
    EXPECT_EQ(appender->getFile(), (m_logFolder / "code_OFF.log").string());
    // activating again renders the pattern, not the name it gave before
    appender->activateOptions(pool);
    EXPECT_EQ(appender->getFile(), (m_logFolder / "code_OFF.log").string());
    appender->close();
}

// The first statement of a process configures log4cxx from the working
// directory. Each case runs in a freshly started copy of this program (the
// "threadsafe" death-test style re-executes it), so that the one-time set-up
// really is the first; the private folder reaches the copy through the
// environment.
fs::path sharedFolder(const char* variable)
{
    if (const char* known = std::getenv(variable))
    {
        return known;
    }
    char folderTemplate[] = "/tmp/qor-first-XXXXXX";
    if (::mkdtemp(folderTemplate) == nullptr)
    {
        return fs::path();
    }
    ::setenv(variable, folderTemplate, 1);
    return folderTemplate;
}

TEST(FirstStatement, ConfiguresFromLogQorDownloaderXmlInTheWorkingDirectory)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path folder = sharedFolder("QOR_TEST_FIRST_CONFIGURED");
    ASSERT_FALSE(folder.empty());
    std::string xml = configuration((folder / "logs" / "app.log").string());
    xml.replace(xml.find("AppenderTest"), 12, "QorDownloader");
    std::ofstream(folder / "LogQorDownloader.xml") << xml;
    EXPECT_EXIT(
        {
            if (::chdir(folder.c_str()) != 0)
            {
                std::_Exit(2);
            }
            QOR_LOG_INFO("Begin");
            log4cxx::LogManager::shutdown();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readAll(folder / "logs" / "app.log"), "INFO Begin\n");
    ::unsetenv("QOR_TEST_FIRST_CONFIGURED");
    fs::remove_all(folder);
}

TEST(FirstStatement, MissingConfigurationChangesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path folder = sharedFolder("QOR_TEST_FIRST_MISSING");
    ASSERT_FALSE(folder.empty());
    EXPECT_EXIT(
        {
            if (::chdir(folder.c_str()) != 0)
            {
                std::_Exit(2);
            }
            int evaluated = 0;
            QOR_LOG_INFO("Begin " << ++evaluated);
            QOR_LOG_WARN(L"wide " << ++evaluated);
            // the logger is there even without a configuration
            std::_Exit(appLogger() != nullptr ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::is_empty(folder));
    ::unsetenv("QOR_TEST_FIRST_MISSING");
    fs::remove_all(folder);
}

// The two configurations we install: the sample for a working folder and the
// scheduled service's. Both select the appender, log milestones (INFO) and not
// every step, and name source files without the build machine's folders.
class SampleConfiguration : public ::testing::TestWithParam<std::pair<const char*, const char*>>
{
};

TEST_P(SampleConfiguration, LogsInfoWithFileBaseNamesIntoItsRunFile)
{
    const auto [sampleFile, logFolder] = GetParam();
    char folderTemplate[] = "/tmp/qor-sample-XXXXXX";
    ASSERT_NE(::mkdtemp(folderTemplate), nullptr);
    const fs::path folder = folderTemplate;
    std::ifstream sample(sampleFile);
    ASSERT_TRUE(sample.good()) << sampleFile;
    std::ostringstream text;
    text << sample.rdbuf();
    std::string xml = text.str();
    // point the File option into the private folder
    const std::string configured = std::string("value=\"") + logFolder;
    const auto at = xml.find(configured);
    ASSERT_NE(at, std::string::npos) << configured;
    xml.replace(at, configured.size(), "value=\"" + (folder / "logs").string() + "/");
    std::ofstream(folder / "sample.xml") << xml;

    log4cxx::QorDwnlFileAppender::registerClass();
    log4cxx::xml::DOMConfigurator::configure((folder / "sample.xml").string());
    const auto logger = log4cxx::Logger::getLogger("QorDownloader");
    LOG4CXX_TRACE(logger, "every step");
    LOG4CXX_INFO(logger, "Begin");
    log4cxx::LogManager::resetConfiguration();

    const auto names = fileNames(folder / "logs");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(QorDownloader_\d{8}_\d{6}\.log)")))
        << names[0];
    const std::string written = readAll(folder / "logs" / names[0]);
    EXPECT_NE(written.find("INFO  QorDownloader - Begin (QorDwnlFileAppenderTest.cpp:"),
              std::string::npos)
        << written;
    EXPECT_EQ(written.find("every step"), std::string::npos) << written;
    EXPECT_EQ(written.find(PROJECT_SOURCE_DIR), std::string::npos) << written;
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1) << written;
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Installed, SampleConfiguration,
                         ::testing::Values(std::make_pair(QOR_SAMPLE_LOG_CONFIG, "logs/"),
                                           std::make_pair(QOR_SERVICE_LOG_CONFIG, "logs/")),
                         [](const auto& instance)
                         { return instance.index == 0 ? "WorkingFolder" : "Service"; });
} // namespace

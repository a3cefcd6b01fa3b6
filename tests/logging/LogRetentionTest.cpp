// Keeping a folder of per-run log files at a fixed size: which names count as
// the appender's own, which files go, which never do, and the mode of the
// files the appender creates.
#include "LogCapture.h"

#include "logging/AppLogger.h"
#include "logging/LogRetention.h"
#include "logging/QorDwnlFileAppender.h"

#include <log4cxx/logmanager.h>
#include <log4cxx/xml/domconfigurator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
TEST(LogRetentionPattern, ConversionsStandForAnyTextAndLiteralsMustBeEqual)
{
    const std::string pattern = "QorDownloader_%d{yyyyMMdd_HHmmss}.log";
    EXPECT_TRUE(LogRetention::fitsPattern(pattern, "QorDownloader_20261208_234501.log"));
    EXPECT_TRUE(LogRetention::fitsPattern(pattern, "QorDownloader_.log"));
    EXPECT_FALSE(LogRetention::fitsPattern(pattern, "QorDownloader_20261208_234501.log.gz"));
    EXPECT_FALSE(LogRetention::fitsPattern(pattern, "Other_20261208_234501.log"));
    EXPECT_FALSE(LogRetention::fitsPattern(pattern, "qordownloader_20261208_234501.log"));
    EXPECT_FALSE(LogRetention::fitsPattern(pattern, "QorDownloader_20261208_234501.txt"));

    // modifiers, several conversions, a doubled percent sign
    EXPECT_TRUE(LogRetention::fitsPattern("run-%-5p-%t-%d.log", "run-OFF  -main-2026.log"));
    EXPECT_FALSE(LogRetention::fitsPattern("run-%-5p-%t-%d.log", "run-OFF.log"));
    EXPECT_TRUE(LogRetention::fitsPattern("100%%_%d.log", "100%_x.log"));
    EXPECT_FALSE(LogRetention::fitsPattern("100%%_%d.log", "100_x.log"));
    // no conversion: only the one name
    EXPECT_TRUE(LogRetention::fitsPattern("plain.log", "plain.log"));
    EXPECT_FALSE(LogRetention::fitsPattern("plain.log", "plain.log.1"));
    // back-tracking: the literal after a conversion may also occur inside it
    EXPECT_TRUE(LogRetention::fitsPattern("a%d.log", "a.log.log"));
}

class LogFolder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char folderTemplate[] = "/tmp/qor-retention-XXXXXX";
        ASSERT_NE(::mkdtemp(folderTemplate), nullptr);
        m_folder = folderTemplate;
    }
    void TearDown() override
    {
        log4cxx::LogManager::resetConfiguration();
        fs::remove_all(m_folder);
    }

    // A file whose modification time lies ageMinutes in the past.
    fs::path oldFile(const std::string& name, int ageMinutes, const fs::path& folder = {})
    {
        const fs::path path = (folder.empty() ? m_folder : folder) / name;
        std::ofstream(path) << name << "\n";
        fs::last_write_time(path,
                            fs::file_time_type::clock::now() - std::chrono::minutes(ageMinutes));
        return path;
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(m_folder))
        {
            result.push_back(entry.path().filename().string());
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    fs::path m_folder;
};

TEST_F(LogFolder, KeepsTheNewestCountingTheCurrentFileAndRemovesTheRest)
{
    // names sort the other way round than the times: the times decide
    oldFile("run_a.log", 10);
    oldFile("run_b.log", 40);
    oldFile("run_c.log", 30);
    oldFile("run_d.log", 20);
    const fs::path current = oldFile("run_z.log", 0);

    const auto removed =
        LogRetention::prune((m_folder / "run_%d.log").string(), current.string(), 3);
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_EQ(names(), (std::vector<std::string>{"run_a.log", "run_d.log", "run_z.log"}));
}

TEST_F(LogFolder, RunSuffixedFilesCountAndGoLikeTheOthers)
{
    EXPECT_EQ(LogRetention::withRunSuffix("logs.d/run_x.log", 2), "logs.d/run_x-2.log");
    EXPECT_EQ(LogRetention::withRunSuffix("logs.d/run_x", 3), "logs.d/run_x-3");
    // the suffix goes before the extension, where the pattern has literal text
    oldFile("run_1_app.log", 30);
    oldFile("run_1_app-2.log", 40);
    oldFile("run_1_app-x.log", 50); // not a run suffix: not ours
    oldFile("run_2_app-2.log", 10);
    const fs::path current = oldFile("run_3_app.log", 0);
    LogRetention::prune((m_folder / "run_%d_app.log").string(), current.string(), 3);
    EXPECT_EQ(names(), (std::vector<std::string>{"run_1_app-x.log", "run_1_app.log",
                                                 "run_2_app-2.log", "run_3_app.log"}));
}

TEST_F(LogFolder, NeverTouchesOtherFilesLinksOrFolders)
{
    for (int i = 0; i < 4; ++i)
    {
        oldFile("run_" + std::to_string(i) + ".log", 100 + i);
    }
    oldFile("notes.txt", 500);
    oldFile("run_.log.gz", 500); // an archived copy: not the pattern's
    oldFile("other_1.log", 500);
    fs::create_directory(m_folder / "run_folder.log");
    const fs::path outside = m_folder / "outside";
    fs::create_directory(outside);
    const fs::path target = oldFile("run_elsewhere.log", 900, outside);
    fs::create_symlink(target, m_folder / "run_link.log");
    const fs::path current = oldFile("run_now.log", 0);

    LogRetention::prune((m_folder / "run_%d{yyyy}.log").string(), current.string(), 1);

    EXPECT_EQ(names(),
              (std::vector<std::string>{"notes.txt", "other_1.log", "outside", "run_.log.gz",
                                        "run_folder.log", "run_link.log", "run_now.log"}));
    EXPECT_TRUE(fs::exists(target)); // the link's target is not followed either
}

TEST_F(LogFolder, ZeroKeepsEverythingAndTheCurrentFileAlwaysStays)
{
    oldFile("run_1.log", 50);
    oldFile("run_2.log", 60);
    // the current file is older than the others (a clock set back): it stays
    const fs::path current = oldFile("run_3.log", 90);
    EXPECT_TRUE(
        LogRetention::prune((m_folder / "run_%d.log").string(), current.string(), 0).empty());
    EXPECT_EQ(names().size(), 3u);

    LogRetention::prune((m_folder / "run_%d.log").string(), current.string(), 1);
    EXPECT_EQ(names(), std::vector<std::string>{"run_3.log"});
}

TEST_F(LogFolder, RelativePatternPrunesTheWorkingFolder)
{
    oldFile("run_1.log", 50);
    oldFile("run_2.log", 60);
    const fs::path current = oldFile("run_3.log", 0);
    const fs::path previous = fs::current_path();
    fs::current_path(m_folder);
    LogRetention::prune("run_%d.log", "run_3.log", 2);
    fs::current_path(previous);
    EXPECT_EQ(names(), (std::vector<std::string>{"run_1.log", "run_3.log"}));
}

std::string appenderXml(const fs::path& filePattern, const std::string& extraParam)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="RunFile" class="QorDwnlFileAppender">
    <param name="File" value=")" +
           filePattern.string() + R"("/>
    <param name="Append" value="true"/>)" +
           extraParam + R"(
    <layout class="org.apache.log4j.PatternLayout">
      <param name="ConversionPattern" value="%m%n"/>
    </layout>
  </appender>
  <logger name="RetentionTest">
    <level value="info"/>
    <appender-ref ref="RunFile"/>
  </logger>
</log4j:configuration>
)";
}

TEST_F(LogFolder, AppenderTakesMaxLogFilesFromTheConfiguration)
{
    log4cxx::QorDwnlFileAppender::registerClass();
    for (int i = 0; i < 6; ++i)
    {
        oldFile("QorDownloader_2026120" + std::to_string(i) + "_000000.log", 100 - i);
    }
    oldFile("keep-me.txt", 1000);
    std::ofstream(m_folder / "config.xml")
        << appenderXml(m_folder / "QorDownloader_%d{yyyyMMdd_HHmmss}.log",
                       R"(<param name="MaxLogFiles" value="3"/>)");
    log4cxx::xml::DOMConfigurator::configure((m_folder / "config.xml").string());

    // two of the old ones (the newest: days 5 and 4), the new one, the other
    // file and the configuration
    EXPECT_EQ(names().size(), 5u) << ::testing::PrintToString(names());
    EXPECT_TRUE(fs::exists(m_folder / "QorDownloader_20261205_000000.log"));
    EXPECT_TRUE(fs::exists(m_folder / "QorDownloader_20261204_000000.log"));
    EXPECT_FALSE(fs::exists(m_folder / "QorDownloader_20261203_000000.log"));
    EXPECT_TRUE(fs::exists(m_folder / "keep-me.txt"));
}

TEST_F(LogFolder, AppenderKeepsThirtyWithoutTheOption)
{
    log4cxx::QorDwnlFileAppender::registerClass();
    for (int i = 0; i < 35; ++i)
    {
        oldFile("run_old" + std::to_string(100 + i) + ".log", 200 - i);
    }
    std::ofstream(m_folder / "config.xml") << appenderXml(m_folder / "run_%d{HHmmss}.log", "");
    log4cxx::xml::DOMConfigurator::configure((m_folder / "config.xml").string());
    EXPECT_EQ(names().size(), 30u + 1u); // 30 logs and config.xml
}

TEST_F(LogFolder, MaxLogFilesThatIsNoCountIsRefusedWithAWarningAndThirtyAreKept)
{
    log4cxx::QorDwnlFileAppender::registerClass();
    for (const std::string value : {"abc", "-1", "3x"})
    {
        for (int i = 0; i < 35; ++i)
        {
            oldFile("run_old" + std::to_string(100 + i) + ".log", 200 - i);
        }
        std::ofstream(m_folder / "config.xml")
            << appenderXml(m_folder / "run_%d{HHmmss}.log",
                           R"(<param name="MaxLogFiles" value=")" + value + R"("/>)");
        log4cxx::xml::DOMConfigurator::configure((m_folder / "config.xml").string());
        log4cxx::LogManager::resetConfiguration();
        EXPECT_EQ(names().size(), 30u + 1u) << value; // 30 logs and config.xml
        // the program's log says so once it can log, after "Begin"
        const qortest::LogCapture log;
        qorlog::reportConfigurationWarnings();
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"WARN Log configuration: MaxLogFiles \"" + value +
                                           "\" is not a number of files (0 or "
                                           "more): the newest 30 are kept"});
        fs::remove_all(m_folder);
        fs::create_directory(m_folder);
    }
    // a count with blanks round it is a count
    std::ofstream(m_folder / "config.xml")
        << appenderXml(m_folder / "run.log", R"(<param name="MaxLogFiles" value=" 7 "/>)");
    log4cxx::xml::DOMConfigurator::configure((m_folder / "config.xml").string());
    EXPECT_TRUE(log4cxx::QorDwnlFileAppender::takeConfigurationWarnings().empty());
}

TEST_F(LogFolder, CreatedLogFileIsReadableByOwnerAndGroupOnly)
{
    log4cxx::QorDwnlFileAppender::registerClass();
    // the umask that usually gives 0644
    const mode_t previous = ::umask(022);
    std::ofstream(m_folder / "config.xml") << appenderXml(m_folder / "logs" / "new.log", "");
    log4cxx::xml::DOMConfigurator::configure((m_folder / "config.xml").string());
    ::umask(previous);
    log4cxx::Logger::getLogger("RetentionTest")->forcedLog(log4cxx::Level::getInfo(), "written");
    log4cxx::LogManager::resetConfiguration();

    struct stat status
    {
    };
    ASSERT_EQ(::stat((m_folder / "logs" / "new.log").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    std::ifstream in(m_folder / "logs" / "new.log");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "written");
}

TEST_F(LogFolder, ExistingLogFileKeepsItsModeAndContents)
{
    log4cxx::QorDwnlFileAppender::registerClass();
    const fs::path existing = m_folder / "same.log";
    std::ofstream(existing) << "before\n";
    fs::permissions(existing, fs::perms(0604), fs::perm_options::replace);
    std::ofstream(m_folder / "config.xml") << appenderXml(existing, "");
    log4cxx::xml::DOMConfigurator::configure((m_folder / "config.xml").string());
    log4cxx::Logger::getLogger("RetentionTest")->forcedLog(log4cxx::Level::getInfo(), "after");
    log4cxx::LogManager::resetConfiguration();

    EXPECT_EQ(static_cast<unsigned>(fs::status(existing).permissions()), 0604u);
    std::ifstream in(existing);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "before\nafter\n");
}
} // namespace

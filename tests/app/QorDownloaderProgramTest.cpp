// The real qordownloader program, run as its users run it: command line,
// exit status as a shell sees it, the log from "Begin" to "End", the
// single-instance guard and the application title.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{
const std::string PROGRAM = QORDOWNLOADER_PATH;
const std::string LOCK_FILE_NAME = "{6883A631-E832-497a-B901-4675F28C0DC3}";
const std::string TITLE = "QorDownloader v2.0.0.0";
const std::string ALREADY_RUNNING_TEXT = "The application is already running !";

const std::string LOG_CONFIGURATION = runLogConfiguration("trace");

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A private root for one test: the lock folder, HOME, and working folders.
class QorDownloaderProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qordownloader-app-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        fs::create_directories(m_root / "lock");
        fs::create_directories(m_root / "home");
        fs::create_directories(m_root / "etc");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    // A working folder with the log configuration and QorDownloader.ini.
    fs::path workingFolder(const std::string& name, const std::string& ini)
    {
        const fs::path folder = m_root / name;
        fs::create_directories(folder);
        std::ofstream(folder / "LogQorDownloader.xml") << LOG_CONFIGURATION;
        std::ofstream(folder / "QorDownloader.ini") << ini;
        return folder;
    }

    // Nothing of this machine's own settings, the display excepted.
    std::map<std::string, std::string> environment(bool withDisplay = true) const
    {
        std::map<std::string, std::string> env = {
            {"PATH", "/usr/bin:/bin"}, {"HOME", (m_root / "home").string()},
            {"LANG", "C.UTF-8"},       {"GSETTINGS_BACKEND", "memory"},
            {"NO_AT_BRIDGE", "1"},     {"QORDOWNLOADER_LOCK_DIR", (m_root / "lock").string()},
        };
        const char* passed[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};
        for (const char* name : passed)
        {
            if (const char* value = std::getenv(name))
            {
                env[name] = value;
            }
        }
        if (withDisplay)
        {
            for (const char* name : {"DISPLAY", "XAUTHORITY"})
            {
                if (const char* value = std::getenv(name))
                {
                    env[name] = value;
                }
            }
        }
        return env;
    }

    static std::vector<std::string> logOf(const fs::path& folder)
    {
        return splitLines(readWholeFile((folder / "run.log").string()));
    }

    // Runs xdotool with args; its standard output, or nothing on failure.
    std::optional<std::string> xdotool(const std::vector<std::string>& args)
    {
        ChildProcess tool("/usr/bin/xdotool", args, m_root.string(), environment());
        const std::optional<int> status = tool.wait(10s);
        if (!status || *status != 0)
        {
            return std::nullopt;
        }
        return tool.standardOutput();
    }

    // The first visible window of pid whose title is exactly the program's.
    std::string waitForTitledWindow(pid_t pid)
    {
        std::string window;
        waitUntil(
            [&]
            {
                const auto found = xdotool({"search", "--all", "--onlyvisible", "--pid",
                                            std::to_string(pid), "--name", "^" + TITLE + "$"});
                if (found && !found->empty())
                {
                    window = splitLines(*found).front();
                }
                return !window.empty();
            },
            20s);
        return window;
    }

    // Enter into each of the run's titled windows (the download dialog
    // ignores it) until the run ends: under load a key can be lost, so it
    // is pressed again.
    void pressEnterUntilItEnds(ChildProcess& run)
    {
        waitUntil(
            [&]
            {
                const auto windows =
                    xdotool({"search", "--all", "--onlyvisible", "--pid",
                             std::to_string(run.pid()), "--name", "^" + TITLE + "$"});
                for (const std::string& window : splitLines(windows.value_or("")))
                {
                    xdotool({"windowfocus", "--sync", window});
                    xdotool({"key", "--clearmodifiers", "Return"});
                }
                return !run.running();
            },
            60s);
    }

    // --user-folder on a new account: the empty home's working folder, and
    // the administrator's folder that the first run copies from.
    fs::path userFolder() const { return m_root / "home" / ".local" / "state" / "qordownloader"; }
    // the settings of a run that succeeds, with the log in run.log
    void administratorSettings()
    {
        fs::create_directories(m_root / "target" / "sub");
        std::ofstream(m_root / "target" / "sub" / "setup.bin") << "payload";
        std::ofstream(m_root / "etc" / "QorDownloader.ini")
            << "[CONFIG]\nClientLibrary=" << FAKE_LIBRARY_PATH << "\nDestPath=Orvane\n"
            << "[UPDATE]\nExtract=" << (m_root / "extract").string()
            << "\nTarget=" << (m_root / "target").string() << "\nFlagFile=flag\nVersion=1.0\n";
        std::ofstream(m_root / "etc" / "UpdInter.ini") << "[KARVO]\nLanguage=EN\n";
        std::ofstream(m_root / "etc" / "LogQorDownloader.xml") << LOG_CONFIGURATION;
    }
    std::map<std::string, std::string> userEnvironment(bool withDisplay = false) const
    {
        auto env = environment(withDisplay);
        env["QORDOWNLOADER_ETC_DIR"] = (m_root / "etc").string();
        return env;
    }
    static unsigned int modeOf(const fs::path& path)
    {
        return static_cast<unsigned int>(fs::status(path).permissions() & fs::perms::mask);
    }

    static bool hasDisplay() { return std::getenv("DISPLAY") != nullptr; }

    fs::path m_root;
};

// The command-line cases need no display and no lock.
class QorDownloaderCommandLine : public QorDownloaderProgram
{
};

const std::string MISSING_LIBRARY_INI = "[CONFIG]\nClientLibrary=/nonexistent/libNone.so\n";

// The program and arguments of the packaged desktop entry's Exec line,
// the program looked up in path as a launcher does.
std::vector<std::string> desktopEntryCommand(const std::string& path)
{
    const fs::path entry = DESKTOP_ENTRY_PATH;
    std::string exec;
    for (const std::string& line : splitLines(readWholeFile(entry.string())))
    {
        if (line.rfind("Exec=", 0) == 0)
        {
            exec = line.substr(5);
        }
    }
    std::vector<std::string> words;
    std::istringstream split(exec);
    for (std::string word; split >> word;)
    {
        words.push_back(word);
    }
    if (words.empty() || exec.find_first_of("\"'%$;|") != std::string::npos)
    {
        return {}; // a shell line or field codes: this lookup would not do
    }
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');)
    {
        if (::access((fs::path(folder) / words[0]).c_str(), X_OK) == 0)
        {
            words[0] = (fs::path(folder) / words[0]).string();
            return words;
        }
    }
    return {};
}
} // namespace

TEST_F(QorDownloaderCommandLine, HelpListsOptionsFilesAndExitCodesWithoutRunning)
{
    const fs::path folder = workingFolder("help", MISSING_LIBRARY_INI);
    ChildProcess program(PROGRAM, {"--help"}, folder.string(), environment(false));
    ASSERT_EQ(program.wait(20s), 0);

    const std::string help = program.standardOutput();
    for (const char* expected : {"--unattended", "--help", "--version", "QorDownloader.ini",
                                 "UpdInter.ini", "LogQorDownloader.xml", "QORDOWNLOADER_LOCK_DIR"})
    {
        EXPECT_NE(help.find(expected), std::string::npos) << "missing " << expected << "\n" << help;
    }
    // every run outcome with the status a shell sees
    for (const char* expected :
         {"  1     1     ", "  0     0     ", "  -1    255   ", "  -2    254   ", "  -3    253   ",
          "  -10   246   ", "  -11   245   "})
    {
        EXPECT_NE(help.find(expected), std::string::npos) << "missing '" << expected << "'";
    }
    EXPECT_TRUE(program.standardError().empty()) << program.standardError();
    EXPECT_FALSE(fs::exists(folder / "run.log")) << "--help must not configure logging";
    EXPECT_TRUE(fs::is_empty(m_root / "lock")) << "--help must not take the instance lock";
}

TEST_F(QorDownloaderCommandLine, VersionPrintsTheProgramVersionWithoutRunning)
{
    const fs::path folder = workingFolder("version", MISSING_LIBRARY_INI);
    ChildProcess program(PROGRAM, {"--version"}, folder.string(), environment(false));
    ASSERT_EQ(program.wait(20s), 0);
    EXPECT_EQ(program.standardOutput(), "qordownloader 2.0.0.0\n");
    EXPECT_FALSE(fs::exists(folder / "run.log"));
    EXPECT_TRUE(fs::is_empty(m_root / "lock"));
}

TEST_F(QorDownloaderCommandLine, UnknownOptionOrArgumentIsAUsageError)
{
    const fs::path folder = workingFolder("usage", MISSING_LIBRARY_INI);
    for (const std::string argument : {"--bogus", "stray"})
    {
        ChildProcess program(PROGRAM, {"--unattended", argument}, folder.string(),
                             environment(false));
        ASSERT_EQ(program.wait(20s), 2) << argument;
        EXPECT_TRUE(program.standardOutput().empty()) << program.standardOutput();
        EXPECT_NE(program.standardError().find("'" + argument + "'"), std::string::npos)
            << program.standardError();
        EXPECT_NE(program.standardError().find("--help"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(folder / "run.log"));
    EXPECT_TRUE(fs::is_empty(m_root / "lock"));
}

TEST_F(QorDownloaderCommandLine, WithoutADisplayAnAttendedStartSaysWhatItNeedsAndExitsWith3)
{
    const fs::path folder = workingFolder("nodisplay", MISSING_LIBRARY_INI);
    ChildProcess program(PROGRAM, {}, folder.string(), environment(false));
    ASSERT_EQ(program.wait(30s), 3) << program.standardError();
    EXPECT_NE(program.standardError().find("no display"), std::string::npos)
        << program.standardError();
    EXPECT_NE(program.standardError().find("--unattended"), std::string::npos);
    EXPECT_TRUE(program.standardOutput().empty()) << program.standardOutput();
    const auto log = logOf(folder);
    ASSERT_EQ(log.size(), 1u) << readWholeFile((folder / "run.log").string());
    EXPECT_EQ(log.front().rfind("ERROR No display: ", 0), 0u) << log.front();
    EXPECT_TRUE(fs::is_empty(m_root / "lock")) << "nothing was run";
}

TEST_F(QorDownloaderProgram, FailedRunLogsFromBeginToEndAndExitsWith245)
{
    if (!hasDisplay())
    {
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    }
    const fs::path folder = workingFolder("failed", MISSING_LIBRARY_INI);
    ChildProcess program(PROGRAM, {"--unattended"}, folder.string(), environment());
    ASSERT_EQ(program.wait(60s), 245) << program.standardError();

    const auto out = splitLines(program.standardOutput());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "Outcome: -11 (finding, downloading or finalizing the update failed)");

    const auto log = logOf(folder);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log.front(), "INFO Begin");
    EXPECT_EQ(log[log.size() - 3], "TRACE End");
    EXPECT_EQ(log[log.size() - 2], "INFO Application return code: -11");
    EXPECT_EQ(log.back(), "INFO End");
    EXPECT_TRUE(contains(log, "INFO Tool version: v2.0.0.0"));
    EXPECT_TRUE(contains(log, "ERROR LoadLibrary error: 126"));
}

TEST_F(QorDownloaderProgram, SuccessfulRunExitsWith1)
{
    if (!hasDisplay())
    {
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    }
    const fs::path target = m_root / "target";
    const fs::path destination = m_root / "destination";
    fs::create_directories(target / "sub");
    std::ofstream(target / "sub" / "setup.bin") << "payload";
    std::ostringstream ini;
    ini << "[CONFIG]\nClientLibrary=" << FAKE_LIBRARY_PATH << "\nDestPath=" << destination.string()
        << "\n[UPDATE]\nExtract=" << (m_root / "extract").string() << "\nTarget=" << target.string()
        << "\nFlagFile=" << (m_root / "flag").string() << "\nVersion=1.0\n";
    const fs::path folder = workingFolder("success", ini.str());

    ChildProcess program(PROGRAM, {"--unattended"}, folder.string(), environment());
    ASSERT_EQ(program.wait(60s), 1) << program.standardOutput() << program.standardError()
                                    << readWholeFile((folder / "run.log").string());
    EXPECT_EQ(splitLines(program.standardOutput()).back(),
              "Outcome: 1 (update downloaded and finalized)");
    const auto log = logOf(folder);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front(), "INFO Begin");
    EXPECT_EQ(log[log.size() - 2], "INFO Application return code: 1");
    EXPECT_EQ(log.back(), "INFO End");
    EXPECT_EQ(readWholeFile((destination / "sub" / "setup.bin").string()), "payload");
}

TEST_F(QorDownloaderProgram, SecondCopyIsRefusedWhileTheFirstRunsAndAllowedAfterIt)
{
    if (!hasDisplay())
    {
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    }
    // The first copy waits in its confirmation prompt for as long as we like.
    const fs::path firstFolder = workingFolder("first", MISSING_LIBRARY_INI);
    ChildProcess first(PROGRAM, {}, firstFolder.string(), environment());
    ASSERT_TRUE(first.started());
    const std::string prompt = waitForTitledWindow(first.pid());
    ASSERT_FALSE(prompt.empty()) << "the first copy showed no window titled " << TITLE << "\n"
                                 << readWholeFile((firstFolder / "run.log").string());

    // unattended: the refusal goes to stderr
    const fs::path secondFolder = workingFolder("second", MISSING_LIBRARY_INI);
    ChildProcess second(PROGRAM, {"--unattended"}, secondFolder.string(), environment());
    ASSERT_EQ(second.wait(30s), 246) << second.standardError();
    EXPECT_EQ(second.standardError(), TITLE + ": " + ALREADY_RUNNING_TEXT + "\n");
    EXPECT_EQ(splitLines(second.standardOutput()).back(),
              "Outcome: -10 (another copy is already running)");
    const std::vector<std::string> expectedLog = {
        "INFO Begin", "FATAL QorDownloader is already running", "INFO Tool version: v2.0.0.0",
        "TRACE End",  "INFO Application return code: -10",      "INFO End",
    };
    EXPECT_EQ(logOf(secondFolder), expectedLog);

    // interactive: an error box with the title, closed with Enter
    const fs::path thirdFolder = workingFolder("third", MISSING_LIBRARY_INI);
    ChildProcess third(PROGRAM, {}, thirdFolder.string(), environment());
    const std::string box = waitForTitledWindow(third.pid());
    ASSERT_FALSE(box.empty()) << "no error box titled " << TITLE;
    EXPECT_TRUE(contains(logOf(thirdFolder), "FATAL QorDownloader is already running"))
        << readWholeFile((thirdFolder / "run.log").string()) << third.standardError();
    pressEnterUntilItEnds(third);
    EXPECT_EQ(third.wait(5s), 246);
    EXPECT_TRUE(first.running()) << "the first copy must not be disturbed";

    // Once the first copy is gone the lock is free again.
    first.kill();
    const fs::path fourthFolder = workingFolder("fourth", MISSING_LIBRARY_INI);
    ChildProcess fourth(PROGRAM, {"--unattended"}, fourthFolder.string(), environment());
    EXPECT_EQ(fourth.wait(60s), 245) << fourth.standardError();
    EXPECT_FALSE(contains(logOf(fourthFolder), "FATAL QorDownloader is already running"));
}

// Holds the instance lock from the test itself, as a running copy would.
class HeldInstanceLock
{
public:
    explicit HeldInstanceLock(const fs::path& folder)
        : m_fd(::open((folder / LOCK_FILE_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        m_bHeld = m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldInstanceLock()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
    }
    bool held() const { return m_bHeld; }

private:
    int m_fd;
    bool m_bHeld = false;
};

TEST_F(QorDownloaderProgram, ExecutablePathTooLongLeavesTheTitleEmpty)
{
    if (!hasDisplay())
    {
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    }
    fs::path deep = m_root;
    while (deep.string().size() < 1100)
    {
        deep /= std::string(200, 'd');
    }
    fs::create_directories(deep);
    const fs::path copy = deep / "qordownloader";
    fs::copy_file(PROGRAM, copy);

    const HeldInstanceLock lock(m_root / "lock");
    ASSERT_TRUE(lock.held());
    const fs::path folder = workingFolder("longpath", MISSING_LIBRARY_INI);
    ChildProcess program(copy.string(), {"--unattended"}, folder.string(), environment());
    ASSERT_EQ(program.wait(30s), 246) << program.standardError();

    EXPECT_EQ(program.standardError(), ": " + ALREADY_RUNNING_TEXT + "\n");
    const auto log = logOf(folder);
    EXPECT_TRUE(contains(log, "WARN Filename size error: 1024"))
        << readWholeFile((folder / "run.log").string());
    EXPECT_TRUE(contains(log, "WARN GetModuleFileName error: 36")); // ENAMETOOLONG
}

TEST_F(QorDownloaderProgram, ExecutableWithoutVersionRecordHasAnEmptyTitle)
{
    if (!hasDisplay())
    {
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    }
    const fs::path copy = m_root / "qordownloader-unversioned";
    const std::string command =
        "objcopy --remove-section .note.qor.version '" + PROGRAM + "' '" + copy.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const HeldInstanceLock lock(m_root / "lock");
    ASSERT_TRUE(lock.held());
    const fs::path folder = workingFolder("unversioned", MISSING_LIBRARY_INI);
    ChildProcess program(copy.string(), {"--unattended"}, folder.string(), environment());
    ASSERT_EQ(program.wait(30s), 246) << program.standardError();

    EXPECT_EQ(program.standardError(), ": " + ALREADY_RUNNING_TEXT + "\n");
    const auto log = logOf(folder);
    EXPECT_TRUE(contains(log, "WARN getVersionString error"))
        << readWholeFile((folder / "run.log").string());
    EXPECT_FALSE(contains(log, "INFO Tool version: v2.0.0.0"));
}

TEST_F(QorDownloaderCommandLine,
       UserFolderWithoutSettingsAnywhereItSaysWhichFilesAreNeededWhereAndExitsWith4)
{
    ChildProcess program(PROGRAM, {"--unattended", "--user-folder"}, m_root.string(),
                         userEnvironment());
    ASSERT_EQ(program.wait(30s), 4) << program.standardError();
    const std::string error = program.standardError();
    for (const std::string& expected :
         {std::string("qordownloader: QorDownloader has no settings to run with.\n"),
          "It needs QorDownloader.ini in its working folder " + userFolder().string() + ";",
          "your administrator's folder " + (m_root / "etc").string() + ", which holds no "})
    {
        EXPECT_NE(error.find(expected), std::string::npos) << expected << "\n" << error;
    }
    EXPECT_TRUE(program.standardOutput().empty()) << program.standardOutput();
    EXPECT_TRUE(fs::is_directory(userFolder()));
    EXPECT_EQ(modeOf(userFolder()), 0700u);
    EXPECT_TRUE(fs::is_empty(userFolder()));
    EXPECT_TRUE(fs::is_empty(m_root / "lock")) << "nothing was run";
}

TEST_F(QorDownloaderCommandLine,
       UserFolderFirstRunCopiesWhatTheFolderLacksButNeverOverAUsersOwnFile)
{
    administratorSettings();
    fs::create_directories(userFolder());
    std::ofstream(userFolder() / "UpdInter.ini") << "[KARVO]\n; mine\nLanguage=EN\n";
    ChildProcess first(PROGRAM, {"--user-folder", "--unattended"}, m_root.string(),
                       userEnvironment());
    ASSERT_EQ(first.wait(60s), 1) << first.standardOutput() << first.standardError();

    EXPECT_EQ(readWholeFile((userFolder() / "UpdInter.ini").string()),
              "[KARVO]\n; mine\nLanguage=EN\n");
    for (const char* copied : {"QorDownloader.ini", "LogQorDownloader.xml"})
    {
        EXPECT_EQ(readWholeFile((userFolder() / copied).string()),
                  readWholeFile((m_root / "etc" / copied).string()));
        EXPECT_EQ(modeOf(userFolder() / copied), 0600u) << copied;
    }
    const auto out = splitLines(first.standardOutput());
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0], "Your working folder " + userFolder().string() +
                          " was prepared with your administrator's settings.");
    EXPECT_EQ(out[1], "Copied from " + (m_root / "etc").string() +
                          ": QorDownloader.ini, LogQorDownloader.xml");
    const auto log = logOf(userFolder());
    const std::vector<std::string> opening = {
        "INFO Begin", "INFO Working folder: " + userFolder().string(),
        "INFO Copied from the administrator's settings: " + (m_root / "etc").string() +
            "/QorDownloader.ini",
        "INFO Copied from the administrator's settings: " + (m_root / "etc").string() +
            "/LogQorDownloader.xml"};
    ASSERT_GE(log.size(), opening.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4), opening);
    EXPECT_EQ(readWholeFile((userFolder() / "Orvane" / "sub" / "setup.bin").string()), "payload")
        << "DestPath is relative to the user's folder";

    // the next run finds everything in place: nothing copied, nothing said
    std::ofstream(m_root / "etc" / "QorDownloader.ini") << "[CONFIG]\nMode=changed\n";
    ChildProcess second(PROGRAM, {"--user-folder", "--unattended"}, m_root.string(),
                        userEnvironment());
    ASSERT_TRUE(second.wait(60s).has_value());
    EXPECT_EQ(second.standardOutput().find("prepared"), std::string::npos);
    EXPECT_EQ(readWholeFile((userFolder() / "QorDownloader.ini").string()).find("changed"),
              std::string::npos);
    const auto again = logOf(userFolder()); // this run's only
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[1], opening[1]);
    EXPECT_FALSE(contains(again, opening[2]));
}

TEST_F(QorDownloaderProgram, DesktopEntryWorksOnANewAccount)
{
    if (!hasDisplay())
    {
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    }
    auto env = userEnvironment(true);
    env["PATH"] = fs::path(PROGRAM).parent_path().string() + ":/usr/bin:/bin";
    const std::vector<std::string> command = desktopEntryCommand(env["PATH"]);
    ASSERT_FALSE(command.empty()) << "the desktop entry's Exec does not name the program";
    const std::vector<std::string> arguments(command.begin() + 1, command.end());
    const std::string home = (m_root / "home").string();

    // nothing to copy yet: an error box, closed with Enter
    ChildProcess refused(command[0], arguments, home, env);
    const std::string box = waitForTitledWindow(refused.pid());
    ASSERT_FALSE(box.empty()) << "no box titled " << TITLE << "\n" << refused.standardError();
    pressEnterUntilItEnds(refused);
    EXPECT_EQ(refused.wait(5s), 4) << refused.standardError();

    // the administrator's settings: confirmed with Enter, then the final box
    administratorSettings();
    ChildProcess program(command[0], arguments, home, env);
    const std::string confirmation = waitForTitledWindow(program.pid());
    ASSERT_FALSE(confirmation.empty()) << readWholeFile((userFolder() / "run.log").string());
    pressEnterUntilItEnds(program);
    ASSERT_EQ(program.wait(5s), 1) << readWholeFile((userFolder() / "run.log").string());
    const auto log = logOf(userFolder());
    EXPECT_TRUE(contains(log, "INFO Copied from the administrator's settings: " +
                                  (m_root / "etc").string() + "/QorDownloader.ini"));
    EXPECT_TRUE(contains(log, "INFO Application return code: 1"));
    EXPECT_TRUE(fs::exists(userFolder() / "Orvane" / "sub" / "setup.bin"));
}

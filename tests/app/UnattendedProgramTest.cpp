// The real program run unattended with no display at all (DISPLAY and
// WAYLAND_DISPLAY unset), against the scriptable stand-in library of the
// workflow tests: every outcome an unattended run can have, its console
// lines, its log from "Begin" to "End", and a stop by SIGTERM.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
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
const std::string LIBRARY = SCRIPTED_LIBRARY_PATH;
const std::string LOCK_FILE_NAME = "{6883A631-E832-497a-B901-4675F28C0DC3}";

const std::string LOG_CONFIGURATION = runLogConfiguration("info");

// "" when every expected line comes in this order (other lines between
// them allowed), else the first one missing
std::string missingInOrder(const std::vector<std::string>& lines,
                           const std::vector<std::string>& expected)
{
    auto from = lines.begin();
    for (const std::string& line : expected)
    {
        from = std::find(from, lines.end(), line);
        if (from == lines.end())
        {
            return line;
        }
        ++from;
    }
    return "";
}

class UnattendedProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qordownloader-unatt-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        m_folder = m_root / "work";
        fs::create_directories(m_root / "lock");
        fs::create_directories(m_folder / "target" / "sub");
        std::ofstream(m_folder / "target" / "sub" / "setup.bin") << "payload";
        std::ofstream(m_folder / "LogQorDownloader.xml") << LOG_CONFIGURATION;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    void writeConfiguration(const std::string& script, const std::string& proxySection = "",
                            const std::string& library = LIBRARY)
    {
        std::ofstream(m_folder / "QorDownloader.ini")
            << "[CONFIG]\nClientLibrary=" << library << "\nDestPath=dest\n"
            << "[UPDATE]\nExtract=extract\nTarget=target\nFlagFile=flag\nVersion=1.0\n"
            << proxySection;
        std::ofstream(m_folder / "UpdInter.ini") << "[KARVO]\nLanguage=EN\n";
        std::ofstream(m_folder / "script.txt") << script;
    }

    // no display of any kind, nothing of this machine's proxy settings
    std::map<std::string, std::string> environment() const
    {
        std::map<std::string, std::string> env = {
            {"PATH", "/usr/bin:/bin"},
            {"HOME", m_root.string()},
            {"LANG", "C.UTF-8"},
            {"GSETTINGS_BACKEND", "memory"},
            {"QORDOWNLOADER_LOCK_DIR", (m_root / "lock").string()},
            {"QOR_FAKE_UPDINTER_SCRIPT", (m_folder / "script.txt").string()},
        };
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        {
            if (const char* value = std::getenv(name))
            {
                env[name] = value;
            }
        }
        return env;
    }

    std::vector<std::string> log() const
    {
        return splitLines(readWholeFile((m_folder / "run.log").string()));
    }
    std::vector<std::string> journal() const
    {
        return splitLines(readWholeFile((m_folder / "script.txt.journal").string()));
    }
    long journalCount(const std::string& prefix) const
    {
        const auto lines = journal();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }

    fs::path m_root;
    fs::path m_folder;
};

const std::string QUICK_SUCCESS = "status=1 1 1 100 40 1\nstatus=0 1 1 100 100 1\n";
} // namespace

TEST_F(UnattendedProgram, SuccessRunsEveryStepWithoutADisplayAndExitsWith1)
{
    writeConfiguration(QUICK_SUCCESS);
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
    ASSERT_EQ(program.wait(60s), 1) << program.standardOutput() << program.standardError();

    EXPECT_EQ(
        splitLines(program.standardOutput()),
        (std::vector<std::string>{"QorDownloader: confirmed", "proxy: none",
                                  "find: update 2.5.0 found, downloading", "download: 41%",
                                  "download: 95%", "download: complete", "finalize: moved to dest",
                                  "Outcome: 1 (update downloaded and finalized)"}));
    EXPECT_EQ(readWholeFile((m_folder / "dest" / "sub" / "setup.bin").string()), "payload");
    EXPECT_FALSE(fs::exists(m_folder / "target"));
    // the same calls with the same arguments as an attended run
    const std::string init = journal().front();
    EXPECT_NE(init.find("|1|extract|target|flag|||"), std::string::npos) << init;
    EXPECT_TRUE(init.ends_with("|EN|1.0|30000|30000||")) << init;
    EXPECT_EQ(journalCount("getVersionCount|-1"), 1);
    EXPECT_EQ(journalCount("getVersionInfo|0|1023|4095"), 1);
    EXPECT_EQ(journalCount("downloadUntil|2.5.0"), 1);
    EXPECT_EQ(journalCount("closeUpdInter"), 1);

    const auto lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "INFO Begin");
    EXPECT_EQ(lines[lines.size() - 2], "INFO Application return code: 1");
    EXPECT_EQ(lines.back(), "INFO End");
    EXPECT_EQ("", missingInOrder(lines, {"INFO Begin", "INFO Tool version: v2.0.0.0",
                                         "INFO Download confirmed (unattended)", "INFO No proxy",
                                         "INFO No FlagFile: flag", "INFO downloadUntil: 2.5.0",
                                         "INFO FindUpdate success", "INFO DownloadUpdate success",
                                         "INFO FinalizeUpdate success", "INFO Download stopped",
                                         "INFO Download success return code: 1",
                                         "INFO Application return code: 1", "INFO End"}));
}

TEST_F(UnattendedProgram, EachFailingStepExitsWith245AndSaysWhyWithTheLogPath)
{
    const std::string logPath = fs::weakly_canonical(m_folder / "run.log").string();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"init_result=0\nerrors=1 0 0\n",
         "failed at initUpdInterEx: bad argument (APIErrorCode 1)"},
        {"count_result=0\nerrors=3 7 0\n",
         "failed at getVersionCount: network (APIErrorCode 3): curl 7, Couldn't connect to "
         "server; URL https://updates.orvane.example/"},
        {"count=0\n", "failed at getVersionCount: no newer version to download (count 0)"},
        {"info_result=0\nerrors=12 0 0\n",
         "failed at getVersionInfo: unknown version (APIErrorCode 12)"},
        {"errors=10 28 0\nstatus=1 1 1 100 40 1\nstatus=0 1 1 100 40 0\n",
         "failed at download: disk (APIErrorCode 10): errno 28, No space left on device; "
         "folders Extract " +
             (m_folder / "extract").string() + ", Target " + (m_folder / "target").string()},
    };
    for (const auto& [script, reason] : cases)
    {
        SCOPED_TRACE(reason);
        writeConfiguration(script);
        fs::remove(m_folder / "script.txt.journal");
        ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
        ASSERT_EQ(program.wait(60s), 245) << program.standardOutput() << program.standardError();
        const std::string line = reason + "; log file: " + logPath;
        const auto out = splitLines(program.standardOutput());
        EXPECT_NE(std::find(out.begin(), out.end(), line), out.end()) << program.standardOutput();
        EXPECT_EQ(out.back(),
                  "Outcome: -11 (finding, downloading or finalizing the update failed)");
        const auto lines = log();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR Run " + line), lines.end())
            << readWholeFile((m_folder / "run.log").string());
        EXPECT_EQ(lines.back(), "INFO End");
        EXPECT_TRUE(fs::exists(m_folder / "target" / "sub" / "setup.bin")) << "nothing moved";
    }
}

TEST_F(UnattendedProgram, AFolderWithoutSettingsNamesTheMissingFiles)
{
    // nothing but the log configuration: the library is the real one, by its default name
    const fs::path folder = fs::weakly_canonical(m_folder);
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
    ASSERT_EQ(program.wait(60s), 245) << program.standardOutput() << program.standardError();
    const std::string line = "failed at initUpdInterEx: bad argument (APIErrorCode 1); "
                             "missing settings: " +
                             (folder / "QorDownloader.ini").string() + ", " +
                             (folder / "UpdInter.ini").string() +
                             "; log file: " + (folder / "run.log").string();
    const auto out = splitLines(program.standardOutput());
    EXPECT_NE(std::find(out.begin(), out.end(), line), out.end()) << program.standardOutput();
    const auto lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR Run " + line), lines.end());
}

TEST_F(UnattendedProgram, MissingLibraryAndFailedMoveNameTheirCause)
{
    writeConfiguration(QUICK_SUCCESS, "", (m_root / "libMissing.so").string());
    {
        ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
        ASSERT_EQ(program.wait(60s), 245);
        EXPECT_NE(program.standardOutput().find("failed at loading the update client library: " +
                                                (m_root / "libMissing.so").string() +
                                                ": cannot open shared object file"),
                  std::string::npos)
            << program.standardOutput();
    }
    writeConfiguration(QUICK_SUCCESS);
    std::ofstream(m_folder / "dest") << "a file where the destination folder should be";
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
    ASSERT_EQ(program.wait(60s), 245);
    EXPECT_NE(program.standardOutput().find("failed at moving target to dest: errno "),
              std::string::npos)
        << program.standardOutput();
}

TEST_F(UnattendedProgram, ProxyStepUsesTheStoredCredentialsWithoutRewritingThem)
{
    writeConfiguration(QUICK_SUCCESS, "[PROXY]\nUserProxy=alice\nPswdProxy=STORED\n");
    const std::string before = readWholeFile((m_folder / "QorDownloader.ini").string());
    auto env = environment();
    env["https_proxy"] = "http://127.0.0.1:3128";
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), env);
    ASSERT_EQ(program.wait(60s), 1) << program.standardOutput() << program.standardError();
    const auto out = splitLines(program.standardOutput());
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[1].rfind("proxy: ", 0), 0u) << program.standardOutput();
    EXPECT_TRUE(out[1].ends_with("127.0.0.1:3128 (stored credentials)")) << out[1];
    EXPECT_EQ(readWholeFile((m_folder / "QorDownloader.ini").string()), before);
    EXPECT_NE(journal().front().find("|alice|STORED|"), std::string::npos) << journal().front();
    EXPECT_EQ("", missingInOrder(log(), {"INFO Proxy settings taken from the configuration "
                                         "(unattended)",
                                         "INFO FindUpdate success"}));
}

TEST_F(UnattendedProgram, SecondInstanceIsRefusedWithMinus10)
{
    writeConfiguration(QUICK_SUCCESS);
    const int fd =
        ::open((m_root / "lock" / LOCK_FILE_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
    const auto status = program.wait(30s);
    ::close(fd);
    ASSERT_EQ(status, 246) << program.standardError();
    EXPECT_EQ(program.standardError(),
              "QorDownloader v2.0.0.0: The application is already running !\n");
    EXPECT_EQ(splitLines(program.standardOutput()).back(),
              "Outcome: -10 (another copy is already running)");
    EXPECT_TRUE(journal().empty()) << "the library is never loaded";
    EXPECT_EQ(log(),
              (std::vector<std::string>{"INFO Begin", "FATAL QorDownloader is already running",
                                        "INFO Tool version: v2.0.0.0",
                                        "INFO Application return code: -10", "INFO End"}));
}

TEST_F(UnattendedProgram, SigtermStopsTheDownloadLikeAConfirmedCancelAndExitsWithMinus3)
{
    // the download runs until the test stops it
    writeConfiguration("hold_file=" + (m_root / "never").string() +
                       "\nhold=1 1 1 100 30 1\nstop_after=2\nstopped=0 1 1 100 30 0\n");
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
    ASSERT_TRUE(waitUntil([&] { return journalCount("getStatusUpdInter|1") >= 1; }, 30s))
        << program.standardOutput() << program.standardError();
    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    ASSERT_EQ(program.wait(30s), 253) << program.standardOutput() << program.standardError();

    EXPECT_EQ(journalCount("closeDownload"), 1);
    EXPECT_EQ(journalCount("closeUpdInter"), 1);
    EXPECT_EQ(splitLines(program.standardOutput()).back(),
              "Outcome: -3 (download canceled by the user)");
    EXPECT_TRUE(fs::exists(m_folder / "target" / "sub" / "setup.bin")) << "nothing half-moved";
    EXPECT_FALSE(fs::exists(m_folder / "dest"));
    EXPECT_EQ("", missingInOrder(log(), {"INFO FindUpdate success",
                                         "WARN Stop requested: stopping the download",
                                         "INFO Stopping download...", "INFO ...download stopped",
                                         "WARN Download failure return code: -3",
                                         "INFO Application return code: -3", "INFO End"}));
}

TEST_F(UnattendedProgram, SigtermAtEitherEdgeOfARunEndsItCleanly)
{
    // as soon as the process catches SIGTERM (its first own instruction): no
    // death by the signal but -3, nothing touched (whether the stop lands
    // before the run or in its find step is the machine's timing)
    writeConfiguration(QUICK_SUCCESS);
    {
        ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
        const std::string status = "/proc/" + std::to_string(program.pid()) + "/status";
        // polled without pause: the run would be under way within 50 ms
        const auto giveUp = std::chrono::steady_clock::now() + 30s;
        bool caught = false;
        while (!caught && std::chrono::steady_clock::now() < giveUp)
        {
            for (const std::string& line : splitLines(readWholeFile(status)))
            {
                if (line.rfind("SigCgt:", 0) == 0)
                {
                    caught = ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
                }
            }
        }
        ASSERT_TRUE(caught);
        ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
        ASSERT_EQ(program.wait(30s), 253) << program.standardOutput() << program.standardError();
        EXPECT_TRUE(fs::exists(m_folder / "target" / "sub" / "setup.bin"));
        EXPECT_FALSE(fs::exists(m_folder / "dest"));
    }

    // once the outcome is known a stop leaves it: here while the library unloads
    writeConfiguration(QUICK_SUCCESS + "unload_delay_ms=2000\n");
    ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
    ASSERT_TRUE(waitUntil([&] { return journalCount("unload") == 1; }, 30s))
        << program.standardOutput() << program.standardError();
    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    ASSERT_EQ(program.wait(30s), 1) << program.standardOutput() << program.standardError();
    EXPECT_EQ(splitLines(program.standardOutput()).back(),
              "Outcome: 1 (update downloaded and finalized)");
}

TEST_F(UnattendedProgram, TheBuiltInServerPasswordGoesOnlyToTheBuiltInServer)
{
    const std::string builtInPassword = "Orv-Net-2026-Hs9!vB3n";
    writeConfiguration(QUICK_SUCCESS);
    std::ofstream(m_folder / "UpdInter.ini")
        << "[KARVO]\nLanguage=EN\nURL=https://updates.orvane.example/ https://mirror.corp.example/\n";
    {
        ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
        ASSERT_EQ(program.wait(60s), 1) << program.standardOutput() << program.standardError();
    }
    EXPECT_EQ(journal().front().find(builtInPassword), std::string::npos) << journal().front();
    const auto lines = log();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line)
                            {
                                return line.rfind("WARN Built-in NotesPswd not sent", 0) == 0 &&
                                       line.find("(mirror.corp.example)") != std::string::npos;
                            }),
              1);

    // the built-in URL, or a password configured with the mirror, is sent
    for (const std::string& updInter :
         {std::string("[KARVO]\nLanguage=EN\n"),
          std::string("[KARVO]\nLanguage=EN\nURL=https://mirror.corp.example/\nNotesPswd=corp\n")})
    {
        SCOPED_TRACE(updInter);
        writeConfiguration(QUICK_SUCCESS);
        fs::remove_all(m_folder / "dest");
        fs::create_directories(m_folder / "target" / "sub");
        std::ofstream(m_folder / "target" / "sub" / "setup.bin") << "payload";
        std::ofstream(m_folder / "UpdInter.ini") << updInter;
        std::error_code ignored;
        fs::remove(m_folder / "script.txt.journal", ignored);
        ChildProcess program(PROGRAM, {"--unattended"}, m_folder.string(), environment());
        ASSERT_EQ(program.wait(60s), 1) << program.standardOutput() << program.standardError();
        const std::string expected = updInter.find("corp\n") != std::string::npos
                                         ? std::string("|corp|")
                                         : "|" + builtInPassword + "|";
        EXPECT_NE(journal().front().find(expected), std::string::npos) << journal().front();
    }
}

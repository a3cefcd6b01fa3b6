// The configuration store: effective values (file, built-in, default), the
// exact log sequences of reading and writing, and the table of built-in
// values. The run mode is fixed by the first construction in a process, so
// every case about the mode runs in a fresh process of its own.
#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace ConfigKeys;
using qortest::LogCapture;
using qortest::LogEvent;
using qortest::readBytes;
using qortest::TempWorkDir;
using qortest::writeBytes;

namespace
{
LogEvent warn(const std::wstring& text)
{
    return LogEvent{"WARN", text};
}
LogEvent trace(const std::wstring& text)
{
    return LogEvent{"TRACE", text};
}
LogEvent info(const std::wstring& text)
{
    return LogEvent{"INFO", text};
}

std::vector<LogEvent> eventsAt(const std::vector<LogEvent>& events, const std::string& level)
{
    std::vector<LogEvent> selected;
    for (const LogEvent& event : events)
    {
        if (event.level == level)
            selected.push_back(event);
    }
    return selected;
}

std::wstring internalValue(const wchar_t* key)
{
    C_IniFileTools store;
    return store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, key, L"");
}

// Checks done in a child process report here and end it with a non-zero
// exit status when any failed.
class ChildChecks
{
public:
    template <typename A, typename B>
    void equal(const A& actual, const B& expected, const char* what)
    {
        if (!(actual == expected))
        {
            std::cerr << "check failed: " << what << "\n";
            m_failed = true;
        }
    }
    void events(const std::vector<LogEvent>& actual, const std::vector<LogEvent>& expected,
                const char* what)
    {
        if (actual != expected)
        {
            std::cerr << "check failed: " << what << "\nactual:\n" << qortest::describe(actual);
            m_failed = true;
        }
    }
    [[noreturn]] void finish() { std::_Exit(m_failed ? 1 : 0); }

private:
    bool m_failed = false;
};

// Runs body in a fresh process of this executable, where no store has been
// constructed yet.
#define IN_FRESH_PROCESS(...)                                                                      \
    do                                                                                             \
    {                                                                                              \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                            \
        EXPECT_EXIT(                                                                               \
            {                                                                                      \
                ChildChecks check;                                                                 \
                __VA_ARGS__;                                                                       \
                check.finish();                                                                    \
            },                                                                                     \
            ::testing::ExitedWithCode(0), "");                                                     \
    } while (0)

// A folder shared by the children of one test, to compare what they saw.
std::filesystem::path sharedFolder()
{
    if (const char* existing = std::getenv("QOR_TEST_SHARED_FOLDER"))
        return existing;
    std::string pattern = (std::filesystem::temp_directory_path() / "qorshared-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    ::setenv("QOR_TEST_SHARED_FOLDER", pattern.c_str(), 1);
    return pattern;
}

void saveText(const std::filesystem::path& file, const std::wstring& text)
{
    std::string narrow;
    for (const wchar_t c : text)
        narrow.push_back(static_cast<char>(c)); // the built-in texts are ASCII
    writeBytes(file, narrow);
}

bool containsBytes(const std::string& haystack, const std::string& needle)
{
    return haystack.find(needle) != std::string::npos;
}

std::string encodedAs(const std::wstring& text, std::size_t unitBytes)
{
    std::string bytes;
    for (const wchar_t c : text)
    {
        bytes.push_back(static_cast<char>(c));
        bytes.append(unitBytes - 1, '\0');
    }
    return bytes;
}
} // namespace

TEST(IniFileToolsRead, FileValueOverloadingAnInternalValueIsWarnedInOrder)
{
    const TempWorkDir dir;
    writeBytes("UpdInter.ini", "[KARVO]\nLanguage=DE\n");
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L""), L"DE");
    const std::vector<LogEvent> expected = {warn(L"Configuration file overload an internal value"),
                                            warn(L"File: .\\UpdInter.ini"), warn(L"Section: KARVO"),
                                            warn(L"Key: Language"), warn(L"Value: EN")};
    EXPECT_EQ(logEvents(log), expected) << qortest::describe(logEvents(log));
}

TEST(IniFileToolsRead, AnOverriddenPasswordIsWarnedWithAMaskNotItsValue)
{
    const TempWorkDir dir;
    writeBytes("UpdInter.ini", "[KARVO]\nNotesPswd=company-secret\n");
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_NOTES_PSWD, L""),
              L"company-secret");
    const std::vector<LogEvent> warnings = eventsAt(logEvents(log), "WARN");
    ASSERT_EQ(warnings.size(), 5U) << qortest::describe(logEvents(log));
    EXPECT_EQ(warnings[3], warn(L"Key: NotesPswd"));
    EXPECT_EQ(warnings[4], warn(L"Value: ********"));
}

TEST(IniFileToolsRead, SameValueAsTheInternalOneOrAMissingKeyLogsNothing)
{
    const TempWorkDir dir;
    writeBytes("UpdInter.ini", "[KARVO]\nLanguage=EN\n");
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L"xx"), L"EN");
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEEP_ARCHIVES, L""), L"1");
    // a file value that differs from the caller's default is no overload
    writeBytes("QorDownloader.ini", "[UPDATE]\nTarget=/srv/target\n");
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET, L"dflt"), L"/srv/target");
    EXPECT_TRUE(logEvents(log).empty()) << qortest::describe(logEvents(log));
}

TEST(IniFileToolsRead, EmptyEntryKeepsTheInternalValueAndTracesWithoutValue)
{
    const TempWorkDir dir;
    writeBytes("UpdInter.ini", "[KARVO]\nLanguage=\n");
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L""), L"EN");
    const std::vector<LogEvent> expected = {trace(L"Empty value in configuration file"),
                                            trace(L"File: .\\UpdInter.ini"),
                                            trace(L"Section: KARVO"), trace(L"Key: Language")};
    EXPECT_EQ(logEvents(log), expected) << qortest::describe(logEvents(log));

    // an empty entry never replaces the caller's default either
    writeBytes("QorDownloader.ini", "[CONFIG]\nDestPath=\n");
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_CONFIG, KEY_DEST_PATH, L"dflt"), L"dflt");
}

TEST(IniFileToolsRead, UnreadableFileIsWarnedWithItsErrorAndKeepsTheValue)
{
    const TempWorkDir dir;
    std::filesystem::create_directory("UpdInter.ini");
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L""), L"EN");
    const std::vector<LogEvent> expected = {
        warn(L"Configuration file error during reading: " + std::to_wstring(EISDIR)),
        warn(L"File: .\\UpdInter.ini"), warn(L"Section: KARVO"), warn(L"Key: Language"),
        warn(L"Value: EN")};
    EXPECT_EQ(logEvents(log), expected) << qortest::describe(logEvents(log));
}

TEST(IniFileToolsRead, AbsentKeyWithEmptyDefaultIsReportedAsNotFound)
{
    const TempWorkDir dir;
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, L""), L"");
    const std::vector<LogEvent> warnings = eventsAt(logEvents(log), "WARN");
    ASSERT_EQ(warnings.size(), 5u) << qortest::describe(logEvents(log));
    EXPECT_EQ(warnings[0], warn(L"Configuration file error during reading: 2"));
    EXPECT_EQ(warnings[4], warn(L"Value: "));
}

TEST(IniFileToolsRead, TableLookupIsExactButFileLookupIsNot)
{
    const TempWorkDir dir;
    writeBytes("UpdInter.ini", "[KARVO]\nOther=1\n");
    C_IniFileTools store;
    // another spelling of the same file, section or key finds no internal value
    EXPECT_EQ(store.getWstring(L"UpdInter.ini", SECTION_KARVO, KEY_LANGUAGE, L"dflt"), L"dflt");
    EXPECT_EQ(store.getWstring(L"./UpdInter.ini", SECTION_KARVO, KEY_LANGUAGE, L"dflt"), L"dflt");
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, L"karvo", KEY_LANGUAGE, L"dflt"), L"dflt");
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, L"language", L"dflt"), L"dflt");
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L"dflt"), L"EN");
    // while the file's names match whatever their case
    writeBytes("UpdInter.ini", "[karvo]\nlanguage=FR\n");
    EXPECT_EQ(store.getWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L""), L"FR");
}

TEST(IniFileToolsRead, LongFileValueIsCutTo1023Units)
{
    const TempWorkDir dir;
    writeBytes("QorDownloader.ini", "[UPDATE]\nVersion=" + std::string(1500, '7') + "\n");
    C_IniFileTools store;
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_UPDATE, KEY_VERSION, L""),
              std::wstring(1023, L'7'));
}

TEST(IniFileToolsRead, FilesAreReadAfreshOnEveryCall)
{
    const TempWorkDir dir;
    C_IniFileTools store;
    writeBytes("QorDownloader.ini", "[UPDATE]\nTarget=one\n");
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET, L""), L"one");
    writeBytes("QorDownloader.ini", "[UPDATE]\nTarget=two\n");
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET, L""), L"two");
}

TEST(IniFileToolsWrite, WriteTracesItsArgumentsAndCreatesAnOwnerOnlyFile)
{
    const TempWorkDir dir;
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_TRUE(store.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, L"alice"));
    const std::vector<LogEvent> expected = {trace(L"File: .\\QorDownloader.ini"),
                                            trace(L"Section: PROXY"), trace(L"Key: UserProxy"),
                                            trace(L"Value: alice")};
    EXPECT_EQ(logEvents(log), expected) << qortest::describe(logEvents(log));

    struct stat info
    {
    };
    ASSERT_EQ(::stat("QorDownloader.ini", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, L""), L"alice");
}

TEST(IniFileToolsWrite, CredentialsGoIntoAnExistingFileWithoutDisturbingIt)
{
    const TempWorkDir dir;
    const std::string before = "; deployed by the installer\n[CONFIG]\nMode=NETWORK\n\n"
                               "[UPDATE]\nTarget=/srv/t\n";
    writeBytes("QorDownloader.ini", before);
    C_IniFileTools store;
    ASSERT_TRUE(store.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, L"alice"));
    ASSERT_TRUE(store.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY, L"0a1b"));
    EXPECT_EQ(readBytes("QorDownloader.ini"),
              before + "[PROXY]\nUserProxy=alice\nPswdProxy=0a1b\n");
}

TEST(IniFileToolsWrite, AStoredPasswordFirstMakesAnExistingFileOwnerOnly)
{
    const TempWorkDir dir;
    const std::string before = "[CONFIG]\nMode=NETWORK\n";
    writeBytes("QorDownloader.ini", before);
    ASSERT_EQ(::chmod("QorDownloader.ini", 0644), 0);
    C_IniFileTools store;
    const LogCapture log;
    ASSERT_TRUE(store.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY, L"0a1b"));
    struct stat info
    {
    };
    ASSERT_EQ(::stat("QorDownloader.ini", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::getuid());
    EXPECT_EQ(readBytes("QorDownloader.ini"), before + "[PROXY]\nPswdProxy=0a1b\n");
    const std::vector<LogEvent> expected = {
        trace(L"File: .\\QorDownloader.ini"), trace(L"Section: PROXY"), trace(L"Key: PswdProxy"),
        trace(L"Value: ********"),
        warn(L"Configuration file made readable by its owner only before a password is stored "
             L"in it (mode was 0644): .\\QorDownloader.ini")};
    EXPECT_EQ(logEvents(log), expected) << qortest::describe(logEvents(log));
}

TEST(IniFileToolsWrite, ReadOnlyFileFailsWithWarningsAndKeepsTheOldValue)
{
    const TempWorkDir dir;
    writeBytes("QorDownloader.ini", "[PROXY]\nUserProxy=alice\n");
    ASSERT_EQ(::chmod("QorDownloader.ini", 0444), 0);
    C_IniFileTools store;
    const LogCapture log;
    EXPECT_FALSE(store.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, L"bob"));
    const std::vector<LogEvent> expected = {
        warn(L"Configuration file error during writing: " + std::to_wstring(EACCES)),
        warn(L"File: .\\QorDownloader.ini"), warn(L"Section: PROXY"), warn(L"Key: UserProxy"),
        warn(L"Value: bob")};
    EXPECT_EQ(eventsAt(logEvents(log), "WARN"), expected) << qortest::describe(logEvents(log));
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, L""), L"alice");
}

TEST(IniFileToolsTable, BuiltInTextsAreRestoredWithinTheirLengths)
{
    const TempWorkDir dir;
    const auto isPrintableAscii = [](const std::wstring& text)
    {
        for (const wchar_t c : text)
        {
            if (c < 0x21 || c > 0x7E)
                return false;
        }
        return !text.empty();
    };
    const std::wstring url = internalValue(KEY_URL);
    const std::wstring statsUrl = internalValue(KEY_STATS_URL);
    EXPECT_EQ(url.rfind(L"https://", 0), 0u);
    EXPECT_EQ(statsUrl.rfind(L"https://", 0), 0u);
    EXPECT_LE(url.size(), 34u);
    EXPECT_LE(statsUrl.size(), 46u);
    EXPECT_LE(internalValue(KEY_KEY).size(), 32u);
    EXPECT_LE(internalValue(KEY_PRODUCT_CODE).size(), 36u);
    EXPECT_LE(internalValue(KEY_NOTES_PSWD).size(), 44u);
    for (const wchar_t* key : {KEY_URL, KEY_STATS_URL, KEY_KEY, KEY_PRODUCT_CODE, KEY_NOTES_PSWD})
        EXPECT_TRUE(isPrintableAscii(internalValue(key))) << "key " << key;
    EXPECT_EQ(internalValue(KEY_LANGUAGE), L"EN");
    EXPECT_EQ(internalValue(KEY_KEEP_ARCHIVES), L"1");
    // nothing is built for the own file
    C_IniFileTools store;
    EXPECT_EQ(store.getWstring(OWN_INI_FILE, SECTION_KARVO, KEY_LANGUAGE, L"dflt"), L"dflt");
}

TEST(IniFileToolsTable, BuiltInTextsDoNotStandInTheExecutable)
{
    const TempWorkDir dir;
    const std::string image = readBytes("/proc/self/exe");
    ASSERT_GT(image.size(), 100000u);
    for (const wchar_t* key : {KEY_URL, KEY_STATS_URL, KEY_KEY, KEY_PRODUCT_CODE, KEY_NOTES_PSWD})
    {
        const std::wstring text = internalValue(key);
        ASSERT_FALSE(text.empty());
        for (const std::size_t unitBytes : {1u, 2u, 4u})
            EXPECT_FALSE(containsBytes(image, encodedAs(text, unitBytes)))
                << "plain text of a built-in value in the executable, " << unitBytes
                << "-byte units";
    }
}

TEST(IniFileToolsMode, NoOwnFileMeansNetworkModeLoggedOnce)
{
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        const LogCapture log;
        C_IniFileTools first;
        C_IniFileTools second;
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Network mode: NETWORK")},
                     "mode events");
        check.equal(internalValue(KEY_APPLICATION), std::wstring(L"0_NETWORK_0_EN"), "Application");
    });
}

TEST(IniFileToolsMode, EmptyModeEntryIsNetworkMode)
{
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=\n");
        const LogCapture log;
        C_IniFileTools store;
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Network mode: NETWORK")},
                     "mode events");
        check.events(eventsAt(logEvents(log), "TRACE"),
                     {trace(L"Empty value in configuration file"),
                      trace(L"File: .\\QorDownloader.ini"), trace(L"Section: CONFIG"),
                      trace(L"Key: Mode")},
                     "empty Mode entry");
        check.equal(internalValue(KEY_APPLICATION), std::wstring(L"0_NETWORK_0_EN"), "Application");
    });
}

TEST(IniFileToolsMode, EachRunModeSelectsItsOwnPassword)
{
    const std::filesystem::path shared = sharedFolder();
    ASSERT_FALSE(shared.empty());
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        saveText(sharedFolder() / "network", internalValue(KEY_NOTES_PSWD));
    });
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=TEST\n");
        const LogCapture log;
        C_IniFileTools store;
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Test mode")}, "mode events");
        check.equal(internalValue(KEY_APPLICATION), std::wstring(L"0_TEST_0_EN"), "Application");
        saveText(sharedFolder() / "test", internalValue(KEY_NOTES_PSWD));
    });
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=FIELDTEST\n");
        const LogCapture log;
        C_IniFileTools store;
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Field test mode")}, "mode events");
        check.equal(internalValue(KEY_APPLICATION), std::wstring(L"0_FIELDTEST_0_EN"),
                    "Application");
        saveText(sharedFolder() / "fieldtest", internalValue(KEY_NOTES_PSWD));
    });
    // the word in lower case is not the mode: network password, text unchanged
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=fieldtest\n");
        const LogCapture log;
        C_IniFileTools store;
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Network mode: fieldtest")},
                     "mode events");
        check.equal(internalValue(KEY_APPLICATION), std::wstring(L"0_fieldtest_0_EN"),
                    "Application");
        saveText(sharedFolder() / "lowercase", internalValue(KEY_NOTES_PSWD));
    });
    const std::string network = readBytes(shared / "network");
    const std::string test = readBytes(shared / "test");
    const std::string fieldTest = readBytes(shared / "fieldtest");
    EXPECT_FALSE(network.empty());
    EXPECT_FALSE(test.empty());
    EXPECT_FALSE(fieldTest.empty());
    EXPECT_NE(network, test);
    EXPECT_NE(network, fieldTest);
    EXPECT_NE(test, fieldTest);
    EXPECT_EQ(readBytes(shared / "lowercase"), network);
    std::filesystem::remove_all(shared);
    ::unsetenv("QOR_TEST_SHARED_FOLDER");
}

TEST(IniFileToolsMode, FirstConstructionFixesTheModeForTheProcess)
{
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=TEST\n");
        const LogCapture log;
        C_IniFileTools first;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=FIELDTEST\n");
        C_IniFileTools second;
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Test mode")}, "mode events");
        check.equal(internalValue(KEY_APPLICATION), std::wstring(L"0_TEST_0_EN"), "Application");
        // the file is read afresh, the table is not
        check.equal(second.getWstring(OWN_INI_FILE, SECTION_CONFIG, KEY_MODE, L""),
                    std::wstring(L"FIELDTEST"), "Mode read afresh");
    });
}

TEST(IniFileToolsMode, ConcurrentFirstConstructionsBuildTheTableOnce)
{
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=TEST\n");
        const LogCapture log;
        std::vector<std::thread> threads;
        std::vector<std::wstring> applications(8);
        for (std::size_t i = 0; i < applications.size(); ++i)
        {
            threads.emplace_back([&applications, i]
                                 { applications[i] = internalValue(KEY_APPLICATION); });
        }
        for (std::thread& thread : threads)
            thread.join();
        check.events(eventsAt(logEvents(log), "INFO"), {info(L"Test mode")}, "mode events");
        for (const std::wstring& application : applications)
            check.equal(application, std::wstring(L"0_TEST_0_EN"), "Application on every thread");
    });
}

TEST(IniFileToolsMode, HostileModeValueIsCutAndHarmless)
{
    IN_FRESH_PROCESS({
        const TempWorkDir dir;
        writeBytes("QorDownloader.ini", "[CONFIG]\nMode=" + std::string(5000, 'M') + "\n");
        const LogCapture log;
        C_IniFileTools store;
        // the Mode entry is cut on reading; the value built from it is not
        // cut again, nor reported as overloaded, when UpdInter.ini lacks it
        check.equal(internalValue(KEY_APPLICATION), L"0_" + std::wstring(1023, L'M') + L"_0_EN",
                    "Application");
        check.events(eventsAt(logEvents(log), "WARN"), {}, "warnings");
    });
}

// The binding against real shared libraries built for these tests: which
// file is loaded, what a broken or missing library leaves behind, and what
// is logged.
#include "updclient/UpdInterFct.h"
#include "LogCapture.h"
#include "config/C_IniFileTools.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using qortest::LogCapture;

namespace
{
bool isLoadedInProcess(const std::string& path)
{
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
    {
        return false;
    }
    ::dlclose(handle);
    return true;
}

int variantOf(const UpdInterFct& binding)
{
    std::int32_t result = 0;
    binding.getResultUpdInter(&result);
    return result;
}

size_t countLevel(const LogCapture& log, const std::string& level)
{
    size_t count = 0;
    for (const qortest::CapturedEvent& line : log.events())
    {
        count += line.level == level ? 1u : 0u;
    }
    return count;
}

// Each test runs in a fresh working folder holding its own QorDownloader.ini.
class UpdInterFctTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "updclient-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
        m_previous = fs::current_path();
        fs::current_path(m_folder);
        // the store's first construction in the process logs the run mode;
        // have that behind us before any capture starts
        C_IniFileTools store;
    }
    void TearDown() override
    {
        fs::current_path(m_previous);
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    void writeClientLibrary(const std::string& name)
    {
        std::ofstream ini(m_folder / "QorDownloader.ini");
        ini << "[CONFIG]\nClientLibrary=" << name << "\n";
    }

    fs::path m_folder;
    fs::path m_previous;
};
} // namespace

TEST_F(UpdInterFctTest, LoadsALibraryWithAllNineEntryPointsAndFreesIt)
{
    writeClientLibrary(FAKE_FULL_PATH);
    LogCapture log;
    UpdInterFct binding;

    ASSERT_TRUE(binding.initAndLoadLibrary()) << log.text();
    EXPECT_TRUE(binding.isLoaded());
    for (const void* entry : {reinterpret_cast<const void*>(binding.initUpdInterEx),
                              reinterpret_cast<const void*>(binding.closeUpdInter),
                              reinterpret_cast<const void*>(binding.getVersionCount),
                              reinterpret_cast<const void*>(binding.getVersionInfo),
                              reinterpret_cast<const void*>(binding.downloadUntil),
                              reinterpret_cast<const void*>(binding.closeDownload),
                              reinterpret_cast<const void*>(binding.getStatusUpdInter),
                              reinterpret_cast<const void*>(binding.getResultUpdInter),
                              reinterpret_cast<const void*>(binding.getResultUpdInterEx)})
    {
        EXPECT_NE(entry, nullptr);
    }
    EXPECT_EQ(variantOf(binding), 1);
    std::int32_t count = -1;
    binding.getVersionCount(&count);
    EXPECT_EQ(count, 1) << "getVersionCount must be bound to its own export";

    ASSERT_EQ(log.events().size(), 1u) << log.text();
    EXPECT_EQ(log.events()[0].level, "INFO");
    EXPECT_EQ(log.events()[0].message, std::string("Update client library: ") + FAKE_FULL_PATH);

    EXPECT_TRUE(binding.freeLibrary());
    EXPECT_FALSE(binding.isLoaded());
    EXPECT_FALSE(isLoadedInProcess(FAKE_FULL_PATH));
    EXPECT_TRUE(binding.freeLibrary()) << "a second free finds nothing loaded";
}

TEST_F(UpdInterFctTest, DestructionFreesTheLibrary)
{
    writeClientLibrary(FAKE_FULL_PATH);
    {
        UpdInterFct binding;
        ASSERT_TRUE(binding.initAndLoadLibrary());
        ASSERT_TRUE(isLoadedInProcess(FAKE_FULL_PATH));
    }
    EXPECT_FALSE(isLoadedInProcess(FAKE_FULL_PATH));
}

TEST_F(UpdInterFctTest, LibraryLackingOneExportIsNotKeptLoaded)
{
    writeClientLibrary(FAKE_EIGHT_PATH);
    LogCapture log;
    UpdInterFct binding;

    EXPECT_FALSE(binding.initAndLoadLibrary());
    EXPECT_FALSE(binding.isLoaded());
    EXPECT_FALSE(isLoadedInProcess(FAKE_EIGHT_PATH));
    EXPECT_EQ(binding.downloadUntil, nullptr);

    const auto lines = log.events();
    ASSERT_EQ(lines.size(), 2u) << log.text();
    EXPECT_EQ(lines[1].level, "ERROR");
    EXPECT_EQ(lines[1].message, "GetProcAddress error");
    EXPECT_TRUE(binding.freeLibrary());
}

TEST_F(UpdInterFctTest, MissingLibraryLogsLoadLibraryErrorAndItsReason)
{
    const std::string missing = (m_folder / "nowhere" / "libMissing.so").string();
    writeClientLibrary(missing);
    LogCapture log;
    UpdInterFct binding;

    EXPECT_FALSE(binding.initAndLoadLibrary());
    EXPECT_FALSE(binding.isLoaded());
    const auto lines = log.events();
    ASSERT_EQ(lines.size(), 3u) << log.text();
    EXPECT_EQ(lines[1].level, "ERROR");
    EXPECT_EQ(lines[1].message, "LoadLibrary error: 126");
    EXPECT_EQ(lines[2].level, "ERROR");
    EXPECT_NE(lines[2].message.find("libMissing.so"), std::string::npos) << lines[2].message;
}

TEST_F(UpdInterFctTest, NotALibraryIsRefusedCleanly)
{
    const fs::path bogus = m_folder / "libBogus.so";
    std::ofstream(bogus) << "this is not an ELF file";
    writeClientLibrary(bogus.string());
    LogCapture log;
    UpdInterFct binding;

    EXPECT_FALSE(binding.initAndLoadLibrary());
    EXPECT_FALSE(binding.isLoaded());
    EXPECT_EQ(countLevel(log, "ERROR"), 2u) << log.text();
}

TEST_F(UpdInterFctTest, FreeLibraryWithNothingLoadedReturnsTrueAndLogsNothing)
{
    LogCapture log;
    UpdInterFct binding;
    EXPECT_TRUE(binding.freeLibrary());
    EXPECT_TRUE(log.events().empty()) << log.text();
}

TEST_F(UpdInterFctTest, WithoutTheKeyTheDefaultNameIsUsed)
{
    std::ofstream(m_folder / "QorDownloader.ini") << "[CONFIG]\nMode=NETWORK\n";
    LogCapture log;
    UpdInterFct binding;
    binding.initAndLoadLibrary();
    ASSERT_FALSE(log.events().empty());
    EXPECT_EQ(log.events()[0].message, "Update client library: libPelvane.so");
}

TEST_F(UpdInterFctTest, PlainNameIsLookedForBesideTheExecutableFirst)
{
    // The same file name is also on LD_LIBRARY_PATH (set by the test
    // registration) with a different variant behind it.
    writeClientLibrary(FAKE_SEARCH_NAME);
    UpdInterFct binding;
    ASSERT_TRUE(binding.initAndLoadLibrary());
    EXPECT_EQ(variantOf(binding), 1);
}

TEST_F(UpdInterFctTest, PlainNameFallsBackToTheStandardSearch)
{
    writeClientLibrary(FAKE_ELSEWHERE_NAME);
    UpdInterFct binding;
    ASSERT_TRUE(binding.initAndLoadLibrary());
    EXPECT_EQ(variantOf(binding), 3);
}

TEST_F(UpdInterFctTest, NonAsciiPathIsPassedInTheLocaleCharacterSet)
{
    const fs::path folder = m_folder / "bibliothèque ü";
    fs::create_directories(folder);
    fs::copy_file(FAKE_FULL_PATH, folder / "libFake.so");
    writeClientLibrary((folder / "libFake.so").string());
    UpdInterFct binding;
    ASSERT_TRUE(binding.initAndLoadLibrary());
    EXPECT_EQ(variantOf(binding), 1);
}

int main(int argc, char** argv)
{
    // The program runs with the user's locale; these tests with UTF-8.
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// File versions read from ELF version notes, and the program's string table.
#include "ElfImage.h"
#include "LogCapture.h"
#include "TempFolder.h"

#include "platform/ExecutablePath.h"
#include "platform/LastError.h"
#include "tools/C_WindowsTools.h"
#include "tools/ElfVersionReader.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using qortest::buildElfImage;
using qortest::ElfImageOptions;
using Lines = std::vector<std::string>;

class VersionRecord : public ::testing::Test
{
protected:
    // The version text of a file built from options, or "failed".
    std::wstring versionOf(const qortest::ElfImage& image)
    {
        const std::string path = (m_folder / "image.elf").string();
        EXPECT_TRUE(qortest::writeFile(path, image.bytes));
        std::wstring version = L"failed";
        C_WindowsTools().getVersionString(std::wstring(path.begin(), path.end()), version);
        return version;
    }
    std::wstring versionOf(const ElfImageOptions& options)
    {
        return versionOf(buildElfImage(options));
    }

    qortest::TempFolder m_folder;
};

TEST_F(VersionRecord, OwnExecutableCarriesTheProjectVersion)
{
    const std::wstring self = platform::ExecutablePath::get();
    ASSERT_FALSE(self.empty());
    unsigned long versionMS = 0;
    unsigned long versionLS = 99;
    ASSERT_TRUE(C_WindowsTools().getVersionFromFile(self, versionMS, versionLS));
    EXPECT_EQ(versionMS, 0x00020000UL);
    EXPECT_EQ(versionLS, 0UL);
    std::wstring version;
    ASSERT_TRUE(C_WindowsTools().getVersionString(self, version));
    EXPECT_EQ(version, L"2.0.0.0");
}

TEST_F(VersionRecord, ReadsBothClassesInBothByteOrders)
{
    for (const bool is64 : {true, false})
    {
        for (const bool bigEndian : {false, true})
        {
            ElfImageOptions options;
            options.is64 = is64;
            options.bigEndian = bigEndian;
            EXPECT_EQ(versionOf(options), L"2.1.3.4") << is64 << bigEndian;
        }
    }
}

TEST_F(VersionRecord, PartsOfSeveralDigitsAreWrittenInFullWithoutLeadingZeros)
{
    ElfImageOptions options;
    options.versionMS = (10u << 16) | 0u;
    options.versionLS = (65535u << 16) | 0u;
    EXPECT_EQ(versionOf(options), L"10.0.65535.0");
    options.versionMS = (1u << 16) | 20u;
    options.versionLS = (300u << 16) | 4000u;
    EXPECT_EQ(versionOf(options), L"1.20.300.4000");
}

TEST_F(VersionRecord, FindsTheNoteAfterOthersInAnEightByteAlignedSection)
{
    ElfImageOptions options;
    options.noteAlignment = 8;
    EXPECT_EQ(versionOf(options), L"2.1.3.4");
}

TEST_F(VersionRecord, EachFailingStepIsLoggedWithItsCodeAndLeavesOutputsAlone)
{
    const std::string text = (m_folder / "plain.txt").string();
    ASSERT_TRUE(qortest::writeFile(text, {'h', 'e', 'l', 'l', 'o'}));
    ElfImageOptions noNote;
    noNote.withVersionNote = false;
    ElfImageOptions otherOwner;
    otherOwner.owner = "QorDownloadeR";
    ElfImageOptions badSignature;
    badSignature.signature = 0xFEEF04BE;
    ElfImageOptions shortRecord;
    shortRecord.descriptorSize = 8;

    struct Case
    {
        std::string name;
        std::string path;
        std::string expectedLine;
    };
    const auto imagePath = [&](const std::string& name, const ElfImageOptions& options)
    {
        const std::string path = (m_folder / name).string();
        EXPECT_TRUE(qortest::writeFile(path, buildElfImage(options).bytes));
        return path;
    };
    const std::vector<Case> cases = {
        {"missing file", (m_folder / "nothing.elf").string(),
         "WARN GetFileVersionInfoSize error: 2"},
        {"directory", m_folder.path().string(), "WARN GetFileVersionInfoSize error: 21"},
        {"not ELF", text, "WARN GetFileVersionInfoSize error: 8"},
        {"no version note", imagePath("none.elf", noNote), "WARN GetFileVersionInfoSize error: 61"},
        {"other owner", imagePath("owner.elf", otherOwner),
         "WARN GetFileVersionInfoSize error: 61"},
        {"bad signature", imagePath("sig.elf", badSignature), "WARN VerQueryValue error: 74"},
        {"short record", imagePath("short.elf", shortRecord), "WARN VerQueryValue error: 74"},
    };
    for (const auto& testCase : cases)
    {
        qortest::LogCapture capture;
        unsigned long versionMS = 77;
        unsigned long versionLS = 88;
        std::wstring version = L"keep";
        const std::wstring path(testCase.path.begin(), testCase.path.end());
        EXPECT_FALSE(C_WindowsTools().getVersionFromFile(path, versionMS, versionLS))
            << testCase.name;
        EXPECT_EQ(versionMS, 77UL) << testCase.name;
        EXPECT_EQ(versionLS, 88UL) << testCase.name;
        EXPECT_FALSE(C_WindowsTools().getVersionString(path, version)) << testCase.name;
        EXPECT_EQ(version, L"keep") << testCase.name;
        // one line from each call: getVersionString adds nothing of its own
        EXPECT_EQ(capture.lines(), (Lines{testCase.expectedLine, testCase.expectedLine}))
            << testCase.name;
    }
}

TEST_F(VersionRecord, FileThatShrinksAfterItWasLocatedFailsTheReadingStep)
{
    const auto image = buildElfImage(ElfImageOptions{});
    const std::string path = (m_folder / "shrinking.elf").string();
    ASSERT_TRUE(qortest::writeFile(path, image.bytes));
    ElfVersionReader reader;
    ASSERT_TRUE(reader.locate(path));
    EXPECT_EQ(reader.descriptorSize(), 52u);
    ASSERT_TRUE(qortest::writeFile(
        path, std::vector<unsigned char>(image.bytes.begin(), image.bytes.begin() + 100)));
    std::vector<unsigned char> descriptor;
    EXPECT_FALSE(reader.read(descriptor));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EIO));
    ::unlink(path.c_str());
    EXPECT_FALSE(reader.read(descriptor));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));
    EXPECT_TRUE(descriptor.empty());
}

TEST_F(VersionRecord, EveryTruncationFailsCleanly)
{
    for (const bool is64 : {true, false})
    {
        ElfImageOptions options;
        options.is64 = is64;
        const auto image = buildElfImage(options);
        for (std::size_t length = 0; length < image.bytes.size(); ++length)
        {
            qortest::ElfImage cut = image;
            cut.bytes.resize(length);
            EXPECT_EQ(versionOf(cut), L"failed") << "length " << length;
        }
        EXPECT_EQ(versionOf(image), L"2.1.3.4");
    }
}

TEST_F(VersionRecord, HostileFieldsFailCleanly)
{
    using Patch = std::function<void(qortest::ElfImage&)>;
    const std::vector<std::pair<std::string, Patch>> patches = {
        {"section table far beyond the end",
         [](auto& i) { i.put(i.sectionTableOffsetAt, 0xFFFFFFF0u, i.is64 ? 8 : 4); }},
        {"section table offset wraps",
         [](auto& i) { i.put(i.sectionTableOffsetAt, ~0ull, i.is64 ? 8 : 4); }},
        {"too many sections", [](auto& i) { i.put(i.sectionCountAt, 0xFFFF, 2); }},
        {"entry size too small", [](auto& i) { i.put(i.sectionEntrySizeAt, 4, 2); }},
        {"extended count, absurd",
         [](auto& i)
         {
             i.put(i.sectionCountAt, 0, 2);
             const std::size_t table = i.noteSectionHeaderAt - (i.is64 ? 64 : 40);
             i.put(table + (i.is64 ? 32 : 20), ~0ull, i.is64 ? 8 : 4);
         }},
        {"note section beyond the end",
         [](auto& i) { i.put(i.noteSectionOffsetField(), 0x7FFFFFF0u, i.is64 ? 8 : 4); }},
        {"note section size wraps",
         [](auto& i) { i.put(i.noteSectionSizeField(), ~0ull, i.is64 ? 8 : 4); }},
        {"name size huge", [](auto& i) { i.put(i.versionNoteAt, 0xFFFFFFFFu, 4); }},
        {"descriptor size huge", [](auto& i) { i.put(i.versionNoteAt + 4, 0xFFFFFFF0u, 4); }},
        {"descriptor size past the section", [](auto& i) { i.put(i.versionNoteAt + 4, 64, 4); }},
    };
    for (const bool is64 : {true, false})
    {
        ElfImageOptions options;
        options.is64 = is64;
        for (const auto& [name, patch] : patches)
        {
            auto image = buildElfImage(options);
            patch(image);
            EXPECT_EQ(versionOf(image), L"failed") << name << " is64=" << is64;
        }
    }
}

TEST_F(VersionRecord, RandomDamageNeverReadsOutOfBounds)
{
    // the sanitizer build turns any stray read into a failure here
    std::mt19937 random(20261208);
    const auto original = buildElfImage(ElfImageOptions{});
    int readBack = 0;
    for (int round = 0; round < 600; ++round)
    {
        auto image = original;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i)
        {
            image.bytes[random() % image.bytes.size()] = static_cast<unsigned char>(random());
        }
        const std::wstring version = versionOf(image);
        readBack += version == L"2.1.3.4" ? 1 : 0;
    }
    // damage in padding or the foreign note still leaves a readable record
    EXPECT_GT(readBack, 0);
}

TEST(StringTable, HoldsTheProgramTextsExactly)
{
    const std::vector<std::pair<unsigned int, std::wstring>> texts = {
        {135, L"QorDownloader"},
        {137, L"The application is already running !"},
        {139, L"Do you really want to download Orvane Installer ?"},
        {140, L"Download in progress. Please wait..."},
        {142, L"Do you really want to cancel the download ?"},
        {144, L"Download complete"},
        {145, L"Failed to download !"},
        {147, L"Please wait until the download stops..."},
        {149, L"Proxy address"},
        {150, L"Login"},
        {151, L"Password"},
    };
    qortest::LogCapture capture;
    for (const auto& [id, text] : texts)
    {
        EXPECT_EQ(C_WindowsTools::getUString(id, L""), text) << id;
    }
    for (const unsigned int placeholder : {136u, 138u, 141u, 143u, 146u, 148u})
    {
        EXPECT_NE(C_WindowsTools::getUString(placeholder, L"default"), L"default") << placeholder;
    }
    EXPECT_TRUE(capture.lines().empty());
}

TEST(StringTable, MissingIdGivesTheDefaultAndOneWarning)
{
    const std::wstring longDefault(5000, L'x');
    for (const unsigned int id : {0u, 134u, 152u, 800u, 0xFFFFFFFFu})
    {
        qortest::LogCapture capture;
        EXPECT_EQ(C_WindowsTools::getUString(id, longDefault), longDefault) << id;
        EXPECT_EQ(C_WindowsTools::getUString(id, L""), L"") << id;
        EXPECT_EQ(capture.lines(), (Lines{"WARN LoadString error: 0", "WARN LoadString error: 0"}))
            << id;
    }
}
} // namespace

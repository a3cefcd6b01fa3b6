// The INI profile layer: how values are found, cut and defaulted, how
// failures are told apart from empty values, and how a write changes
// exactly one line and never loses the file.
#include "platform/ProfileFile.h"
#include "FaultInjection.h"
#include "TestSupport.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::ProfileFile;
using qortest::FaultInjection;
using Call = platform::SystemCalls::Call;
using qortest::readBytes;
using qortest::TempWorkDir;
using qortest::writeBytes;

namespace
{
constexpr unsigned long BUFFER_UNITS = 1024;

struct Read
{
    unsigned long count;
    unsigned long lastError;
    std::wstring text; // the buffer up to its terminator
};

Read readProfile(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                 const std::wstring& defaultValue = L"")
{
    std::vector<wchar_t> buffer(BUFFER_UNITS, L'#');
    platform::setLastError(12345);
    const unsigned long count = platform::getPrivateProfileString(
        section, key, defaultValue, buffer.data(), BUFFER_UNITS, file);
    return Read{count, platform::getLastError(), std::wstring(buffer.data())};
}

std::optional<std::wstring> lookup(const std::string& bytes, const std::wstring& section,
                                   const std::wstring& key)
{
    return ProfileFile(bytes).value(section, key);
}

mode_t modeOf(const std::filesystem::path& file)
{
    struct stat info
    {
    };
    EXPECT_EQ(::stat(file.c_str(), &info), 0);
    return info.st_mode & 07777;
}

std::size_t entriesIn(const std::filesystem::path& folder)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}
} // namespace

TEST(ProfileLookup, NamesAreCaseInsensitiveAndTrimmed)
{
    const std::string ini = "[Proxy]\n  userPROXY  =   alice  \n[ other ]\nK = v\n";
    EXPECT_EQ(lookup(ini, L"PROXY", L"UserProxy"), L"alice");
    EXPECT_EQ(lookup(ini, L"proxy", L"userproxy"), L"alice");
    EXPECT_EQ(lookup(ini, L"OTHER", L"k"), L"v");
    EXPECT_EQ(lookup(ini, L"PROXY", L"K"), std::nullopt);
    EXPECT_EQ(lookup(ini, L"MISSING", L"K"), std::nullopt);
}

TEST(ProfileLookup, OnePairOfSurroundingQuotesIsRemoved)
{
    const std::string ini = "[S]\n"
                            "double=\" spaced \"\n"
                            "single='x'\n"
                            "nested=\"\"two\"\"\n"
                            "mismatched=\"x'\n"
                            "lone=\"\n"
                            "inner=a\"b\"c\n";
    EXPECT_EQ(lookup(ini, L"S", L"double"), L" spaced ");
    EXPECT_EQ(lookup(ini, L"S", L"single"), L"x");
    EXPECT_EQ(lookup(ini, L"S", L"nested"), L"\"two\"");
    EXPECT_EQ(lookup(ini, L"S", L"mismatched"), L"\"x'");
    EXPECT_EQ(lookup(ini, L"S", L"lone"), L"\"");
    EXPECT_EQ(lookup(ini, L"S", L"inner"), L"a\"b\"c");
}

TEST(ProfileLookup, CommentsStrayLinesAndKeysOutsideSectionsAreIgnored)
{
    const std::string ini = "Mode=outside\n"
                            "[CONFIG]\n"
                            ";Mode=commented\n"
                            "   ; Mode=indented comment\n"
                            "no equals sign here\n"
                            "=nameless\n"
                            "Mode=TEST\n";
    EXPECT_EQ(lookup(ini, L"CONFIG", L"Mode"), L"TEST");
    EXPECT_EQ(lookup(ini, L"CONFIG", L";Mode"), std::nullopt);
    EXPECT_EQ(lookup(ini, L"CONFIG", L""), std::nullopt);
}

TEST(ProfileLookup, FirstOfDuplicateKeysWinsAcrossRepeatedSections)
{
    const std::string ini = "[A]\nk=first\nk=second\n[B]\nj=b\n[a]\nk=third\nm=later\n";
    EXPECT_EQ(lookup(ini, L"A", L"k"), L"first");
    EXPECT_EQ(lookup(ini, L"A", L"m"), L"later");
}

TEST(ProfileLookup, EmptyValueIsPresentButEmpty)
{
    EXPECT_EQ(lookup("[S]\nk=\n", L"S", L"k"), L"");
    EXPECT_EQ(lookup("[S]\nk=  \"\"  \n", L"S", L"k"), L"");
}

TEST(ProfileEncoding, Utf8WithBomCrlfInvalidBytesAndNul)
{
    // BOM before the first section header, CRLF line ends
    const std::string bom = "\xEF\xBB\xBF[S]\r\nname=Zo\xC3\xAB\r\nk2=v2\r\n";
    EXPECT_EQ(lookup(bom, L"S", L"name"), L"Zo\u00EB");
    EXPECT_EQ(lookup(bom, L"S", L"k2"), L"v2");

    // a stray Latin-1 byte and a truncated sequence keep their values
    EXPECT_EQ(lookup("[S]\nk=caf\xE9\n", L"S", L"k"), L"caf\u00E9");
    EXPECT_EQ(lookup("[S]\nk=a\xE2\x82\n", L"S", L"k"), L"a\u00E2\u0082");
    // overlong and surrogate encodings are not decoded
    EXPECT_EQ(lookup("[S]\nk=\xC0\xAF\n", L"S", L"k"), L"\u00C0\u00AF");
    EXPECT_EQ(lookup("[S]\nk=\xED\xA0\x80\n", L"S", L"k"), L"\u00ED\u00A0\u0080");
    // a four-byte character
    EXPECT_EQ(lookup("[S]\nk=\xF0\x9F\x98\x80\n", L"S", L"k"), L"\U0001F600");

    // a NUL byte ends the value, the next line still reads
    const std::string withNul = std::string("[S]\nk=ab\0cd\nnext=ok\n", 21);
    EXPECT_EQ(lookup(withNul, L"S", L"k"), L"ab");
    EXPECT_EQ(lookup(withNul, L"S", L"next"), L"ok");
}

TEST(ProfileEncoding, UnterminatedLastLineAndLongLines)
{
    EXPECT_EQ(lookup("[S]\nk=last", L"S", L"k"), L"last");
    EXPECT_EQ(lookup("[S", L"S", L"k"), std::nullopt);
    const std::string longValue(1024 * 1024, 'x');
    EXPECT_EQ(lookup("[S]\nk=" + longValue + "\nj=after\n", L"S", L"j"), L"after");
    EXPECT_EQ(lookup("[S]\nk=" + longValue + "\n", L"S", L"k")->size(), longValue.size());
}

TEST(ProfileEncoding, BinaryGarbageNeitherCrashesNorHidesAWrittenKey)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 50; ++round)
    {
        std::string garbage(4096, '\0');
        for (char& c : garbage)
            c = static_cast<char>(random() & 0xFF);
        const ProfileFile file(garbage);
        (void)file.value(L"S", L"k");
        const std::optional<std::string> updated = file.withValue(L"PROXY", L"UserProxy", L"bob");
        ASSERT_TRUE(updated.has_value());
        EXPECT_EQ(ProfileFile(*updated).value(L"PROXY", L"UserProxy"), L"bob") << "round " << round;
    }
}

TEST(ProfileRead, CountAndDefaultFollowTheWindowsFunction)
{
    const TempWorkDir dir;
    writeBytes("a.ini", "[S]\nk=value\nempty=\n");

    Read read = readProfile(L"a.ini", L"S", L"k", L"dflt");
    EXPECT_EQ(read.count, 5u);
    EXPECT_EQ(read.text, L"value");
    EXPECT_EQ(read.lastError, 0u);

    read = readProfile(L"a.ini", L"S", L"missing", L"dflt");
    EXPECT_EQ(read.count, 4u);
    EXPECT_EQ(read.text, L"dflt");
    EXPECT_EQ(read.lastError, platform::PROFILE_ERROR_NOT_FOUND);

    read = readProfile(L"absent.ini", L"S", L"k", L"dflt");
    EXPECT_EQ(read.count, 4u);
    EXPECT_EQ(read.text, L"dflt");
    EXPECT_EQ(read.lastError, platform::PROFILE_ERROR_NOT_FOUND);

    // an empty value is not replaced by the default, and is not a failure
    read = readProfile(L"a.ini", L"S", L"empty", L"dflt");
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(read.text, L"");
    EXPECT_EQ(read.lastError, 0u);
}

TEST(ProfileRead, FailureIsToldApartFromAnEmptyValue)
{
    const TempWorkDir dir;
    std::filesystem::create_directory("folder.ini");
    Read read = readProfile(L"folder.ini", L"S", L"k", L"dflt");
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(read.text, L"");
    EXPECT_EQ(read.lastError, static_cast<unsigned long>(EISDIR));

    ASSERT_EQ(::mkfifo("fifo.ini", 0600), 0);
    read = readProfile(L"fifo.ini", L"S", L"k", L"dflt"); // must not block
    EXPECT_EQ(read.count, 0u);
    EXPECT_NE(read.lastError, 0u);

    // larger than any INI file: refused instead of read into memory
    {
        const int fd = ::open("huge.ini", O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(platform::PROFILE_MAX_FILE_BYTES + 1)), 0);
        ::close(fd);
    }
    read = readProfile(L"huge.ini", L"S", L"k", L"dflt");
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(read.lastError, static_cast<unsigned long>(EFBIG));
}

TEST(ProfileRead, UnreadableFileIsAFailure)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files without read permission";
    const TempWorkDir dir;
    writeBytes("locked.ini", "[S]\nk=v\n");
    ASSERT_EQ(::chmod("locked.ini", 0200), 0);
    const Read read = readProfile(L"locked.ini", L"S", L"k", L"dflt");
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(read.lastError, static_cast<unsigned long>(EACCES));
}

TEST(ProfileRead, CutAt1023Utf16UnitsWithoutSplittingACharacter)
{
    const TempWorkDir dir;
    writeBytes("long.ini", "[S]\nascii=" + std::string(1500, 'a') + "\n" +
                               // 1022 units, then a character of two units
                               "astral=" + std::string(1022, 'b') + "\xF0\x9F\x98\x80" + "\n" +
                               // 1021 units, then a character of two units: fits exactly
                               "fits=" + std::string(1021, 'c') + "\xF0\x9F\x98\x80" + "tail\n");

    Read read = readProfile(L"long.ini", L"S", L"ascii");
    EXPECT_EQ(read.count, 1023u);
    EXPECT_EQ(read.text, std::wstring(1023, L'a'));

    read = readProfile(L"long.ini", L"S", L"astral");
    EXPECT_EQ(read.count, 1022u);
    EXPECT_EQ(read.text, std::wstring(1022, L'b'));

    read = readProfile(L"long.ini", L"S", L"fits");
    EXPECT_EQ(read.count, 1022u); // 1021 + 1 wide characters = 1023 UTF-16 units
    EXPECT_EQ(read.text, std::wstring(1021, L'c') + L"\U0001F600");

    // the default is cut the same way
    read = readProfile(L"long.ini", L"S", L"missing", std::wstring(2000, L'd'));
    EXPECT_EQ(read.count, 1023u);
}

TEST(ProfileRead, BackslashInTheFixedNamesIsAPathSeparator)
{
    const TempWorkDir dir;
    writeBytes("QorDownloader.ini", "[CONFIG]\nMode=TEST\n");
    EXPECT_EQ(readProfile(L".\\QorDownloader.ini", L"CONFIG", L"Mode").text, L"TEST");
    EXPECT_EQ(platform::profilePath(L".\\UpdInter.ini"), "./UpdInter.ini");
}

TEST(ProfileWrite, ReplacingAValueKeepsEveryOtherByte)
{
    const TempWorkDir dir;
    const std::string before = "\xEF\xBB\xBF; settings\r\n"
                               "\r\n"
                               "[CONFIG]\r\n"
                               "Mode = TEST\r\n"
                               "\r\n"
                               "[PROXY]\r\n"
                               "  UserProxy = alice ; not a comment\r\n"
                               "PswdProxy=old\r\n"
                               "odd=\xE9\xFF\r\n"
                               "[UPDATE]\r\n"
                               "Target=/tmp/x";
    writeBytes("own.ini", before);
    ASSERT_TRUE(platform::writePrivateProfileString(L"proxy", L"pswdproxy", L"n3w", L"own.ini"));
    std::string expected = before;
    expected.replace(expected.find("PswdProxy=old"), 13, "PswdProxy=n3w");
    EXPECT_EQ(readBytes("own.ini"), expected);
    EXPECT_EQ(platform::getLastError(), 0u);

    ASSERT_TRUE(platform::writePrivateProfileString(L"PROXY", L"UserProxy", L"bob", L"own.ini"));
    expected.replace(expected.find("  UserProxy = alice ; not a comment"), 35, "  UserProxy =bob");
    EXPECT_EQ(readBytes("own.ini"), expected);
}

TEST(ProfileWrite, NewKeysAndSectionsGoWhereAReaderExpectsThem)
{
    const TempWorkDir dir;
    writeBytes("crlf.ini", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(platform::writePrivateProfileString(L"A", L"new", L"v", L"crlf.ini"));
    ASSERT_TRUE(platform::writePrivateProfileString(L"C", L"k", L"w", L"crlf.ini"));
    EXPECT_EQ(readBytes("crlf.ini"), "[A]\r\nx=1\r\nnew=v\r\n\r\n[B]\r\ny=2\r\n[C]\r\nk=w\r\n");

    writeBytes("nonl.ini", "[A]\nx=1");
    ASSERT_TRUE(platform::writePrivateProfileString(L"A", L"y", L"2", L"nonl.ini"));
    EXPECT_EQ(readBytes("nonl.ini"), "[A]\nx=1\ny=2");
    ASSERT_TRUE(platform::writePrivateProfileString(L"B", L"z", L"3", L"nonl.ini"));
    EXPECT_EQ(readBytes("nonl.ini"), "[A]\nx=1\ny=2\n[B]\nz=3\n");

    // a carriage return alone does not end a line
    writeBytes("cr.ini", "[PROXY]\r");
    ASSERT_TRUE(platform::writePrivateProfileString(L"PROXY", L"UserProxy", L"u", L"cr.ini"));
    EXPECT_EQ(readProfile(L"cr.ini", L"PROXY", L"UserProxy").text, L"u");

    writeBytes("cr2.ini", "[CONFIG]\r\nMode =\r");
    ASSERT_TRUE(platform::writePrivateProfileString(L"PROXY", L"UserProxy", L"u", L"cr2.ini"));
    EXPECT_EQ(readBytes("cr2.ini"), "[CONFIG]\r\nMode =\r\n[PROXY]\r\nUserProxy=u\r\n");

    writeBytes("header.ini", "[PROXY]");
    ASSERT_TRUE(platform::writePrivateProfileString(L"PROXY", L"UserProxy", L"u", L"header.ini"));
    EXPECT_EQ(readBytes("header.ini"), "[PROXY]\nUserProxy=u");
}

TEST(ProfileWrite, ValuesReadBackExactly)
{
    const TempWorkDir dir;
    const std::vector<std::wstring> values = {
        L"",      L"  lead and trail  ",     L"\"quoted\"",  L"'single'",
        L"a=b;c", L"\u00E9\u4E2D\U0001F600", L"tab\tinside", L"\""};
    for (const std::wstring& value : values)
    {
        ASSERT_TRUE(platform::writePrivateProfileString(L"S", L"k", value, L"v.ini"));
        EXPECT_EQ(readProfile(L"v.ini", L"S", L"k", L"dflt").text, value);
    }
}

TEST(ProfileWrite, TextThatWouldInjectLinesIsRefused)
{
    const TempWorkDir dir;
    writeBytes("own.ini", "[PROXY]\nUserProxy=alice\n");
    const std::string before = readBytes("own.ini");
    EXPECT_FALSE(platform::writePrivateProfileString(L"PROXY", L"UserProxy",
                                                     L"x\n[CONFIG]\nMode=TEST", L"own.ini"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    EXPECT_FALSE(platform::writePrivateProfileString(L"PROXY", L"User=Proxy", L"x", L"own.ini"));
    EXPECT_FALSE(platform::writePrivateProfileString(L"PRO]XY", L"UserProxy", L"x", L"own.ini"));
    EXPECT_FALSE(platform::writePrivateProfileString(L"PROXY", L"", L"x", L"own.ini"));
    EXPECT_FALSE(
        platform::writePrivateProfileString(L"PROXY", std::wstring(L"a\0b", 3), L"x", L"own.ini"));
    EXPECT_EQ(readBytes("own.ini"), before);
}

TEST(ProfileWrite, CreatedFileIsOwnerOnlyAndExistingModeIsKept)
{
    const TempWorkDir dir;
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(platform::writePrivateProfileString(L"PROXY", L"PswdProxy", L"abc", L"new.ini"));
    ::umask(oldMask);
    EXPECT_EQ(modeOf("new.ini"), 0600u);
    EXPECT_EQ(readBytes("new.ini"), "[PROXY]\nPswdProxy=abc\n");

    writeBytes("shared.ini", "[S]\nk=1\n");
    ASSERT_EQ(::chmod("shared.ini", 0640), 0);
    ASSERT_TRUE(platform::writePrivateProfileString(L"S", L"k", L"2", L"shared.ini"));
    EXPECT_EQ(modeOf("shared.ini"), 0640u);
    // no temporary file is left beside it
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

TEST(ProfileWrite, ReadOnlyFileIsLeftIntact)
{
    const TempWorkDir dir;
    writeBytes("ro.ini", "[PROXY]\nUserProxy=alice\n");
    ASSERT_EQ(::chmod("ro.ini", 0444), 0);
    EXPECT_FALSE(platform::writePrivateProfileString(L"PROXY", L"UserProxy", L"bob", L"ro.ini"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EACCES));
    EXPECT_EQ(readBytes("ro.ini"), "[PROXY]\nUserProxy=alice\n");
    EXPECT_EQ(modeOf("ro.ini"), 0444u);
}

TEST(ProfileWrite, FolderInPlaceOfTheFileOrMissingFolderFails)
{
    const TempWorkDir dir;
    std::filesystem::create_directory("folder.ini");
    EXPECT_FALSE(platform::writePrivateProfileString(L"S", L"k", L"v", L"folder.ini"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EISDIR));
    EXPECT_FALSE(platform::writePrivateProfileString(L"S", L"k", L"v", L"no/such/folder.ini"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));
    EXPECT_TRUE(std::filesystem::is_directory("folder.ini"));
}

ino_t inodeOf(const std::filesystem::path& file)
{
    struct stat info
    {
    };
    EXPECT_EQ(::stat(file.c_str(), &info), 0);
    return info.st_ino;
}

TEST(ProfileWrite, ReadOnlyFolderWithAWritableFileIsRewrittenInPlace)
{
    const TempWorkDir dir;
    std::filesystem::create_directory("locked");
    writeBytes("locked/own.ini", "[S]\nk=old\nother=kept\n");
    ASSERT_EQ(::chmod("locked/own.ini", 0640), 0);
    const ino_t before = inodeOf("locked/own.ini");
    {
        // the folder refuses the temporary file, as a read-only folder does
        // (root is not stopped by the permission bits, the hook stops anyone)
        FaultInjection faults(FaultInjection::fail(Call::Open, EACCES, "XXXXXX"));
        EXPECT_TRUE(platform::writePrivateProfileString(L"S", L"k", L"a much longer new value",
                                                        L"locked/own.ini"));
        EXPECT_TRUE(platform::writePrivateProfileString(L"S", L"k", L"n", L"locked/own.ini"));
    }
    EXPECT_EQ(readBytes("locked/own.ini"), "[S]\nk=n\nother=kept\n");
    EXPECT_EQ(inodeOf("locked/own.ini"), before);
    EXPECT_EQ(modeOf("locked/own.ini"), 0640u);
    EXPECT_EQ(entriesIn("locked"), 1u);

    if (::geteuid() != 0)
    {
        // and with real permission bits
        ASSERT_EQ(::chmod("locked", 0500), 0);
        EXPECT_TRUE(platform::writePrivateProfileString(L"S", L"k", L"bits", L"locked/own.ini"));
        ASSERT_EQ(::chmod("locked", 0700), 0);
        EXPECT_EQ(readBytes("locked/own.ini"), "[S]\nk=bits\nother=kept\n");
    }
}

TEST(ProfileWrite, FailedRewriteInPlacePutsTheOldBytesBack)
{
    const TempWorkDir dir;
    const std::string old = "[S]\nk=a rather long old value\n";
    writeBytes("own.ini", old);
    int syncs = 0;
    FaultInjection faults(
        [&syncs](Call call, const std::string& path)
        {
            if (call == Call::Open && path.find("XXXXXX") != std::string::npos)
                return EACCES;
            // the flush of the new bytes fails; the one after the restore works
            return call == Call::Sync && ++syncs == 1 ? EIO : 0;
        });
    EXPECT_FALSE(platform::writePrivateProfileString(L"S", L"k", L"short", L"own.ini"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EIO));
    EXPECT_EQ(readBytes("own.ini"), old);
}

TEST(ProfileWrite, FolderThatRefusesANewFileFailsWithItsError)
{
    const TempWorkDir dir;
    FaultInjection faults(FaultInjection::fail(Call::Open, EACCES, "XXXXXX"));
    EXPECT_FALSE(platform::writePrivateProfileString(L"S", L"k", L"v", L"new.ini"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EACCES));
    EXPECT_FALSE(std::filesystem::exists("new.ini"));
}

TEST(ProfileWrite, EachFailingStepOfTheReplacementKeepsTheOldFileWhole)
{
    const TempWorkDir dir;
    const std::string old = "[PROXY]\nUserProxy=alice\n";
    writeBytes("own.ini", old);
    const std::pair<Call, int> faults[] = {{Call::Write, ENOSPC},
                                           {Call::Sync, EIO},
                                           {Call::Close, ENOSPC},
                                           {Call::Rename, EXDEV},
                                           {Call::ChangeMode, EPERM}};
    for (const auto& [call, error] : faults)
    {
        FaultInjection injected(FaultInjection::fail(call, error));
        EXPECT_FALSE(
            platform::writePrivateProfileString(L"PROXY", L"UserProxy", L"bob", L"own.ini"));
        EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(error));
        EXPECT_EQ(readBytes("own.ini"), old);
        EXPECT_EQ(entriesIn(dir.path()), 1u) << "a temporary file was left behind";
    }
}

TEST(ProfileRead, RefusedOpenIsAFailureForAnyUser)
{
    const TempWorkDir dir;
    writeBytes("own.ini", "[S]\nk=v\n");
    FaultInjection faults(FaultInjection::fail(Call::Open, EACCES, "own.ini"));
    const Read read = readProfile(L"own.ini", L"S", L"k", L"default");
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(read.lastError, static_cast<unsigned long>(EACCES));
    EXPECT_EQ(read.text, L"");
}

TEST(ProfileReadWrite, EveryCallInterruptedOnceIsRetried)
{
    const TempWorkDir dir;
    writeBytes("own.ini", "[S]\nk=v\n");
    FaultInjection faults(FaultInjection::interruptEachCallOnce());
    EXPECT_TRUE(platform::writePrivateProfileString(L"S", L"k", L"w", L"own.ini"));
    EXPECT_EQ(readProfile(L"own.ini", L"S", L"k").text, L"w");
    EXPECT_GT(faults.injected(), 5);
}

TEST(ProfileWrite, SymbolicLinkStaysALinkToTheUpdatedFile)
{
    const TempWorkDir dir;
    writeBytes("real.ini", "[S]\nk=1\n");
    std::filesystem::create_symlink("real.ini", "link.ini");
    ASSERT_TRUE(platform::writePrivateProfileString(L"S", L"k", L"2", L"link.ini"));
    EXPECT_TRUE(std::filesystem::is_symlink("link.ini"));
    EXPECT_EQ(readBytes("real.ini"), "[S]\nk=2\n");
}

// Runs in a child process of its own: the file-size limit stays there.
[[noreturn]] static void writeBeyondTheFileSizeLimit()
{
    bool intact = false;
    {
        const TempWorkDir dir;
        const std::string before = "[PROXY]\nUserProxy=alice\n" + std::string(2000, ';') + "\n";
        writeBytes("own.ini", before);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool written = platform::writePrivateProfileString(
            L"PROXY", L"UserProxy", std::wstring(4000, L'x'), L"own.ini");
        intact = !written && platform::getLastError() == EFBIG && readBytes("own.ini") == before &&
                 entriesIn(dir.path()) == 1;
    }
    std::_Exit(intact ? 0 : 1);
}

// A full disk is played by the file-size limit: the write of the temporary
// file fails with EFBIG part way, as it would with ENOSPC.
TEST(ProfileWrite, FailedWriteLeavesTheOldFileWhole)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(writeBeyondTheFileSizeLimit(), ::testing::ExitedWithCode(0), "");
}

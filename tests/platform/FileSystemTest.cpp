// The file-system seam: links never followed, copies complete or absent,
// faults injected where asked.
#include "FaultInjection.h"
#include "TempFolder.h"

#include "platform/FileSystem.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using platform::FileSystem;
using qortest::FaultInjection;
using Call = platform::SystemCalls::Call;

namespace
{
std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(FileSystem, ListingGivesEachEntryWithItsOwnType)
{
    qortest::TempFolder folder;
    std::ofstream(folder / "file") << "x";
    fs::create_directory(folder / "dir");
    fs::create_symlink(folder / "dir", folder / "link-to-dir");
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    std::vector<FileSystem::Entry> entries;
    ASSERT_TRUE(FileSystem::listDirectory(folder.path().string(), entries));
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "dir");
    EXPECT_EQ(entries[0].type, FileSystem::EntryType::Directory);
    EXPECT_EQ(entries[1].name, "fifo");
    EXPECT_EQ(entries[1].type, FileSystem::EntryType::Other);
    EXPECT_EQ(entries[2].name, "file");
    EXPECT_EQ(entries[2].type, FileSystem::EntryType::File);
    EXPECT_EQ(entries[3].name, "link-to-dir");
    EXPECT_EQ(entries[3].type, FileSystem::EntryType::Symlink);
}

TEST(FileSystem, LinksAreNeverFollowed)
{
    qortest::TempFolder folder;
    fs::create_directory(folder / "dir");
    std::ofstream(folder / "dir" / "inside") << "x";
    fs::create_directory_symlink(folder / "dir", folder / "link");
    std::vector<FileSystem::Entry> entries;
    EXPECT_FALSE(FileSystem::listDirectory((folder / "link").string(), entries));
    EXPECT_TRUE(entries.empty());

    FileSystem::Status status;
    ASSERT_TRUE(FileSystem::status((folder / "link").string(), status));
    EXPECT_EQ(status.type, FileSystem::EntryType::Symlink);

    // a copy refuses a link as its source rather than copying its target
    fs::create_symlink(folder / "dir" / "inside", folder / "file-link");
    EXPECT_FALSE(FileSystem::copyFile((folder / "file-link").string(), (folder / "copy").string()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "copy")));

    ASSERT_TRUE(FileSystem::copyLink((folder / "file-link").string(), (folder / "link2").string()));
    EXPECT_EQ(fs::read_symlink(folder / "link2"), folder / "dir" / "inside");
}

TEST(FileSystem, CopyKeepsContentsModeAndTimes)
{
    qortest::TempFolder folder;
    std::string contents;
    for (int i = 0; i < 100000; ++i)
    {
        contents += static_cast<char>(i % 251);
    }
    const fs::path source = folder / "source";
    std::ofstream(source, std::ios::binary) << contents;
    ::chmod(source.c_str(), 0741);
    const struct timespec times[2] = {{1111111111, 5}, {1222222222, 987654321}};
    ::utimensat(AT_FDCWD, source.c_str(), times, 0);

    ASSERT_TRUE(FileSystem::copyFile(source.string(), (folder / "copy").string()));
    EXPECT_EQ(readText(folder / "copy"), contents);
    FileSystem::Status status;
    ASSERT_TRUE(FileSystem::status((folder / "copy").string(), status));
    EXPECT_EQ(status.mode, 0741u);
    EXPECT_EQ(status.modifySeconds, 1222222222);
    EXPECT_EQ(status.modifyNanoseconds, 987654321);
}

TEST(FileSystem, CopyNeverOverwritesAnExistingTarget)
{
    qortest::TempFolder folder;
    std::ofstream(folder / "source") << "new";
    std::ofstream(folder / "target") << "old";
    EXPECT_FALSE(FileSystem::copyFile((folder / "source").string(), (folder / "target").string()));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EEXIST));
    EXPECT_EQ(readText(folder / "target"), "old");
}

TEST(FileSystem, FaultHookFailsTheChosenCallBeforeItRuns)
{
    qortest::TempFolder folder;
    std::ofstream(folder / "a") << "a";
    std::vector<std::pair<Call, std::string>> seen;
    {
        FaultInjection faults(
            [&](Call call, const std::string& path)
            {
                seen.emplace_back(call, path);
                return call == Call::Unlink ? EROFS : 0;
            });
        EXPECT_FALSE(FileSystem::removeFile((folder / "a").string()));
        EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EROFS));
        EXPECT_TRUE(fs::exists(folder / "a"));
        EXPECT_TRUE(FileSystem::rename((folder / "a").string(), (folder / "b").string()));
    }
    EXPECT_TRUE(FileSystem::removeFile((folder / "b").string()));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].first, Call::Rename);
    EXPECT_EQ(seen[1].second, (folder / "a").string());
}

TEST(FileSystem, ReplaceWithCopyKeepsTheOldFileWhenTheDiskFills)
{
    qortest::TempFolder folder;
    std::ofstream(folder / "source") << std::string(300000, 'n');
    std::ofstream(folder / "target") << "old";
    for (const Call failing : {Call::Write, Call::Sync, Call::Close, Call::Rename})
    {
        FaultInjection faults(FaultInjection::fail(failing, ENOSPC));
        EXPECT_FALSE(FileSystem::replaceWithCopy((folder / "source").string(),
                                                 (folder / "target").string()));
        EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOSPC));
        EXPECT_EQ(readText(folder / "target"), "old");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2)
            << "a temporary file was left behind";
    }
    EXPECT_TRUE(
        FileSystem::replaceWithCopy((folder / "source").string(), (folder / "target").string()));
    EXPECT_EQ(readText(folder / "target"), std::string(300000, 'n'));
}
} // namespace

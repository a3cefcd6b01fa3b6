// Directory trees on real temporary folders: erasing, moving, merging, links
// that must not be followed, and failures injected through the platform seam.
#include "FaultInjection.h"
#include "TempFolder.h"

#include "platform/FileSystem.h"
#include "platform/LastError.h"
#include "tools/DirectoryTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::FileSystem;
using qortest::FaultInjection;
using Call = platform::SystemCalls::Call;

namespace
{
void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every entry below root: "dir", "link -> target" or the file's contents.
std::map<std::string, std::string> treeOf(const fs::path& root)
{
    std::map<std::string, std::string> tree;
    if (!fs::exists(fs::symlink_status(root)))
    {
        return tree;
    }
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it)
    {
        const std::string relative = it->path().lexically_relative(root).string();
        if (it->is_symlink())
        {
            tree[relative] = "link -> " + fs::read_symlink(it->path()).string();
        }
        else if (it->is_directory())
        {
            tree[relative] = "dir";
        }
        else
        {
            // long contents by size and a checksum, to keep failure output short
            const std::string text = readText(it->path());
            tree[relative] = text.size() <= 64 ? text
                                               : "bytes:" + std::to_string(text.size()) + ":" +
                                                     std::to_string(std::hash<std::string>()(text));
        }
    }
    return tree;
}

std::wstring wide(const fs::path& path)
{
    return path.wstring();
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A copy or link on its way in: a link's temporary name, or the hidden
// temporary file of a replaced file (the test trees hold no hidden names).
bool isTemporary(const std::string& path)
{
    return path.find(".qortmp-") != std::string::npos ||
           fs::path(path).filename().string().front() == '.';
}

class DirectoryTree : public ::testing::Test
{
protected:
    qortest::TempFolder m_folder;
};

TEST_F(DirectoryTree, PathExistsForFilesFoldersAndLinksItself)
{
    writeText(m_folder / "file", "x");
    fs::create_directory(m_folder / "dir");
    fs::create_symlink(m_folder / "nowhere", m_folder / "dangling");
    EXPECT_TRUE(pathExists(wide(m_folder / "file")));
    EXPECT_TRUE(pathExists(wide(m_folder / "dir")));
    EXPECT_TRUE(pathExists(wide(m_folder / "dangling")));
    EXPECT_FALSE(pathExists(wide(m_folder / "missing")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));
    // a trailing separator names the folder itself here
    EXPECT_TRUE(pathExists(wide(m_folder / "dir") + L"/"));
    EXPECT_FALSE(pathExists(wide(m_folder / "file") + L"/"));
}

TEST_F(DirectoryTree, EmptyPathsAreRefused)
{
    writeText(m_folder / "keep", "x");
    platform::setLastError(0);
    EXPECT_FALSE(pathExists(L""));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    platform::setLastError(0);
    EXPECT_FALSE(eraseTree(L"", true));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    platform::setLastError(0);
    EXPECT_FALSE(moveTree(L"", wide(m_folder / "to")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    EXPECT_FALSE(moveTree(wide(m_folder / "keep"), L""));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    EXPECT_EQ(readText(m_folder / "keep"), "x");
}

TEST_F(DirectoryTree, EraseEmptiesTheFolderAndKeepsIt)
{
    const fs::path extract = m_folder / "extract";
    fs::create_directory(extract);
    EXPECT_TRUE(eraseTree(wide(extract), true));
    EXPECT_TRUE(fs::is_directory(extract));

    writeText(extract / "a.txt", "a");
    writeText(extract / "sub" / "b.txt", "b");
    writeText(extract / "sub" / "deeper" / "c.txt", "c");
    fs::create_directory(extract / "sub" / "empty");
    EXPECT_TRUE(eraseTree(wide(extract), true));
    EXPECT_TRUE(fs::is_directory(extract));
    EXPECT_TRUE(fs::is_empty(extract));
}

TEST_F(DirectoryTree, EraseWithoutRecursionTakesOnlyTheFilesDirectlyInside)
{
    const fs::path extract = m_folder / "extract";
    writeText(extract / "a.txt", "a");
    writeText(extract / "b.bin", "b");
    writeText(extract / "sub" / "c.txt", "c");
    EXPECT_TRUE(eraseTree(wide(extract), false));
    EXPECT_EQ(treeOf(extract),
              (std::map<std::string, std::string>{{"sub", "dir"}, {"sub/c.txt", "c"}}));
}

TEST_F(DirectoryTree, EraseOfAMissingFolderIsASuccess)
{
    EXPECT_TRUE(eraseTree(wide(m_folder / "missing"), true));
    EXPECT_FALSE(fs::exists(m_folder / "missing"));
}

TEST_F(DirectoryTree, EraseRemovesLinksButNeverWhatTheyPointTo)
{
    const fs::path outside = m_folder / "outside";
    writeText(outside / "precious.txt", "keep me");
    writeText(outside / "nested" / "also.txt", "me too");
    const fs::path extract = m_folder / "extract";
    writeText(extract / "own.txt", "x");
    fs::create_directory(extract / "sub");
    fs::create_directory_symlink(outside, extract / "sub" / "to-folder");
    fs::create_symlink(outside / "precious.txt", extract / "to-file");
    fs::create_symlink(m_folder / "nowhere", extract / "dangling");

    const auto before = treeOf(outside);
    EXPECT_TRUE(eraseTree(wide(extract), true));
    EXPECT_TRUE(fs::is_empty(extract));
    EXPECT_EQ(treeOf(outside), before);
}

TEST_F(DirectoryTree, EraseEmptiesAFolderGivenAsATopLevelLinkButNoLinkInside)
{
    const fs::path real = m_folder / "real-extract";
    const fs::path outside = m_folder / "outside";
    writeText(real / "old.bin", "old");
    writeText(real / "sub" / "old.txt", "old");
    writeText(outside / "precious.txt", "keep me");
    fs::create_directory_symlink(outside, real / "sub" / "inner-link");
    fs::create_directory_symlink(real, m_folder / "extract");
    bool erased = false;
    EXPECT_TRUE(eraseTree(wide(m_folder / "extract"), true, &erased));
    EXPECT_TRUE(erased);
    EXPECT_TRUE(fs::is_symlink(m_folder / "extract"));
    EXPECT_TRUE(fs::is_directory(real));
    EXPECT_TRUE(fs::is_empty(real));
    EXPECT_EQ(readText(outside / "precious.txt"), "keep me");
}

TEST_F(DirectoryTree, EraseTellsWhetherThereWasAFolderToEmpty)
{
    bool erased = true;
    EXPECT_TRUE(eraseTree(wide(m_folder / "missing"), true, &erased));
    EXPECT_FALSE(erased);
    writeText(m_folder / "a-file", "x");
    EXPECT_TRUE(eraseTree(wide(m_folder / "a-file"), true, &erased));
    EXPECT_FALSE(erased);
    EXPECT_EQ(readText(m_folder / "a-file"), "x");
    fs::create_symlink(m_folder / "nowhere", m_folder / "dangling");
    EXPECT_TRUE(eraseTree(wide(m_folder / "dangling"), true, &erased));
    EXPECT_FALSE(erased);
    fs::create_directory(m_folder / "empty");
    EXPECT_TRUE(eraseTree(wide(m_folder / "empty"), true, &erased));
    EXPECT_TRUE(erased);
}

TEST_F(DirectoryTree, UnlistableEmptySubfolderIsRemovedAndTheEraseGoesOn)
{
    const fs::path extract = m_folder / "extract";
    fs::create_directories(extract / "a-locked");
    fs::create_directories(extract / "b-locked-full");
    writeText(extract / "b-locked-full" / "kept.txt", "k");
    writeText(extract / "c.txt", "c");
    writeText(extract / "d" / "e.txt", "e");
    // the listing of both locked folders is refused, as for a folder without
    // read permission (which root would still read)
    FaultInjection faults(
        [](Call call, const std::string& path) {
            return call == Call::ListDirectory && path.find("-locked") != std::string::npos ? EACCES
                                                                                            : 0;
        });
    EXPECT_FALSE(eraseTree(wide(extract), true));
    // the full one cannot be removed: its rmdir's error is the one reported
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOTEMPTY));
    EXPECT_EQ(readText(extract / "b-locked-full" / "kept.txt"), "k");
    EXPECT_FALSE(fs::exists(extract / "a-locked"));

    fs::remove_all(extract / "b-locked-full");
    fs::create_directories(extract / "a-locked");
    writeText(extract / "c.txt", "c");
    bool erased = false;
    EXPECT_TRUE(eraseTree(wide(extract), true, &erased));
    EXPECT_TRUE(erased);
    EXPECT_TRUE(fs::is_empty(extract));
}

TEST_F(DirectoryTree, FailedDeleteStopsTheEraseAndKeepsItsError)
{
    const fs::path extract = m_folder / "extract";
    writeText(extract / "sub" / "locked.txt", "x");
    writeText(extract / "sub" / "other.txt", "y");
    FaultInjection faults(FaultInjection::fail(Call::Unlink, EACCES, "locked.txt"));
    EXPECT_FALSE(eraseTree(wide(extract), true));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EACCES));
    EXPECT_TRUE(fs::exists(extract / "sub" / "locked.txt"));
    EXPECT_TRUE(fs::is_directory(extract / "sub"));
}

TEST_F(DirectoryTree, FailedRemovalOfASubfolderStopsTheErase)
{
    const fs::path extract = m_folder / "extract";
    writeText(extract / "sub" / "a.txt", "x");
    FaultInjection faults(
        [](Call call, const std::string& path)
        { return call == Call::RemoveDirectory && endsWith(path, "/sub") ? EBUSY : 0; });
    EXPECT_FALSE(eraseTree(wide(extract), true));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EBUSY));
    EXPECT_TRUE(fs::is_directory(extract / "sub"));
}

TEST_F(DirectoryTree, ReadOnlyFolderStopsTheEraseForOrdinaryUsers)
{
    if (::geteuid() == 0)
    {
        GTEST_SKIP() << "permission bits do not stop root; the injected EACCES case covers this";
    }
    const fs::path extract = m_folder / "extract";
    writeText(extract / "sub" / "a.txt", "x");
    fs::permissions(extract / "sub", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(eraseTree(wide(extract), true));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EACCES));
    fs::permissions(extract / "sub", fs::perms::owner_all);
    EXPECT_EQ(readText(extract / "sub" / "a.txt"), "x");
}

TEST_F(DirectoryTree, MoveToAMissingDestinationRenamesInOneStep)
{
    const fs::path source = m_folder / "target";
    writeText(source / "setup.bin", "installer");
    writeText(source / "docs" / "readme.txt", "read me");
    const auto before = treeOf(source);
    int renames = 0;
    FaultInjection faults(
        [&](Call call, const std::string&)
        {
            renames += call == Call::Rename ? 1 : 0;
            return 0;
        });
    EXPECT_TRUE(moveTree(wide(source), wide(m_folder / "dest")));
    EXPECT_EQ(renames, 1);
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(treeOf(m_folder / "dest"), before);
}

TEST_F(DirectoryTree, MoveMergesIntoAnExistingDestination)
{
    const fs::path source = m_folder / "target";
    const fs::path dest = m_folder / "dest";
    writeText(source / "same.txt", "new");
    writeText(source / "only-source.txt", "s");
    writeText(source / "sub" / "same.txt", "new sub");
    writeText(source / "fresh" / "f.txt", "f");
    writeText(dest / "same.txt", "old");
    writeText(dest / "only-dest.txt", "d");
    writeText(dest / "sub" / "same.txt", "old sub");
    writeText(dest / "sub" / "keep.txt", "k");

    EXPECT_TRUE(moveTree(wide(source), wide(dest)));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(treeOf(dest), (std::map<std::string, std::string>{
                                {"same.txt", "new"},
                                {"only-source.txt", "s"},
                                {"only-dest.txt", "d"},
                                {"sub", "dir"},
                                {"sub/same.txt", "new sub"},
                                {"sub/keep.txt", "k"},
                                {"fresh", "dir"},
                                {"fresh/f.txt", "f"},
                            }));
}

TEST_F(DirectoryTree, MoveOfASingleFile)
{
    writeText(m_folder / "one.txt", "1");
    EXPECT_TRUE(moveTree(wide(m_folder / "one.txt"), wide(m_folder / "moved.txt")));
    EXPECT_EQ(readText(m_folder / "moved.txt"), "1");
    EXPECT_FALSE(fs::exists(m_folder / "one.txt"));

    // into an existing destination there is nothing to search in a file
    writeText(m_folder / "two.txt", "2");
    EXPECT_FALSE(moveTree(wide(m_folder / "two.txt"), wide(m_folder / "moved.txt")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOTDIR));
    EXPECT_EQ(readText(m_folder / "two.txt"), "2");
    EXPECT_EQ(readText(m_folder / "moved.txt"), "1");
}

TEST_F(DirectoryTree, MoveOfAMissingSourceFails)
{
    EXPECT_FALSE(moveTree(wide(m_folder / "missing"), wide(m_folder / "dest")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));
    fs::create_directory(m_folder / "dest");
    EXPECT_FALSE(moveTree(wide(m_folder / "missing"), wide(m_folder / "dest")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));
}

TEST_F(DirectoryTree, MoveCarriesLinksThemselves)
{
    const fs::path outside = m_folder / "outside";
    writeText(outside / "big.bin", "not to be copied");
    const fs::path source = m_folder / "target";
    writeText(source / "real.txt", "r");
    fs::create_symlink("../outside/big.bin", source / "relative-link");
    fs::create_directory(m_folder / "dest");
    EXPECT_TRUE(moveTree(wide(source), wide(m_folder / "dest")));
    EXPECT_TRUE(fs::is_symlink(m_folder / "dest" / "relative-link"));
    EXPECT_EQ(fs::read_symlink(m_folder / "dest" / "relative-link"), "../outside/big.bin");
    EXPECT_EQ(readText(outside / "big.bin"), "not to be copied");
}

TEST_F(DirectoryTree, MergeDoesNotWriteThroughALinkInTheDestination)
{
    const fs::path outside = m_folder / "outside";
    fs::create_directory(outside);
    writeText(m_folder / "target" / "sub" / "a.txt", "a");
    fs::create_directory(m_folder / "dest");
    fs::create_directory_symlink(outside, m_folder / "dest" / "sub");
    EXPECT_FALSE(moveTree(wide(m_folder / "target"), wide(m_folder / "dest")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOTDIR));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(readText(m_folder / "target" / "sub" / "a.txt"), "a");
}

TEST_F(DirectoryTree, FailedMoveStopsAndKeepsTheErrorOfTheFailingCall)
{
    const fs::path source = m_folder / "target";
    writeText(source / "a.txt", "a");
    fs::create_directory(m_folder / "dest");
    {
        FaultInjection faults(FaultInjection::fail(Call::Rename, EACCES));
        EXPECT_FALSE(moveTree(wide(source), wide(m_folder / "dest")));
        EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EACCES));
        EXPECT_EQ(readText(source / "a.txt"), "a");
    }
    {
        FaultInjection faults(FaultInjection::fail(Call::RemoveDirectory, EBUSY));
        EXPECT_FALSE(moveTree(wide(source), wide(m_folder / "dest")));
        EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EBUSY));
        EXPECT_EQ(readText(m_folder / "dest" / "a.txt"), "a");
    }
}

// A tree with modes, old modification times, a link and nested folders.
void buildRichTree(const fs::path& root)
{
    writeText(root / "setup.bin", std::string(300000, 'z'));
    writeText(root / "run.sh", "#!/bin/sh\n");
    writeText(root / "docs" / "private.txt", "p");
    writeText(root / "docs" / "deep" / "empty.txt", "");
    fs::create_directory(root / "empty-folder");
    fs::create_symlink("docs/private.txt", root / "link");
    ::chmod((root / "run.sh").c_str(), 0755);
    ::chmod((root / "docs" / "private.txt").c_str(), 0640);
    ::chmod((root / "docs").c_str(), 0750);
    const struct timespec old[2] = {{1000000000, 0}, {1234567890, 123456789}};
    ::utimensat(AT_FDCWD, (root / "setup.bin").c_str(), old, 0);
    ::utimensat(AT_FDCWD, (root / "docs" / "private.txt").c_str(), old, 0);
    ::utimensat(AT_FDCWD, (root / "docs").c_str(), old, 0);
}

void expectSameAttributes(const fs::path& copy, const std::string& relative)
{
    struct stat info
    {
    };
    ASSERT_EQ(::lstat((copy / relative).c_str(), &info), 0) << relative;
    if (relative == "run.sh")
    {
        EXPECT_EQ(info.st_mode & 07777, 0755u);
    }
    if (relative == "docs/private.txt")
    {
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
    if (relative == "docs")
    {
        EXPECT_EQ(info.st_mode & 07777, 0750u);
    }
    if (relative == "setup.bin" || relative == "docs/private.txt" || relative == "docs")
    {
        EXPECT_EQ(info.st_mtim.tv_sec, 1234567890) << relative;
        EXPECT_EQ(info.st_mtim.tv_nsec, 123456789) << relative;
    }
}

void expectMovedWithAttributes(const std::map<std::string, std::string>& before,
                               const fs::path& source, const fs::path& dest)
{
    EXPECT_FALSE(fs::exists(fs::symlink_status(source)));
    EXPECT_EQ(treeOf(dest), before);
    for (const auto& [relative, ignored] : before)
    {
        expectSameAttributes(dest, relative);
    }
}

// Every rename of a real entry answers "other file system"; the renames of
// the copies into place go through.
int crossDeviceRenames(Call call, const std::string& path)
{
    return call == Call::Rename && !isTemporary(path) ? EXDEV : 0;
}

TEST_F(DirectoryTree, MoveAcrossFileSystemsCopiesContentsModesAndTimes)
{
    const fs::path source = m_folder / "target";
    buildRichTree(source);
    const auto before = treeOf(source);
    FaultInjection faults(crossDeviceRenames);
    EXPECT_TRUE(moveTree(wide(source), wide(m_folder / "dest")));
    expectMovedWithAttributes(before, source, m_folder / "dest");
}

TEST_F(DirectoryTree, MergeAcrossFileSystemsReplacesAndKeeps)
{
    const fs::path source = m_folder / "target";
    const fs::path dest = m_folder / "dest";
    writeText(source / "same.txt", "new");
    writeText(source / "sub" / "s.txt", "s");
    writeText(dest / "same.txt", "old");
    writeText(dest / "other.txt", "o");
    FaultInjection faults(crossDeviceRenames);
    EXPECT_TRUE(moveTree(wide(source), wide(dest)));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(treeOf(dest),
              (std::map<std::string, std::string>{
                  {"same.txt", "new"}, {"other.txt", "o"}, {"sub", "dir"}, {"sub/s.txt", "s"}}));
}

TEST_F(DirectoryTree, RealMoveToAnotherFileSystem)
{
    struct stat here
    {
    };
    struct stat shm
    {
    };
    if (::stat("/dev/shm", &shm) != 0 || ::stat(m_folder.path().c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0)
    {
        GTEST_SKIP() << "/dev/shm is not a separate writable file system here";
    }
    qortest::TempFolder other("/dev/shm");
    const fs::path source = m_folder / "target";
    buildRichTree(source);
    const auto before = treeOf(source);
    EXPECT_TRUE(moveTree(wide(source), wide(other / "dest")));
    expectMovedWithAttributes(before, source, other / "dest");

    // and back again, merging into an existing folder
    fs::create_directory(source);
    writeText(source / "setup.bin", "stale");
    EXPECT_TRUE(moveTree(wide(other / "dest"), wide(source)));
    expectMovedWithAttributes(before, other / "dest", source);
}

TEST_F(DirectoryTree, FailureInTheMiddleOfACrossDeviceMoveLosesNothing)
{
    // the nth write of the copies runs out of space (setup.bin takes three)
    for (const int failingCopy : {1, 2, 4, 5})
    {
        qortest::TempFolder folder;
        const fs::path source = folder / "target";
        const fs::path dest = folder / "dest";
        buildRichTree(source);
        const auto before = treeOf(source);
        int copies = 0;
        FaultInjection faults(
            [&](Call call, const std::string& path)
            {
                if (call == Call::Write && ++copies == failingCopy)
                {
                    return ENOSPC;
                }
                return crossDeviceRenames(call, path);
            });
        EXPECT_FALSE(moveTree(wide(source), wide(dest))) << failingCopy;
        EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOSPC));

        // every file is whole at one of the two places, no copy is left half made
        const auto left = treeOf(source);
        const auto arrived = treeOf(dest);
        for (const auto& [relative, contents] : before)
        {
            const auto inSource = left.find(relative);
            const auto inDest = arrived.find(relative);
            const bool whole = (inSource != left.end() && inSource->second == contents) ||
                               (inDest != arrived.end() && inDest->second == contents);
            EXPECT_TRUE(whole) << relative << " after failing copy " << failingCopy;
        }
        for (const auto& [relative, contents] : arrived)
        {
            EXPECT_FALSE(isTemporary(relative)) << relative;
        }
    }
}

TEST_F(DirectoryTree, CopyThatCannotBeRenamedIntoPlaceIsRemovedAndTheSourceKept)
{
    const fs::path source = m_folder / "target";
    writeText(source / "a.txt", "a");
    fs::create_directory(m_folder / "dest");
    FaultInjection faults(
        [](Call call, const std::string& path)
        {
            if (call == Call::Rename)
            {
                return isTemporary(path) ? EIO : EXDEV;
            }
            return 0;
        });
    EXPECT_FALSE(moveTree(wide(source), wide(m_folder / "dest")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EIO));
    EXPECT_EQ(readText(source / "a.txt"), "a");
    EXPECT_TRUE(fs::is_empty(m_folder / "dest"));
}
TEST_F(DirectoryTree, MoveIntoATopLevelLinkFillsTheFolderItNames)
{
    const fs::path source = m_folder / "target";
    const fs::path real = m_folder / "elsewhere" / "dest";
    writeText(source / "new.bin", "new");
    writeText(source / "docs" / "a.txt", "a");
    writeText(real / "kept.txt", "kept");
    fs::create_directory_symlink(real, m_folder / "dest");
    EXPECT_TRUE(moveTree(wide(source), wide(m_folder / "dest")));
    EXPECT_TRUE(fs::is_symlink(m_folder / "dest"));
    EXPECT_EQ(treeOf(real),
              (std::map<std::string, std::string>{
                  {"kept.txt", "kept"}, {"new.bin", "new"}, {"docs", "dir"}, {"docs/a.txt", "a"}}));
    EXPECT_FALSE(fs::exists(source));
}

TEST_F(DirectoryTree, MoveIntoATopLevelLinkNeverEntersALinkInside)
{
    const fs::path source = m_folder / "target";
    const fs::path real = m_folder / "real";
    const fs::path outside = m_folder / "outside";
    writeText(source / "docs" / "a.txt", "a");
    fs::create_directories(real);
    fs::create_directories(outside);
    // a link inside the destination is never entered
    fs::create_directory_symlink(outside, real / "docs");
    fs::create_directory_symlink(real, m_folder / "dest");
    EXPECT_FALSE(moveTree(wide(source), wide(m_folder / "dest")));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOTDIR));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(readText(source / "docs" / "a.txt"), "a");
}

TEST_F(DirectoryTree, EveryCallInterruptedOnceIsRetried)
{
    const fs::path source = m_folder / "target";
    buildRichTree(source);
    const auto before = treeOf(source);
    {
        FaultInjection faults(
            [interrupt = FaultInjection::interruptEachCallOnce()](Call call,
                                                                  const std::string& path)
            {
                if (const int error = crossDeviceRenames(call, path))
                {
                    return error;
                }
                return interrupt(call, path);
            });
        EXPECT_TRUE(moveTree(wide(source), wide(m_folder / "dest")));
        EXPECT_GT(faults.injected(), 20);
    }
    expectMovedWithAttributes(before, source, m_folder / "dest");
    FaultInjection faults(FaultInjection::interruptEachCallOnce());
    EXPECT_TRUE(eraseTree(wide(m_folder / "dest"), true));
    EXPECT_TRUE(fs::is_empty(m_folder / "dest"));
}
} // namespace

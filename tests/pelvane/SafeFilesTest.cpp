// File operations that must never follow a link out of their folder and
// never leave half-written files behind.
#include "pelvane/base/SafeFiles.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace pelvane;
namespace fs = std::filesystem;

TEST(SafeFilesTest, MakeDirectoriesRefusesLinksAndFilesOnTheWay)
{
    qortest::TempFolder temp;
    const std::string outside = temp / "outside";
    fs::create_directories(outside);
    fs::create_directories(temp / "base");
    fs::create_directory_symlink(outside, temp / "base/link");
    qortest::writeTextFile(temp / "base/file", "x");

    EXPECT_EQ(safefiles::makeDirectories(temp / "base", "a/b/c"), 0);
    EXPECT_TRUE(fs::is_directory(temp / "base/a/b/c"));
    EXPECT_EQ(safefiles::makeDirectories(temp / "base", "link/x"), ELOOP);
    EXPECT_EQ(safefiles::makeDirectories(temp / "base", "file/x"), ENOTDIR);
    EXPECT_TRUE(fs::is_empty(outside));

    // inside a staging folder the blockers are replaced, the link's target untouched
    EXPECT_EQ(safefiles::makeParentDirectories(temp / "base", "link/x/y.txt", true), 0);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(temp / "base/link")));
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST(SafeFilesTest, LinkOrCopyReplacesFilesAndFoldersAtTheDestination)
{
    qortest::TempFolder temp;
    qortest::writeTextFile(temp / "source", "new");
    qortest::writeTextFile(temp / "dest", "old");
    ASSERT_EQ(safefiles::linkOrCopyFile(temp / "source", temp / "dest", nullptr), 0);
    EXPECT_EQ(qortest::readTextFile(temp / "dest"), "new");

    fs::create_directories(temp / "folder/inner");
    ASSERT_EQ(safefiles::linkOrCopyFile(temp / "source", temp / "folder", nullptr), 0);
    EXPECT_EQ(qortest::readTextFile(temp / "folder"), "new");

    EXPECT_EQ(safefiles::linkOrCopyFile(temp / "missing", temp / "other", nullptr), ENOENT);
    EXPECT_FALSE(fs::exists(temp / "other"));
}

TEST(SafeFilesTest, CloneTreeKeepsLinksAsLinksAndRemoveTreeDoesNotFollowThem)
{
    qortest::TempFolder temp;
    const std::string outside = temp / "outside";
    fs::create_directories(outside);
    qortest::writeTextFile(outside + "/precious", "keep");
    fs::create_directories(temp / "tree/sub");
    qortest::writeTextFile(temp / "tree/sub/f", "f");
    fs::create_directory_symlink(outside, temp / "tree/link");

    ASSERT_EQ(safefiles::cloneTree(temp / "tree", temp / "clone", nullptr), 0);
    EXPECT_EQ(qortest::readTextFile(temp / "clone/sub/f"), "f");
    EXPECT_TRUE(fs::is_symlink(temp / "clone/link"));

    ASSERT_EQ(safefiles::removeTree(temp / "clone"), 0);
    ASSERT_EQ(safefiles::removeTree(temp / "tree"), 0);
    EXPECT_FALSE(fs::exists(temp / "tree"));
    EXPECT_EQ(qortest::readTextFile(outside + "/precious"), "keep");
    EXPECT_EQ(safefiles::removeTree(temp / "never-there"), 0);
}

TEST(SafeFilesTest, AtomicWriteLeavesNoTemporaryFileBehind)
{
    qortest::TempFolder temp;
    ASSERT_EQ(safefiles::writeFileAtomically(temp / "f", "one"), 0);
    ASSERT_EQ(safefiles::writeFileAtomically(temp / "f", "two"), 0);
    EXPECT_EQ(qortest::readTextFile(temp / "f"), "two");
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1);
    EXPECT_EQ(safefiles::writeFileAtomically(temp / "no/such/folder/f", "x"), ENOENT);
}

// Reading at offsets from regular files only, without ever blocking.
#include "TempFolder.h"

#include "platform/LastError.h"
#include "platform/ReadOnlyFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sys/stat.h>

using platform::ReadOnlyFile;

namespace
{
TEST(ReadOnlyFile, ReadsExactlyWhatIsAskedAndNoMore)
{
    qortest::TempFolder folder;
    const std::string path = (folder / "data.bin").string();
    std::ofstream(path, std::ios::binary) << "0123456789";
    ReadOnlyFile file;
    ASSERT_TRUE(file.open(path));
    EXPECT_EQ(file.size(), 10u);
    char buffer[4] = {};
    ASSERT_TRUE(file.readAt(3, 4, buffer));
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_FALSE(file.readAt(8, 4, buffer));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EIO));
    EXPECT_TRUE(file.readAt(10, 0, buffer));
}

TEST(ReadOnlyFile, RefusesWhatIsNotARegularFile)
{
    qortest::TempFolder folder;
    ReadOnlyFile file;
    EXPECT_FALSE(file.open((folder / "missing").string()));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));
    EXPECT_FALSE(file.open(folder.path().string()));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EISDIR));
    // a fifo without a writer would block a plain open forever
    const std::string fifo = (folder / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(file.open(fifo));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    char byte = 0;
    EXPECT_FALSE(file.readAt(0, 1, &byte));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EBADF));
}
} // namespace

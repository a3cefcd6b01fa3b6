// Files seen as memory: read mappings of regular files only, write mappings
// sized exactly and reserved first, so that a full disk is an error here
// rather than a SIGBUS later.
#include "FaultInjection.h"
#include "TempFolder.h"

#include "platform/FileDescriptor.h"
#include "platform/MappedFile.h"
#include "platform/SystemCalls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using platform::MappedFile;
using platform::SystemCalls;

namespace
{
int openForMapping(const std::string& path)
{
    return SystemCalls::open(path, SystemCalls::OpenMode::ReadWriteCreateNoFollow);
}

TEST(MappedFile, ReadsRegularFilesAndRefusesTheRest)
{
    qortest::TempFolder folder;
    const std::string path = (folder / "data.bin").string();
    std::ofstream(path, std::ios::binary) << "0123456789";
    MappedFile map;
    ASSERT_EQ(map.mapForReading(path), 0);
    ASSERT_EQ(map.size(), 10u);
    EXPECT_EQ(std::memcmp(map.data(), "0123456789", 10), 0);
    EXPECT_EQ(map.writableData(), nullptr);

    MappedFile moved(std::move(map));
    EXPECT_EQ(map.data(), nullptr);
    EXPECT_EQ(moved.data()[9], '9');

    std::ofstream(folder / "empty");
    EXPECT_EQ(map.mapForReading((folder / "empty").string()), 0);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.mapForReading((folder / "missing").string()), ENOENT);
    EXPECT_EQ(map.mapForReading(folder.path().string()), EISDIR);
    const std::string fifo = (folder / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(map.mapForReading(fifo), EINVAL); // without blocking on the missing writer
    std::filesystem::create_symlink(path, folder / "link");
    EXPECT_EQ(map.mapForReading((folder / "link").string()), ELOOP);
}

TEST(MappedFile, WritesThroughToTheFileAtExactlyItsSize)
{
    qortest::TempFolder folder;
    const std::string path = (folder / "part").string();
    std::ofstream(path, std::ios::binary) << std::string(100, 'x');
    {
        platform::FileDescriptor file(openForMapping(path));
        ASSERT_TRUE(file.valid());
        MappedFile map;
        // shrinks a longer leftover and keeps the bytes it keeps
        ASSERT_EQ(map.mapForWriting(file.get(), 8), 0);
        ASSERT_NE(map.writableData(), nullptr);
        EXPECT_EQ(map.data()[7], 'x');
        std::memcpy(map.writableData(), "abcd", 4);
    }
    char written[9] = {};
    std::ifstream(path, std::ios::binary).read(written, 9);
    EXPECT_STREQ(written, "abcdxxxx");

    platform::FileDescriptor file(openForMapping(path));
    MappedFile map;
    ASSERT_EQ(map.mapForWriting(file.get(), 1 << 20), 0);
    struct stat info = {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 1 << 20);
    EXPECT_GE(info.st_blocks * 512, 1 << 20); // reserved, not sparse
}

TEST(MappedFile, AFullDiskIsReportedBeforeAnyByteIsMapped)
{
    qortest::TempFolder folder;
    const std::string path = (folder / "part").string();
    platform::FileDescriptor file(openForMapping(path));
    ASSERT_TRUE(file.valid());
    qortest::FaultInjection full(
        qortest::FaultInjection::fail(SystemCalls::Call::Allocate, ENOSPC));
    MappedFile map;
    EXPECT_EQ(map.mapForWriting(file.get(), 4096), ENOSPC);
    EXPECT_EQ(map.data(), nullptr);
    EXPECT_EQ(full.injected(), 1);
}
} // namespace

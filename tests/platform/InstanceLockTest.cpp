// The machine-wide single-instance lock: who gets it, when it is free
// again, and how it copes with what another user (or an attacker) left in
// the shared temporary folder.
#include "platform/InstanceLock.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
const std::string NAME = "{6883A631-E832-497a-B901-4675F28C0DC3}";

class InstanceLockTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "instance-lock-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
        ::setenv("QORDOWNLOADER_LOCK_DIR", m_folder.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("QORDOWNLOADER_LOCK_DIR");
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    fs::path lockFile() const { return m_folder / NAME; }

    fs::path m_folder;
};
} // namespace

TEST_F(InstanceLockTest, SecondHolderIsToldItAlreadyExists)
{
    platform::InstanceLock first;
    ASSERT_TRUE(first.create(NAME));
    EXPECT_EQ(platform::getLastError(), 0u);
    EXPECT_TRUE(first.isHeld());

    platform::InstanceLock second;
    EXPECT_FALSE(second.create(NAME));
    EXPECT_EQ(platform::getLastError(), platform::ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(second.isHeld());
}

TEST_F(InstanceLockTest, ReleasedLockCanBeTakenAgainAndTheFileStays)
{
    {
        platform::InstanceLock first;
        ASSERT_TRUE(first.create(NAME));
    }
    EXPECT_TRUE(fs::exists(lockFile())) << "removing it would race with a starting copy";
    platform::InstanceLock again;
    EXPECT_TRUE(again.create(NAME));
    again.close();
    EXPECT_FALSE(again.isHeld());
    platform::InstanceLock third;
    EXPECT_TRUE(third.create(NAME));
}

TEST_F(InstanceLockTest, LockOfAKilledProcessIsFree)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        platform::InstanceLock held;
        const char answer = held.create(NAME) ? 'y' : 'n';
        (void)!::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    platform::InstanceLock whileAlive;
    EXPECT_FALSE(whileAlive.create(NAME));
    EXPECT_EQ(platform::getLastError(), platform::ERROR_ALREADY_EXISTS);

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    platform::InstanceLock afterDeath;
    EXPECT_TRUE(afterDeath.create(NAME));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(InstanceLockTest, NewFileIsReadableByEveryoneWhateverTheUmask)
{
    const mode_t previous = ::umask(077);
    platform::InstanceLock lock;
    const bool created = lock.create(NAME);
    ::umask(previous);
    ASSERT_TRUE(created);
    struct stat info = {};
    ASSERT_EQ(::stat(lockFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(InstanceLockTest, AnotherUsersFileInAStickyFolderIsLockedReadOnly)
{
    if (::geteuid() != 0)
    {
        GTEST_SKIP() << "needs root to hand the file to another user";
    }
    const fs::path shared = m_folder / "shared-tmp";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const fs::path file = shared / NAME;
    std::ofstream(file).close();
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ::setenv("QORDOWNLOADER_LOCK_DIR", shared.c_str(), 1);

    platform::InstanceLock lock;
    EXPECT_TRUE(lock.create(NAME)) << "error " << platform::getLastError();
    platform::InstanceLock second;
    EXPECT_FALSE(second.create(NAME));
    EXPECT_EQ(platform::getLastError(), platform::ERROR_ALREADY_EXISTS);
}

TEST_F(InstanceLockTest, PlantedLinkIsNotFollowed)
{
    const fs::path victim = m_folder / "victim";
    fs::create_symlink(victim, lockFile());
    platform::InstanceLock lock;
    EXPECT_FALSE(lock.create(NAME));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ELOOP));
    EXPECT_NE(platform::getLastError(), platform::ERROR_ALREADY_EXISTS)
        << "a failure other than a held lock lets the start go on";
    EXPECT_FALSE(fs::exists(victim)) << "the link's target must not be created";
}

TEST_F(InstanceLockTest, PlantedFifoNeitherBlocksNorCounts)
{
    ASSERT_EQ(::mkfifo(lockFile().c_str(), 0644), 0);
    platform::InstanceLock lock;
    EXPECT_FALSE(lock.create(NAME)); // returns at once instead of waiting for a writer
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
}

TEST_F(InstanceLockTest, MissingFolderOrBadNameIsAnOrdinaryFailure)
{
    ::setenv("QORDOWNLOADER_LOCK_DIR", (m_folder / "missing").c_str(), 1);
    platform::InstanceLock lock;
    EXPECT_FALSE(lock.create(NAME));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENOENT));

    ::setenv("QORDOWNLOADER_LOCK_DIR", m_folder.c_str(), 1);
    EXPECT_FALSE(lock.create("../escape"));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    EXPECT_FALSE(lock.create(""));
}

TEST_F(InstanceLockTest, LockFolderIsMachineWideUnlessOverridden)
{
    EXPECT_EQ(platform::InstanceLock::lockFolder(), m_folder.string());
    const char* previous = std::getenv("TMPDIR");
    const std::string savedTmpdir = previous != nullptr ? previous : "";
    ::setenv("TMPDIR", "/var/tmp", 1);
    ::unsetenv("QORDOWNLOADER_LOCK_DIR");
    EXPECT_EQ(platform::InstanceLock::lockFolder(), "/tmp") << "TMPDIR differs between users";
    ::setenv("QORDOWNLOADER_LOCK_DIR", "", 1);
    EXPECT_EQ(platform::InstanceLock::lockFolder(), "/tmp");
    if (previous != nullptr)
    {
        ::setenv("TMPDIR", savedTmpdir.c_str(), 1);
    }
    else
    {
        ::unsetenv("TMPDIR");
    }
}

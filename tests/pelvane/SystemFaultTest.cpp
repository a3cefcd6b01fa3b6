// The library's disk paths with faults injected into its system calls, as
// any user (root included): a full disk while downloading or while building
// Target, a refused open, a rename across file systems, and every call
// interrupted once. Each failure is reported with its errno and leaves
// Target as it was; a later run without the fault completes. A file built
// from chunks goes through the same calls. The files of a run are flushed
// to the disk together, once, before the swap shows them as Target.
#include "FaultInjection.h"
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>

using namespace pelvanetest;
using qortest::FaultInjection;
using Call = platform::SystemCalls::Call;
namespace fs = std::filesystem;

namespace
{
bool endsWith(const std::string& path, const std::string& name)
{
    return path.size() >= name.size() &&
           path.compare(path.size() - name.size(), name.size(), name) == 0;
}

class SystemFaultTest : public UpdateFixture
{
protected:
    void SetUp() override
    {
        UpdateFixture::SetUp();
        m_big = patternData(700000, 21);
        publish("1.0.0", {{"big.bin", m_big}, {"docs/a.txt", "new"}});
        m_web = std::make_unique<qortest::ServerProcess>(
            std::vector<std::string>{"nginx", "--root", repo()});
        ASSERT_TRUE(m_web->started()) << m_web->failure();
        m_options.url = m_web->url();
        // a Target from before, which every failed run must leave alone
        fs::create_directories(target() + "/docs");
        qortest::writeTextFile(target() + "/docs/a.txt", "old");
        qortest::writeTextFile(target() + "/local.cfg", "mine");
    }

    void expectTargetAsBefore()
    {
        EXPECT_EQ(qortest::readTextFile(target() + "/docs/a.txt"), "old");
        EXPECT_EQ(qortest::readTextFile(target() + "/local.cfg"), "mine");
        EXPECT_FALSE(fs::exists(target() + "/big.bin"));
        EXPECT_FALSE(fs::exists(target() + ".pelvane-staging"));
        EXPECT_FALSE(fs::exists(target() + ".pelvane-previous"));
        EXPECT_FALSE(fs::exists(flagFile()));
    }

    // Without any fault the run completes from whatever the failed one left.
    void expectALaterRunCompletes()
    {
        const Outcome end = runToEnd(m_options);
        ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
        EXPECT_EQ(qortest::readTextFile(target() + "/big.bin"), m_big);
        EXPECT_EQ(qortest::readTextFile(target() + "/docs/a.txt"), "new");
        EXPECT_EQ(qortest::readTextFile(target() + "/local.cfg"), "mine");
    }

    std::string m_big;
    std::unique_ptr<qortest::ServerProcess> m_web;
    InitOptions m_options;
};

TEST_F(SystemFaultTest, DiskFullWhileDownloadingIsADiskErrorWithEnospc)
{
    {
        FaultInjection faults(FaultInjection::fail(Call::Write, ENOSPC));
        const Outcome end = runToEnd(m_options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_DISK);
        EXPECT_EQ(end.primary, ENOSPC);
        EXPECT_GT(faults.injected(), 0);
    }
    expectTargetAsBefore();
    expectALaterRunCompletes();
}

TEST_F(SystemFaultTest, DiskFullWhileBuildingTargetKeepsTheOldTarget)
{
    {
        // no hard links (another file system), and the disk fills once the
        // staging folder is being filled
        std::atomic<bool> assembling{false};
        FaultInjection faults(
            [&assembling](Call call, const std::string& path)
            {
                if (path.find(".pelvane-staging") != std::string::npos)
                {
                    assembling = true;
                }
                if (call == Call::Link)
                {
                    return EXDEV;
                }
                return call == Call::Write && assembling ? ENOSPC : 0;
            });
        const Outcome end = runToEnd(m_options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_DISK);
        EXPECT_EQ(end.primary, ENOSPC);
        EXPECT_TRUE(assembling);
    }
    expectTargetAsBefore();
    // the verified download is kept for the next run
    EXPECT_TRUE(fs::exists(extract() + "/1.0.0/files/big.bin"));
    expectALaterRunCompletes();
}

TEST_F(SystemFaultTest, RefusedOpenInExtractIsADiskErrorWithEacces)
{
    {
        FaultInjection faults(FaultInjection::fail(Call::Open, EACCES, "/partial/"));
        const Outcome end = runToEnd(m_options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_DISK);
        EXPECT_EQ(end.primary, EACCES);
    }
    expectTargetAsBefore();
    expectALaterRunCompletes();
}

TEST_F(SystemFaultTest, SwapAcrossFileSystemsFailsAndPutsTheOldTargetBack)
{
    for (const std::string renamed : {".pelvane-staging", "/target"})
    {
        SCOPED_TRACE(renamed);
        {
            // the staging folder cannot be renamed to Target, or the old
            // Target cannot be set aside
            FaultInjection faults(
                [&renamed](Call call, const std::string& path)
                { return call == Call::Rename && endsWith(path, renamed) ? EXDEV : 0; });
            const Outcome end = runToEnd(m_options);
            EXPECT_EQ(end.result, 0);
            EXPECT_EQ(end.api, pelvane::API_DISK);
            EXPECT_EQ(end.primary, EXDEV);
        }
        expectTargetAsBefore();
    }
    expectALaterRunCompletes();
}

TEST_F(SystemFaultTest, EveryCallInterruptedOnceStillDownloadsTheWholeUpdate)
{
    FaultInjection faults(FaultInjection::interruptEachCallOnce());
    expectALaterRunCompletes();
    // every kind of call the run makes was interrupted at least once
    EXPECT_GT(faults.injected(), 50);
}

TEST_F(SystemFaultTest, AChunkAssemblyMeetsDiskFullAndInterruptionsThroughTheSameCalls)
{
    // Target holds an older big.bin: most of the new one comes from its chunks
    std::string older = m_big;
    older.replace(300000, 5000, patternData(5000, 99));
    qortest::writeTextFile(target() + "/big.bin", older);
    ::setenv("PELVANE_BASE_STORE", "0", 1);
    {
        std::atomic<bool> assembling{false};
        FaultInjection faults(
            [&assembling](Call call, const std::string& path)
            {
                if (call == Call::Open && path.find(".chunked") != std::string::npos)
                {
                    assembling = true;
                }
                return call == Call::Write && assembling ? ENOSPC : 0;
            });
        const Outcome end = runToEnd(m_options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_DISK);
        EXPECT_EQ(end.primary, ENOSPC);
        EXPECT_TRUE(assembling) << "the file was not assembled from chunks";
    }
    EXPECT_EQ(qortest::readTextFile(target() + "/big.bin"), older);
    EXPECT_FALSE(fs::exists(flagFile()));

    std::atomic<bool> assembled{false};
    const FaultInjection::Rule interrupt = FaultInjection::interruptEachCallOnce();
    FaultInjection faults(
        [&](Call call, const std::string& path)
        {
            if (call == Call::Rename && path.find(".chunked") != std::string::npos)
            {
                assembled = true;
            }
            return interrupt(call, path);
        });
    expectALaterRunCompletes();
    EXPECT_TRUE(assembled) << "the later run fetched big.bin whole";
    EXPECT_GT(faults.injected(), 50);
}

TEST_F(SystemFaultTest, ManySmallFilesAreFlushedOnceBeforeTheSwapAndAFailedFlushKeepsTarget)
{
    std::map<std::string, std::string> files{{"big.bin", m_big}, {"docs/a.txt", "new"}};
    constexpr int SMALL_FILES = 40;
    for (int i = 0; i < SMALL_FILES; ++i)
    {
        files["small/file" + std::to_string(i) + ".txt"] = "small file " + std::to_string(i);
    }
    publish("1.1.0", files);
    {
        FaultInjection faults(FaultInjection::fail(Call::Sync, EIO, ".pelvane-staging"));
        const Outcome end = runToEnd(m_options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_DISK);
        EXPECT_EQ(end.primary, EIO);
        EXPECT_EQ(faults.injected(), 1);
    }
    expectTargetAsBefore();

    std::atomic<int> flushes{0};
    std::atomic<bool> stagingFlushed{false};
    std::atomic<bool> swappedUnflushed{false};
    FaultInjection watch(
        [&](Call call, const std::string& path)
        {
            const bool staging = path.find(".pelvane-staging") != std::string::npos;
            if (call == Call::Sync)
            {
                ++flushes;
                stagingFlushed = stagingFlushed || staging;
            }
            // the staging folder itself renamed to Target
            if (call == Call::Rename && endsWith(path, ".pelvane-staging") && !stagingFlushed)
            {
                swappedUnflushed = true;
            }
            return 0;
        });
    expectALaterRunCompletes();
    EXPECT_EQ(qortest::readTextFile(target() + "/small/file7.txt"), "small file 7");
    EXPECT_TRUE(stagingFlushed);
    EXPECT_FALSE(swappedUnflushed) << "Target was swapped in before its files were flushed";
    // the state files of the run are flushed on their own, the files not
    EXPECT_LT(flushes, SMALL_FILES / 4);
}
} // namespace

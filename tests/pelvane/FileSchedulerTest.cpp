// The files of an update on several lanes: the caller sees them as if they
// ran one after the other (log in file order, progress only growing and
// exact at the end), files that read from others wait for them, and the
// outcome of a failure does not depend on which lane got there first.
#include "LogCapture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/TransferLimits.h"
#include "pelvane/session/FileScheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace pelvane;

namespace
{
constexpr std::uint64_t BLOCK = ProgressState::BLOCK_BYTES;

std::vector<FileScheduler::File> filesOf(std::size_t count, std::uint64_t bytes)
{
    return std::vector<FileScheduler::File>(count, FileScheduler::File{bytes, {}});
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
} // namespace

TEST(FileSchedulerTest, ParallelFilesLogInFileOrderAndCountEveryByteOnce)
{
    CancelToken cancel;
    ProgressState progress;
    progress.setUpdate(1, ProgressState::blocksFor(6 * 2 * BLOCK));
    FileScheduler scheduler(cancel, progress);
    std::vector<FileScheduler::File> files = filesOf(6, 2 * BLOCK);
    files[5].after = {1}; // reads its chunks from file 1
    std::atomic<bool> oneDone{false};
    std::atomic<bool> fiveStartedEarly{false};
    qortest::LogCapture log;
    const auto work = [&](std::size_t, std::size_t file, const FileScheduler::Report& report)
    {
        fiveStartedEarly = fiveStartedEarly || (file == 5 && !oneDone);
        PELVANE_LOG_INFO("begin " << file);
        // later files finish first: their lines must still follow the earlier ones'
        pause(static_cast<int>(60 - 10 * file));
        report.progress(BLOCK);
        report.progress(5 * BLOCK); // beyond the plan: counts the plan only
        if (file == 2)
        {
            report.extra(BLOCK); // a fallback brings one block more
            report.progress(3 * BLOCK);
        }
        PELVANE_LOG_INFO("end " << file);
        oneDone = oneDone || file == 1;
        return Outcome();
    };
    ASSERT_TRUE(scheduler.run(files, 4, work).ok());
    EXPECT_FALSE(fiveStartedEarly);
    std::vector<std::string> order;
    for (std::size_t file = 0; file < files.size(); ++file)
    {
        order.push_back("INFO begin " + std::to_string(file));
        order.push_back("INFO end " + std::to_string(file));
    }
    const std::vector<std::string> lines = log.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 12, lines.end()), order) << log.text();
    std::int32_t status = 0, updates = 0, current = 0, blocks = 0, done = 0;
    progress.read(&status, &updates, &current, &blocks, &done);
    EXPECT_EQ(blocks, 13);
    EXPECT_EQ(done, 13);
}

TEST(FileSchedulerTest, AFileWaitingForAnotherHoldsNoLane)
{
    CancelToken cancel;
    ProgressState progress;
    FileScheduler scheduler(cancel, progress);
    std::vector<FileScheduler::File> files = filesOf(5, 1);
    files[1].after = {0}; // as files decoded from the bundle that file 0 brings
    std::atomic<bool> lastDone{false};
    std::atomic<bool> zeroSawLast{false};
    std::atomic<bool> zeroDone{false};
    std::atomic<bool> oneTooEarly{false};
    const auto work = [&](std::size_t, std::size_t file, const FileScheduler::Report&)
    {
        if (file == 0)
        {
            // the later, independent files finish on the other lane meanwhile
            for (int waited = 0; !lastDone && waited < 5000; waited += 5)
            {
                pause(5);
            }
            zeroSawLast = lastDone.load();
            zeroDone = true;
        }
        oneTooEarly = oneTooEarly || (file == 1 && !zeroDone);
        lastDone = lastDone || file == 4;
        return Outcome();
    };
    ASSERT_TRUE(scheduler.run(files, 2, work).ok());
    EXPECT_TRUE(zeroSawLast) << "the lane waiting for file 0 held files 2 to 4 back";
    EXPECT_FALSE(oneTooEarly);
}

TEST(FileSchedulerTest, TheEarliestFailingFileNamesTheOutcomeAndStopsTheRest)
{
    CancelToken cancel;
    ProgressState progress;
    FileScheduler scheduler(cancel, progress);
    std::atomic<int> started{0};
    std::atomic<bool> stoppedSeen{false};
    const auto work = [&](std::size_t, std::size_t file, const FileScheduler::Report&)
    {
        ++started;
        if (file == 3)
        {
            return Outcome::failure(API_HASH); // fails first
        }
        if (file == 1)
        {
            // still on its way when 3 fails, and fails too, on its own account
            while (!scheduler.stop().canceled())
            {
                pause(5);
            }
            return Outcome::http(22, 404);
        }
        if (!scheduler.stop().sleepFor(std::chrono::seconds(20)))
        {
            stoppedSeen = true;
            return Outcome::canceled();
        }
        return Outcome();
    };
    const auto begun = std::chrono::steady_clock::now();
    const Outcome result = scheduler.run(filesOf(40, 1), 4, work);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
    EXPECT_EQ(result.apiError, API_HTTP) << "file 1's failure, not file 3's nor a stop";
    EXPECT_EQ(result.secondary, 404);
    EXPECT_TRUE(stoppedSeen);
    EXPECT_EQ(started, 4) << "no new file starts after a failure";
    EXPECT_FALSE(cancel.canceled()) << "the caller's token is not touched";
}

TEST(FileSchedulerTest, TheCallersCancelIsTheOutcome)
{
    CancelToken cancel;
    ProgressState progress;
    FileScheduler scheduler(cancel, progress);
    const auto work = [&](std::size_t, std::size_t file, const FileScheduler::Report&)
    {
        if (file == 2)
        {
            cancel.cancel();
        }
        return scheduler.stop().sleepFor(std::chrono::seconds(20)) ? Outcome()
                                                                    : Outcome::canceled();
    };
    EXPECT_EQ(scheduler.run(filesOf(10, 1), 3, work).apiError, API_CANCELED);
}

TEST(FileSchedulerTest, TheConnectionsSettingIsOneToSixteenElseTheDefaultWithAWarning)
{
    qortest::LogCapture log;
    for (const auto& [text, connections] :
         std::vector<std::pair<const char*, int>>{{"1", 1}, {"16", 16}, {"17", 4}, {"0", 4}, {"x", 4}})
    {
        ::setenv("PELVANE_CONNECTIONS", text, 1);
        EXPECT_EQ(TransferLimits::fromEnvironment().connections, connections) << text;
    }
    ::unsetenv("PELVANE_CONNECTIONS");
    EXPECT_EQ(TransferLimits::fromEnvironment().connections, 4);
    EXPECT_TRUE(log.contains(
        "WARN Ignoring PELVANE_CONNECTIONS=17: not a number from 1 to 16; using 4"))
        << log.text();
}

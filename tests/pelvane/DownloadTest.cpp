// Whole runs against real servers on 127.0.0.1: what lands in Target and
// Extract, the progress the library reports, and resuming interrupted files.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/trust/ChannelHistory.h"

#include <filesystem>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
const std::size_t BLOCK = 64 * 1024;

std::size_t countFileRequests(const std::vector<SeenRequest>& requests, const std::string& path)
{
    std::size_t count = 0;
    for (const SeenRequest& request : requests)
    {
        count += request.path == path ? 1U : 0U;
    }
    return count;
}

class DownloadTest : public UpdateFixture
{
protected:
    void publishThreeVersions()
    {
        publish("1.0.0", {{"bin/app.exe", "one"}, {"readme.txt", "old readme"}}, "first");
        publish("1.1.0", {{"bin/app.exe", patternData(3 * BLOCK + 17, 1)}, {"lib/a.dll", "A1"}},
                "second");
        publish("2.0.0", {{"bin/app.exe", patternData(2 * BLOCK, 2)}, {"doc/new.txt", "new"}},
                "Release notes of 2.0.0");
    }
};
} // namespace

TEST_F(DownloadTest, NewerVersionsAreCountedDescribedAndAssembledInOrder)
{
    publishThreeVersions();
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();

    InitOptions options;
    options.url = web.url();
    options.version = "1.0.0";
    ASSERT_EQ(init(options).result, 1);

    std::int32_t count = -1;
    lib().getVersionCount(&count);
    ASSERT_EQ(outcome().result, 1);
    EXPECT_EQ(count, 2);

    char version[1024] = {};
    char notes[4096] = {};
    std::int32_t files = 0, kib = 0, updates = 0;
    lib().getVersionInfo(0, version, 1023, notes, 4095, &files, &kib, &updates);
    ASSERT_EQ(outcome().result, 1);
    EXPECT_STREQ(version, "2.0.0");
    EXPECT_STREQ(notes, "Release notes of 2.0.0");
    EXPECT_EQ(files, 4); // two of 1.1.0, two of 2.0.0
    EXPECT_EQ(updates, 2);
    EXPECT_EQ(kib, static_cast<std::int32_t>((3 * BLOCK + 17 + 2 + 2 * BLOCK + 3 + 1023) / 1024));

    lib().getVersionInfo(1, version, 1023, notes, 4095, &files, &kib, &updates);
    EXPECT_STREQ(version, "1.1.0");
    EXPECT_EQ(updates, 1);

    lib().downloadUntil("2.0.0");
    std::vector<StatusSample> samples;
    ASSERT_TRUE(waitForEnd(std::chrono::seconds(60), &samples));
    const Outcome end = outcome();
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;

    // later versions win, files of earlier versions stay
    EXPECT_EQ(qortest::readTextFile(target() + "/bin/app.exe"), patternData(2 * BLOCK, 2));
    EXPECT_EQ(qortest::readTextFile(target() + "/lib/a.dll"), "A1");
    EXPECT_EQ(qortest::readTextFile(target() + "/doc/new.txt"), "new");
    EXPECT_FALSE(fs::exists(target() + "/readme.txt")) << "1.0.0 is installed, not downloaded";
    EXPECT_TRUE(fs::exists(flagFile()));
    // KeepArchives 1: the downloads stay in Extract
    EXPECT_TRUE(fs::exists(extract() + "/1.1.0/files/lib/a.dll"));
    EXPECT_TRUE(fs::exists(extract() + "/2.0.0/files/doc/new.txt"));

    // progress never goes back and ends exactly on the last block of the last update
    ASSERT_FALSE(samples.empty());
    for (std::size_t i = 1; i < samples.size(); ++i)
    {
        const StatusSample& a = samples[i - 1];
        const StatusSample& b = samples[i];
        EXPECT_TRUE(b.currentUpdate > a.currentUpdate ||
                    (b.currentUpdate == a.currentUpdate && b.currentBlock >= a.currentBlock));
        EXPECT_LE(b.currentBlock, b.nbBlock);
    }
    const StatusSample last = status();
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.nbUpdate, 2);
    EXPECT_EQ(last.currentUpdate, 2);
    EXPECT_EQ(last.nbBlock, 2 + 1); // 2 blocks of app.exe + 3 bytes
    EXPECT_EQ(last.currentBlock, last.nbBlock);
}

TEST_F(DownloadTest, DownloadUntilStopsAtTheRequestedVersionAndEmptyVersionTakesAll)
{
    publishThreeVersions();
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    ASSERT_EQ(init(options).result, 1);
    std::int32_t count = -1;
    lib().getVersionCount(&count);
    EXPECT_EQ(count, 3);
    lib().downloadUntil("1.1.0");
    ASSERT_TRUE(waitForEnd());
    ASSERT_EQ(outcome().result, 1);
    EXPECT_EQ(status().nbUpdate, 2);
    EXPECT_EQ(qortest::readTextFile(target() + "/readme.txt"), "old readme");
    EXPECT_EQ(qortest::readTextFile(target() + "/bin/app.exe"), patternData(3 * BLOCK + 17, 1));
    EXPECT_FALSE(fs::exists(target() + "/doc/new.txt"));

    lib().downloadUntil("9.9.9");
    EXPECT_EQ(outcome().api, pelvane::API_UNKNOWN_VERSION);
}

TEST_F(DownloadTest, KeepArchivesZeroLeavesNoCopyInExtractAndOldTargetFilesSurvive)
{
    publish("3.0.0", {{"a.txt", "fresh"}, {"deep/b.bin", patternData(BLOCK + 1, 3)}});
    fs::create_directories(target());
    qortest::writeTextFile(target() + "/a.txt", "stale");
    qortest::writeTextFile(target() + "/local.cfg", "keep me");
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    options.keepArchives = 0;
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/a.txt"), "fresh");
    EXPECT_EQ(qortest::readTextFile(target() + "/local.cfg"), "keep me");
    EXPECT_FALSE(fs::exists(extract() + "/3.0.0"));
    EXPECT_FALSE(fs::exists(target() + ".pelvane-staging"));
    EXPECT_FALSE(fs::exists(target() + ".pelvane-previous"));
}

TEST_F(DownloadTest, FileUrlRepositoryWorksWithoutAServer)
{
    publish("1.0.0", {{"x/y.txt", "from disk"}});
    InitOptions options;
    options.url = "file://" + repo();
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/x/y.txt"), "from disk");
}

TEST_F(DownloadTest, ProgressIsExactWhileTheServerHoldsBack)
{
    const std::string data = patternData(20 * BLOCK, 4);
    publish("1.0.0", {{"big.bin", data}});
    const std::string log = temp() / "requests.log";
    const std::string filePath =
        fileUrlPath("1.0.0", "big.bin");
    // 10 blocks and a bit arrive, then nothing for 3 s, then the connection drops
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--requests-log", log, "--rule",
         R"({"path":")" + filePath + R"(","kind":"stall","after":655460,"seconds":3,"times":1})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    ASSERT_TRUE(startDownload(options));

    StatusSample held;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline)
    {
        held = status();
        if (held.currentBlock == 10)
        {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(held.status, 1);
    EXPECT_EQ(held.nbUpdate, 1);
    EXPECT_EQ(held.currentUpdate, 1);
    EXPECT_EQ(held.nbBlock, 20);
    EXPECT_EQ(held.currentBlock, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(status().currentBlock, 10) << "no byte arrived, no block may be counted";
    const Outcome running = outcome();
    EXPECT_EQ(running.result, 1) << "nothing has failed while the download runs";
    EXPECT_EQ(running.api, 0);

    ASSERT_TRUE(waitForEnd());
    ASSERT_EQ(outcome().result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/big.bin"), data);
    const auto requests = readRequests(log);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().range, "bytes=655460-") << "the retry resumes where the drop was";
}

TEST_F(DownloadTest, DropsAtSeveralPointsAreResumedWithIfRange)
{
    const std::string data = patternData(6 * BLOCK + 5, 5);
    publish("1.0.0", {{"payload.bin", data}});
    const std::string log = temp() / "requests.log";
    const std::string filePath =
        fileUrlPath("1.0.0", "payload.bin");
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--requests-log", log, "--rule",
         R"({"path":")" + filePath + R"(","kind":"drop","after":1000,"times":1})", "--rule",
         R"({"path":")" + filePath + R"(","kind":"drop","after":200000,"times":1})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    const Outcome end = runToEnd(options);
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
    EXPECT_EQ(qortest::readTextFile(target() + "/payload.bin"), data);

    std::vector<SeenRequest> fileRequests;
    for (const SeenRequest& request : readRequests(log))
    {
        if (request.path == filePath)
        {
            fileRequests.push_back(request);
        }
    }
    ASSERT_EQ(fileRequests.size(), 3U);
    EXPECT_EQ(fileRequests[0].range, "");
    EXPECT_EQ(fileRequests[1].range, "bytes=1000-");
    EXPECT_EQ(fileRequests[2].range, "bytes=201000-");
    EXPECT_FALSE(fileRequests[1].ifRange.empty());
    EXPECT_EQ(fileRequests[1].ifRange, fileRequests[2].ifRange);
}

TEST_F(DownloadTest, ANextRunResumesWhatAnEarlierRunLeft)
{
    const std::string data = patternData(4 * BLOCK, 6);
    publish("1.0.0", {{"f.bin", data}});
    const std::string log = temp() / "requests.log";
    const std::string filePath =
        fileUrlPath("1.0.0", "f.bin");
    {
        // three drops: the first run gives up and leaves the partial file behind
        qortest::ServerProcess faults(
            {"faults", "--root", repo(), "--rule",
             R"({"path":")" + filePath + R"(","kind":"drop","after":70000,"times":3})"});
        ASSERT_TRUE(faults.started()) << faults.failure();
        InitOptions options;
        options.url = faults.url();
        const Outcome failed = runToEnd(options);
        EXPECT_EQ(failed.result, 0);
        EXPECT_EQ(failed.api, pelvane::API_NETWORK);
        EXPECT_FALSE(fs::exists(target()));
        EXPECT_TRUE(fs::exists(extract() + "/1.0.0/partial/f.bin.part"));
        EXPECT_TRUE(fs::exists(extract() + "/1.0.0/partial/f.bin.part.meta"));
    }
    {
        qortest::ServerProcess faults({"faults", "--root", repo(), "--requests-log", log});
        ASSERT_TRUE(faults.started()) << faults.failure();
        InitOptions options;
        options.url = faults.url();
        ASSERT_EQ(runToEnd(options).result, 1);
        EXPECT_EQ(qortest::readTextFile(target() + "/f.bin"), data);
        const auto requests = readRequests(log);
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().range, "bytes=210000-");
    }
}

TEST_F(DownloadTest, AResumedFileThatDoesNotVerifyIsFetchedOnceMoreFromTheStart)
{
    const std::string data = patternData(3 * BLOCK, 7);
    publish("1.0.0", {{"f.bin", data}});
    const std::string filePath =
        fileUrlPath("1.0.0", "f.bin");
    const std::string log = temp() / "requests.log";
    {
        qortest::ServerProcess faults(
            {"faults", "--root", repo(), "--rule",
             R"({"path":")" + filePath + R"(","kind":"drop","after":50000,"times":3})"});
        ASSERT_TRUE(faults.started()) << faults.failure();
        InitOptions options;
        options.url = faults.url();
        EXPECT_EQ(runToEnd(options).result, 0);
    }
    // spoil the kept part: its bytes no longer match the file on the server
    const std::string part = extract() + "/1.0.0/partial/f.bin.part";
    ASSERT_TRUE(fs::exists(part));
    std::string spoiled = qortest::readTextFile(part);
    spoiled[10] = static_cast<char>(spoiled[10] ^ 0x55);
    qortest::writeTextFile(part, spoiled);

    qortest::ServerProcess faults({"faults", "--root", repo(), "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/f.bin"), data);
    const auto requests = readRequests(log);
    ASSERT_GE(requests.size(), 2U);
    EXPECT_EQ(requests[requests.size() - 2].range, "bytes=150000-");
    EXPECT_EQ(requests.back().range, "") << "the second fetch starts from the beginning";
}

TEST_F(DownloadTest, APartialFileOfAnOlderBuildIsReplacedWholeWhenTheValidatorNoLongerMatches)
{
    publish("1.0.0", {{"f.bin", patternData(3 * BLOCK, 8)}});
    const std::string filePath =
        fileUrlPath("1.0.0", "f.bin");
    {
        qortest::ServerProcess faults(
            {"faults", "--root", repo(), "--rule",
             R"({"path":")" + filePath + R"(","kind":"drop","after":40000,"times":3})"});
        ASSERT_TRUE(faults.started()) << faults.failure();
        InitOptions options;
        options.url = faults.url();
        EXPECT_EQ(runToEnd(options).result, 0);
    }
    // the publisher rebuilt 1.0.0 meanwhile: other bytes, other validator
    const std::string rebuilt = patternData(3 * BLOCK + 999, 9);
    publish("1.0.0", {{"f.bin", rebuilt}}, "", true);
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults({"faults", "--root", repo(), "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/f.bin"), rebuilt);
    const auto requests = readRequests(log);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().range, "bytes=120000-");
    EXPECT_FALSE(requests.back().ifRange.empty());
    EXPECT_EQ(countFileRequests(requests, filePath), 1U) << "the 200 answer was taken whole";
}

TEST_F(DownloadTest, AClientOlderThanEveryKeptVersionStartsAtTheNewestCompleteOne)
{
    publish("1.0.0", {{"a.txt", "a1"}, {"gone.txt", "only in 1.0.0"}}, "", false, {"--complete"});
    publish("1.1.0", {{"a.txt", "a2"}});
    publish("1.2.0", {{"a.txt", "a3"}, {"b.txt", "b3"}}, "", false, {"--complete"});
    publish("1.3.0", {{"b.txt", "b4"}}, "", false, {"--keep-versions", "2"});
    ASSERT_FALSE(fs::exists(channelFolder() + "/1.1.0")) << "pruned";
    const std::string accessLog = temp() / "access.log";
    qortest::ServerProcess web({"nginx", "--root", repo(), "--access-log", accessLog});
    ASSERT_TRUE(web.started()) << web.failure();
    fs::create_directories(target());
    qortest::writeTextFile(target() + "/a.txt", "a1");
    qortest::writeTextFile(target() + "/gone.txt", "only in 1.0.0");
    // three versions behind, and older than everything the channel still lists
    InitOptions options;
    options.url = web.url();
    options.version = "1.0.0";
    ASSERT_EQ(init(options).result, 1);
    std::int32_t count = -1;
    lib().getVersionCount(&count);
    EXPECT_EQ(count, 2);
    char version[16] = {};
    char notes[16] = {};
    std::int32_t files = 0, kib = 0, updates = 0;
    lib().getVersionInfo(0, version, sizeof version, notes, sizeof notes, &files, &kib, &updates);
    EXPECT_EQ(std::string(version), "1.3.0");
    EXPECT_EQ(files, 3) << "1.2.0's two files and 1.3.0's one";
    EXPECT_EQ(updates, 2);
    lib().downloadUntil("1.3.0");
    ASSERT_TRUE(waitForEnd());
    ASSERT_EQ(outcome().result, 1) << outcome().api;
    EXPECT_EQ(qortest::readTextFile(target() + "/a.txt"), "a3");
    EXPECT_EQ(qortest::readTextFile(target() + "/b.txt"), "b4");
    const std::string log = qortest::readTextFile(accessLog);
    EXPECT_NE(log.find("/1.2.0/list.json.zst 200"), std::string::npos) << log;
    EXPECT_NE(log.find("/1.3.0/list.json.zst 200"), std::string::npos) << log;
    EXPECT_EQ(log.find("/1.0.0/"), std::string::npos) << "nothing of a pruned version is asked for";
}

TEST_F(DownloadTest, AClientOlderThanEveryListedVersionGetsTheSameAnswersThroughTheHistory)
{
    // 1.0 .. 1.2W: even versions whole trees, odd ones overlays of one file
    const std::size_t last = 2 * pelvane::ChannelHistory::LISTED;
    for (std::size_t i = 0; i <= last; ++i)
    {
        const std::string n = std::to_string(i);
        if (i % 2 == 0)
        {
            publish("1." + n, {{"a.txt", "a" + n}, {"b.txt", "b"}}, "notes " + n, false,
                    {"--complete", "--delta-from", "0"});
        }
        else
        {
            publish("1." + n, {{"c.txt", "c" + n}}, "notes " + n, false, {"--delta-from", "0"});
        }
    }
    ASSERT_TRUE(fs::is_directory(channelFolder() + "/history"));
    const std::string accessLog = temp() / "access.log";
    qortest::ServerProcess web({"nginx", "--root", repo(), "--access-log", accessLog});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    const auto countFrom = [&](const std::string& installed)
    {
        options.version = installed;
        EXPECT_EQ(init(options).result, 1);
        std::int32_t count = -1;
        lib().getVersionCount(&count);
        EXPECT_EQ(outcome().result, 1) << outcome().api;
        return count;
    };
    // a client inside the listed window never asks for the history
    EXPECT_EQ(countFrom("1." + std::to_string(last - 4)), 4);
    EXPECT_EQ(qortest::readTextFile(accessLog).find("/history/"), std::string::npos);

    // older than every version listed: every newer version, as if all were listed
    EXPECT_EQ(countFrom("1.0"), static_cast<std::int32_t>(last));
    EXPECT_NE(qortest::readTextFile(accessLog).find("/history/"), std::string::npos);
    char version[16] = {};
    char notes[16] = {};
    std::int32_t files = 0, kib = 0, updates = 0;
    lib().getVersionInfo(static_cast<std::int32_t>(last) - 1, version, sizeof version, notes,
                         sizeof notes, &files, &kib, &updates);
    ASSERT_EQ(outcome().result, 1);
    EXPECT_STREQ(version, "1.1");
    EXPECT_STREQ(notes, "notes 1");
    EXPECT_EQ(files, 1);
    EXPECT_EQ(updates, 1);
    lib().getVersionInfo(static_cast<std::int32_t>(last) - 3, version, sizeof version, notes,
                         sizeof notes, &files, &kib, &updates);
    EXPECT_STREQ(version, "1.3");
    EXPECT_EQ(files, 3) << "1.2's tree and 1.3's file";
    EXPECT_EQ(updates, 2);
    lib().getVersionInfo(0, version, sizeof version, notes, sizeof notes, &files, &kib, &updates);
    EXPECT_EQ(std::string(version), "1." + std::to_string(last));
    EXPECT_EQ(updates, 1);

    // and it updates to a version that only the history lists
    lib().downloadUntil("1.3");
    ASSERT_TRUE(waitForEnd());
    ASSERT_EQ(outcome().result, 1) << outcome().api;
    EXPECT_EQ(qortest::readTextFile(target() + "/a.txt"), "a2");
    EXPECT_EQ(qortest::readTextFile(target() + "/c.txt"), "c3");
}

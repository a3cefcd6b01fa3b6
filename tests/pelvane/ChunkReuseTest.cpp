// Whole runs that reuse what the client already holds: chunks from Target,
// from the base store, from files fetched earlier in the same run; what
// travels is checked against the fault server's record of every Range asked
// for, and the status's blocks against the bytes that really changed.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ChunkIndex.h"

#include <cstdlib>
#include <filesystem>
#include <set>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
const std::uint64_t BLOCK = 64 * 1024;

class ChunkReuseTest : public UpdateFixture
{
protected:
    // Without deltas: the chunk path is the one under test, and a delta
    // would beat it.
    void publish(const std::string& version, const std::map<std::string, std::string>& files)
    {
        UpdateFixture::publish(version, files, "", false, {"--delta-from", "0"});
    }

    // Three bytes runs replaced, one inserted, one removed.
    static std::string edited(std::string data, unsigned seed)
    {
        for (std::size_t at : {100000U, 420000U, 800000U})
        {
            data.replace(at, 2000, patternData(2000, seed + static_cast<unsigned>(at)));
        }
        data.insert(600000, patternData(3000, seed));
        data.erase(900000, 2500);
        return data;
    }

    std::string baseStore() const
    {
        return temp() /
               ("cache/pelvane/base/" +
                pelvane::sha256Hex(PRODUCT + "\n" + APPLICATION + "/" + LANGUAGE).substr(0, 16));
    }

    // Bytes of the distinct chunks of `newer` that `older` does not have.
    static std::uint64_t changedBytes(const std::string& older, const std::string& newer,
                                      const std::string& scratch)
    {
        std::set<std::string> known;
        pelvane::ChunkIndex index;
        int error = 0;
        qortest::writeTextFile(scratch, older);
        pelvane::ChunkIndex::build(scratch, index, nullptr, nullptr, error);
        for (const pelvane::Chunk& chunk : index.chunks())
        {
            known.insert(chunk.sha256);
        }
        qortest::writeTextFile(scratch, newer);
        pelvane::ChunkIndex::build(scratch, index, nullptr, nullptr, error);
        std::uint64_t changed = 0;
        for (const pelvane::Chunk& chunk : index.chunks())
        {
            // a chunk the new file holds twice needs to travel once
            changed += known.insert(chunk.sha256).second ? chunk.length : 0;
        }
        return changed;
    }

    // What the requests for `path` asked for: ranges summed, a request
    // without Range counts the whole file.
    struct Traffic
    {
        std::size_t requests = 0;
        std::size_t whole = 0;
        std::uint64_t rangeBytes = 0;
    };
    static Traffic trafficOf(const std::vector<SeenRequest>& requests, const std::string& path)
    {
        Traffic traffic;
        for (const SeenRequest& request : requests)
        {
            if (request.path != path)
            {
                continue;
            }
            ++traffic.requests;
            if (request.range.empty())
            {
                ++traffic.whole;
                continue;
            }
            std::size_t at = 6; // "bytes="
            while (at < request.range.size())
            {
                const std::size_t comma =
                    std::min(request.range.find(',', at), request.range.size());
                const std::string part = request.range.substr(at, comma - at);
                traffic.rangeBytes +=
                    std::stoull(part.substr(part.find('-') + 1)) - std::stoull(part) + 1;
                at = comma + 1;
            }
        }
        return traffic;
    }
};
} // namespace

TEST_F(ChunkReuseTest, ChunksComeFromTargetAndTheBlocksCountOnlyWhatTravels)
{
    const std::string first = patternData(1024 * 1024, 21);
    const std::string second = edited(first, 22);
    ::setenv("PELVANE_BASE_STORE", "0", 1); // Target is the only local copy
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--multirange", "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    const Outcome end = updateFrom("1.0.0", faults.url());
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);

    const std::uint64_t changed = changedBytes(first, second, temp() / "scratch");
    const Traffic traffic = trafficOf(readRequests(log), fileUrlPath("2.0.0", "app.bin"));
    EXPECT_EQ(traffic.whole, 0U);
    EXPECT_EQ(traffic.rangeBytes, changed);
    EXPECT_LT(changed, second.size() / 2);
    const StatusSample last = status();
    EXPECT_EQ(last.nbBlock, static_cast<std::int32_t>((changed + BLOCK - 1) / BLOCK));
    EXPECT_EQ(last.currentBlock, last.nbBlock);
    EXPECT_FALSE(fs::exists(baseStore())) << "the base store was turned off";
}

TEST_F(ChunkReuseTest, ChunksComeFromTheBaseStoreWhenTargetIsGone)
{
    const std::string first = patternData(1024 * 1024, 31);
    const std::string second = edited(first, 32);
    installFirstVersion({{"bin/app.bin", first}});
    EXPECT_EQ(qortest::readTextFile(baseStore() + "/files/bin/app.bin"), first);
    EXPECT_EQ(qortest::readTextFile(baseStore() + "/version.txt"), "1.0.0\n");
    fs::remove_all(target());
    fs::remove_all(extract());

    publish("2.0.0", {{"bin/app.bin", second}});
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--multirange", "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    ASSERT_EQ(updateFrom("1.0.0", faults.url()).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/bin/app.bin"), second);
    const Traffic traffic = trafficOf(readRequests(log), fileUrlPath("2.0.0", "bin/app.bin"));
    EXPECT_EQ(traffic.whole, 0U);
    EXPECT_EQ(traffic.rangeBytes, changedBytes(first, second, temp() / "scratch"));
    // the store now holds the new version
    EXPECT_EQ(qortest::readTextFile(baseStore() + "/files/bin/app.bin"), second);
    EXPECT_EQ(qortest::readTextFile(baseStore() + "/version.txt"), "2.0.0\n");
}

TEST_F(ChunkReuseTest, ChunksFetchedEarlierInTheRunServeLaterFiles)
{
    const std::string a = patternData(1024 * 1024, 41);
    const std::string b = edited(a, 42);
    publish("1.0.0", {{"a.bin", a}});
    publish("1.1.0", {{"b.bin", b}});
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--multirange", "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    ASSERT_EQ(updateFrom("", faults.url()).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/a.bin"), a);
    EXPECT_EQ(qortest::readTextFile(target() + "/b.bin"), b);
    const auto requests = readRequests(log);
    EXPECT_EQ(trafficOf(requests, fileUrlPath("1.0.0", "a.bin")).whole, 1U);
    const Traffic traffic = trafficOf(requests, fileUrlPath("1.1.0", "b.bin"));
    EXPECT_EQ(traffic.whole, 0U);
    EXPECT_EQ(traffic.rangeBytes, changedBytes(a, b, temp() / "scratch"));
}

TEST_F(ChunkReuseTest, APathThatALaterUpdateReplacesIsNotFetched)
{
    publish("1.0.0", {{"x.bin", patternData(300000, 51)}, {"keep.txt", "kept"}});
    publish("1.1.0", {{"x.bin", patternData(200000, 52)}, {"y.txt", "y"}});
    const std::string last = patternData(100000, 53);
    publish("1.2.0", {{"x.bin", last}});
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults({"faults", "--root", repo(), "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    ASSERT_EQ(runToEnd(options).result, 1);
    const auto requests = readRequests(log);
    EXPECT_EQ(trafficOf(requests, fileUrlPath("1.0.0", "x.bin")).requests, 0U);
    EXPECT_EQ(trafficOf(requests, fileUrlPath("1.1.0", "x.bin")).requests, 0U);
    EXPECT_EQ(trafficOf(requests, fileUrlPath("1.2.0", "x.bin")).whole, 1U);
    EXPECT_EQ(qortest::readTextFile(target() + "/x.bin"), last);
    EXPECT_EQ(qortest::readTextFile(target() + "/keep.txt"), "kept");
    EXPECT_EQ(qortest::readTextFile(target() + "/y.txt"), "y");
    // the last update's blocks count x.bin alone, not the files it replaced
    const StatusSample end = status();
    EXPECT_EQ(end.nbUpdate, 3);
    EXPECT_EQ(end.nbBlock, static_cast<std::int32_t>((100000 + BLOCK - 1) / BLOCK));
    EXPECT_EQ(end.currentBlock, end.nbBlock);
}

TEST_F(ChunkReuseTest, TheBaseStoreHonoursItsCapAndItsOptOut)
{
    const std::string first = patternData(1024 * 1024, 61);
    ::setenv("PELVANE_BASE_STORE_MAX_MIB", "0", 1);
    installFirstVersion({{"app.bin", first}});
    EXPECT_FALSE(fs::exists(baseStore())) << "1 MiB is over a cap of 0 MiB";

    // under the cap it is kept; opted out, it is neither read nor written
    ::setenv("PELVANE_BASE_STORE_MAX_MIB", "2", 1);
    fs::remove_all(target());
    fs::remove_all(extract());
    {
        qortest::ServerProcess web({"nginx", "--root", repo()});
        ASSERT_TRUE(web.started());
        ASSERT_EQ(updateFrom("", web.url()).result, 1);
    }
    ASSERT_TRUE(fs::exists(baseStore() + "/files/app.bin"));
    ::setenv("PELVANE_BASE_STORE", "0", 1);
    fs::remove_all(target());
    fs::remove_all(extract());
    const std::string second = edited(first, 62);
    publish("2.0.0", {{"app.bin", second}});
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--multirange", "--requests-log", log});
    ASSERT_TRUE(faults.started());
    ASSERT_EQ(updateFrom("1.0.0", faults.url()).result, 1);
    EXPECT_EQ(trafficOf(readRequests(log), fileUrlPath("2.0.0", "app.bin")).whole, 1U);
    EXPECT_EQ(qortest::readTextFile(baseStore() + "/version.txt"), "1.0.0\n")
        << "an opted-out run leaves the store alone";
}

TEST_F(ChunkReuseTest, AServerThatIgnoresRangesGetsTheWholeFileAndTheBlocksFollow)
{
    const std::string first = patternData(1024 * 1024, 71);
    const std::string second = edited(first, 72);
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string log = temp() / "requests.log";
    const std::string path = fileUrlPath("2.0.0", "app.bin");
    qortest::ServerProcess faults({"faults", "--root", repo(), "--requests-log", log, "--rule",
                                   R"({"path":")" + path + R"(","kind":"noranges"})"});
    ASSERT_TRUE(faults.started());
    ASSERT_EQ(updateFrom("1.0.0", faults.url()).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);
    const auto requests = readRequests(log);
    const Traffic traffic = trafficOf(requests, path);
    EXPECT_EQ(traffic.whole, 1U);
    EXPECT_GE(traffic.requests, 2U) << "ranges were asked for first";
    // nothing came through the refused ranges: the blocks are the whole file's
    const StatusSample last = status();
    EXPECT_EQ(last.nbBlock, static_cast<std::int32_t>((second.size() + BLOCK - 1) / BLOCK));
    EXPECT_EQ(last.currentBlock, last.nbBlock);
}

TEST_F(ChunkReuseTest, ARunCutShortLeavesChunksThatTheNextRunDoesNotFetchAgain)
{
    const std::string first = patternData(1024 * 1024, 81);
    const std::string second = edited(first, 82);
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string path = fileUrlPath("2.0.0", "app.bin");
    {
        qortest::ServerProcess faults(
            {"faults", "--root", repo(), "--multirange", "--rule",
             R"({"path":")" + path + R"(","kind":"drop","after":60000,"times":3})"});
        ASSERT_TRUE(faults.started());
        const Outcome failed = updateFrom("1.0.0", faults.url());
        EXPECT_EQ(failed.result, 0);
        EXPECT_EQ(failed.api, pelvane::API_NETWORK);
    }
    EXPECT_TRUE(fs::exists(extract() + "/2.0.0/partial/app.bin.chunked"));
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--multirange", "--requests-log", log});
    ASSERT_TRUE(faults.started());
    ASSERT_EQ(updateFrom("1.0.0", faults.url()).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);
    const std::uint64_t changed = changedBytes(first, second, temp() / "scratch");
    const Traffic traffic = trafficOf(readRequests(log), path);
    EXPECT_EQ(traffic.whole, 0U);
    // three cuts after 60000 bytes each brought whole chunks that travel no more
    EXPECT_LT(traffic.rangeBytes + 60000, changed);
    EXPECT_FALSE(fs::exists(extract() + "/2.0.0/partial/app.bin.chunked"));
}

TEST_F(ChunkReuseTest, AnIndexThatDoesNotMatchTheManifestOrChunksTurnedOffMeanWholeFiles)
{
    const std::string first = patternData(1024 * 1024, 91);
    const std::string second = edited(first, 92);
    ::setenv("PELVANE_BASE_STORE", "0", 1);
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string path = fileUrlPath("2.0.0", "app.bin");
    // an index changed on the server: the manifest's hash no longer covers it
    const std::string indexFile = channelFolder() + "/2.0.0/cidx/app.bin";
    std::string index = qortest::readTextFile(indexFile);
    index[40] = static_cast<char>(index[40] ^ 1);
    qortest::writeTextFile(indexFile, index);

    for (const bool chunksOff : {false, true})
    {
        SCOPED_TRACE(chunksOff ? "PELVANE_CHUNKS=0" : "tampered index");
        if (chunksOff)
        {
            ::setenv("PELVANE_CHUNKS", "0", 1);
        }
        fs::remove_all(extract());
        const std::string log = temp() / (chunksOff ? "off.log" : "tampered.log");
        qortest::ServerProcess faults(
            {"faults", "--root", repo(), "--multirange", "--requests-log", log});
        ASSERT_TRUE(faults.started());
        ASSERT_EQ(updateFrom("1.0.0", faults.url()).result, 1);
        EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);
        const auto requests = readRequests(log);
        EXPECT_EQ(trafficOf(requests, path).whole, 1U);
        EXPECT_EQ(trafficOf(requests, path).rangeBytes, 0U);
        EXPECT_EQ(trafficOf(requests, indexUrlPath("2.0.0", "app.bin")).requests, chunksOff ? 0U : 1U);
        // put 1.0.0 back for the next round
        fs::remove_all(target());
        fs::create_directories(target());
        qortest::writeTextFile(target() + "/app.bin", first);
    }
}

TEST_F(ChunkReuseTest, AChunkThatANewFileRepeatsTravelsOnce)
{
    const std::string first = patternData(1024 * 1024, 101);
    std::string second = first;
    second.insert(500000, std::string(1536 * 1024, '\0')); // padding: six equal chunks
    ::setenv("PELVANE_BASE_STORE", "0", 1);
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--multirange", "--requests-log", log});
    ASSERT_TRUE(faults.started());
    ASSERT_EQ(updateFrom("1.0.0", faults.url()).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);
    // the padding compresses: the chunks come as frames of the framed object
    std::string error;
    const auto index = pelvane::ChunkIndex::parse(
        qortest::readTextFile(channelFolder() + "/2.0.0/cidx/app.bin"), error);
    ASSERT_TRUE(index && index->framed()) << error;
    pelvane::ChunkIndex old;
    int readError = 0;
    qortest::writeTextFile(temp() / "scratch", first);
    pelvane::ChunkIndex::build(temp() / "scratch", old, nullptr, nullptr, readError);
    std::set<std::string> known;
    for (const pelvane::Chunk& chunk : old.chunks())
    {
        known.insert(chunk.sha256);
    }
    std::uint64_t frames = 0;
    for (const pelvane::Chunk& chunk : index->chunks())
    {
        frames += known.insert(chunk.sha256).second ? chunk.compressedLength : 0U;
    }
    const auto requests = readRequests(log);
    EXPECT_EQ(trafficOf(requests, fileUrlPath("2.0.0", "app.bin")).requests, 0U);
    const Traffic traffic = trafficOf(
        requests, "/" + PRODUCT + "/" + APPLICATION + "/" + LANGUAGE + "/2.0.0/zsf/app.bin");
    EXPECT_EQ(traffic.whole, 0U);
    EXPECT_EQ(traffic.rangeBytes, frames) << "the padding's frame came more than once";
}

TEST_F(ChunkReuseTest, RangesCutOnTheFirstMirrorAreFinishedByTheNext)
{
    const std::string first = patternData(1024 * 1024, 111);
    const std::string second = edited(first, 112);
    ::setenv("PELVANE_BASE_STORE", "0", 1);
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string path = fileUrlPath("2.0.0", "app.bin");
    const std::string firstLog = temp() / "first.log";
    const std::string secondLog = temp() / "second.log";
    // every try on the first mirror is cut after a part of the chunks arrived
    qortest::ServerProcess cutting({"faults", "--root", repo(), "--multirange", "--requests-log",
                                    firstLog, "--rule",
                                    R"({"path":")" + path + R"(","kind":"drop","after":30000})"});
    qortest::ServerProcess whole(
        {"faults", "--root", repo(), "--multirange", "--requests-log", secondLog});
    ASSERT_TRUE(cutting.started()) << cutting.failure();
    ASSERT_TRUE(whole.started()) << whole.failure();
    const Outcome end = updateFrom("1.0.0", cutting.url() + " " + whole.url());
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);

    const std::uint64_t changed = changedBytes(first, second, temp() / "scratch");
    const Traffic onFirst = trafficOf(readRequests(firstLog), path);
    const Traffic onSecond = trafficOf(readRequests(secondLog), path);
    EXPECT_GT(onFirst.requests, 0U);
    EXPECT_EQ(onFirst.whole + onSecond.whole, 0U) << "the file never came whole";
    // the second mirror is asked only for what the first did not deliver
    EXPECT_GT(onSecond.rangeBytes, 0U);
    EXPECT_LT(onSecond.rangeBytes, changed);
    // and no byte is counted twice in the status
    const StatusSample last = status();
    EXPECT_EQ(last.nbBlock, static_cast<std::int32_t>((changed + BLOCK - 1) / BLOCK));
    EXPECT_EQ(last.currentBlock, last.nbBlock);
}

TEST_F(ChunkReuseTest, RangeAnswersThatTrickleOrBringOtherRangesCostAtMostThreeTries)
{
    const std::string first = patternData(1024 * 1024, 121);
    const std::string second = edited(first, 122);
    ::setenv("PELVANE_BASE_STORE", "0", 1);
    installFirstVersion({{"app.bin", first}});
    publish("2.0.0", {{"app.bin", second}});
    const std::string path = fileUrlPath("2.0.0", "app.bin");

    // a trickle of ranges fails like a stall, and the next mirror finishes
    ::setenv("PELVANE_MIN_RATE_BYTES", "4096", 1);
    ::setenv("PELVANE_MIN_RATE_WINDOW_MS", "500", 1);
    const std::string slowLog = temp() / "slow.log";
    qortest::ServerProcess slow({"faults", "--root", repo(), "--multirange", "--requests-log",
                                 slowLog, "--rule",
                                 R"({"path":")" + path + R"(","kind":"drip","interval":0.05})"});
    qortest::ServerProcess good({"faults", "--root", repo(), "--multirange"});
    ASSERT_TRUE(slow.started()) << slow.failure();
    ASSERT_TRUE(good.started()) << good.failure();
    Outcome end = updateFrom("1.0.0", slow.url() + " " + good.url());
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);
    EXPECT_EQ(trafficOf(readRequests(slowLog), path).requests, 3U);

    // bytes nobody asked for are no progress: three tries, then the whole file
    fs::remove_all(extract());
    qortest::writeTextFile(target() + "/app.bin", first);
    const std::string otherLog = temp() / "other.log";
    qortest::ServerProcess other({"faults", "--root", repo(), "--multirange", "--requests-log",
                                  otherLog, "--rule",
                                  R"({"path":")" + path + R"(","kind":"otherranges"})"});
    ASSERT_TRUE(other.started()) << other.failure();
    end = updateFrom("1.0.0", other.url());
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
    EXPECT_EQ(qortest::readTextFile(target() + "/app.bin"), second);
    const Traffic traffic = trafficOf(readRequests(otherLog), path);
    EXPECT_EQ(traffic.whole, 1U);
    EXPECT_EQ(traffic.requests - traffic.whole, 3U);
}

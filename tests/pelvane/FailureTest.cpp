// Runs that must fail, and how: each permanent failure at once with its own
// codes, transient ones retried, nothing unauthenticated or unsafe written,
// Target untouched whenever a run does not succeed.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/Sha256.h"
#include "updclient/PasswordScrambling.h"

#include <cstring>
#include <filesystem>
#include <sys/mount.h>
#include <zstd.h>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
class FailureTest : public UpdateFixture
{
protected:
    std::string rule(const std::string& path, const std::string& body) const
    {
        return R"({"path":")" + path + "\"," + body + "}";
    }
    void expectTargetUntouched()
    {
        EXPECT_FALSE(fs::exists(target()));
        EXPECT_FALSE(fs::exists(flagFile()));
        EXPECT_FALSE(fs::exists(target() + ".pelvane-staging"));
    }
};

std::size_t countPath(const std::vector<SeenRequest>& requests, const std::string& path)
{
    std::size_t count = 0;
    for (const SeenRequest& request : requests)
    {
        count += request.path == path ? 1U : 0U;
    }
    return count;
}
} // namespace

TEST_F(FailureTest, HttpFailuresAreTriedOnceOrThriceByKind)
{
    // incompressible and too large for the bundle: a request of its own
    publish("1.0.0", {{"a.bin", patternData(100000, 10)}});
    const std::string path = fileUrlPath("1.0.0", "a.bin");
    struct Case
    {
        std::string behaviour;
        std::int32_t api;
        std::int32_t secondary;
        std::size_t tries;
    };
    const Case cases[] = {
        {R"("kind":"status","code":404)", pelvane::API_HTTP, 404, 1},
        {R"("kind":"status","code":401)", pelvane::API_SERVER_AUTH, 401, 1},
        {R"("kind":"status","code":403)", pelvane::API_SERVER_AUTH, 403, 1},
        {R"("kind":"status","code":503,"retry_after":0)", pelvane::API_HTTP, 503, 3},
        {R"("kind":"status","code":429,"retry_after":0)", pelvane::API_HTTP, 429, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.behaviour);
        const std::string log = temp() / ("requests-" + std::to_string(c.secondary) + ".log");
        qortest::ServerProcess faults(
            {"faults", "--root", repo(), "--requests-log", log, "--rule", rule(path, c.behaviour)});
        ASSERT_TRUE(faults.started()) << faults.failure();
        InitOptions options;
        options.url = faults.url();
        const Outcome end = runToEnd(options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, c.api);
        EXPECT_EQ(end.secondary, c.secondary);
        EXPECT_EQ(countPath(readRequests(log), path), c.tries);
        expectTargetUntouched();
    }
}

TEST_F(FailureTest, TransientFailuresThenSuccessHonourRetryAfter)
{
    const std::string data = patternData(100000, 11);
    publish("1.0.0", {{"a.bin", data}});
    const std::string path = fileUrlPath("1.0.0", "a.bin");
    const std::string log = temp() / "requests.log";
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--requests-log", log, "--rule",
         rule(path, R"("kind":"status","code":503,"retry_after":1,"times":1)"), "--rule",
         rule(path, R"("kind":"status","code":429,"retry_after":0,"times":1)")});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/a.bin"), data);
    std::vector<SeenRequest> tries;
    for (const SeenRequest& request : readRequests(log))
    {
        if (request.path == path)
        {
            tries.push_back(request);
        }
    }
    ASSERT_EQ(tries.size(), 3U);
    EXPECT_GE(tries[1].time - tries[0].time, 0.9) << "Retry-After: 1 was not honoured";
}

TEST_F(FailureTest, AFileThatDoesNotHashRightFailsWithoutTouchingTarget)
{
    std::string content = patternData(100000, 2);
    publish("1.0.0", {{"a.bin", content}});
    // same size, other bytes
    content[5000] = static_cast<char>(content[5000] ^ 0x20);
    qortest::writeTextFile(channelFolder() + "/1.0.0/files/a.bin", content);
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    const Outcome end = runToEnd(options);
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_HASH);
    expectTargetUntouched();
    EXPECT_FALSE(fs::exists(extract() + "/1.0.0/files/a.bin"));

    // a longer body than the manifest says is cut off, not written on and on
    qortest::writeTextFile(channelFolder() + "/1.0.0/files/a.bin", patternData(1 << 20, 1));
    EXPECT_EQ(runToEnd(options).api, pelvane::API_HASH);
    expectTargetUntouched();
}

TEST_F(FailureTest, ManifestsThatAreNotAuthenticRefuseTheRun)
{
    publish("1.0.0", {{"a.bin", "x"}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    const std::string genuine = channelPayload();
    const std::string signature = signatureFor(genuine, {keyFile()});

    {
        SCOPED_TRACE("wrong key");
        InitOptions wrongKey = options;
        wrongKey.key = makeKey(temp() / "another.key");
        const Outcome end = runToEnd(wrongKey);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_SIGNATURE);
    }
    {
        SCOPED_TRACE("tampered manifest");
        std::string tampered = genuine;
        tampered.replace(tampered.find("1.0.0"), 5, "1.0.1");
        writeChannel(tampered, signature);
        EXPECT_EQ(runToEnd(options).api, pelvane::API_SIGNATURE);
    }
    {
        SCOPED_TRACE("missing signature");
        writeChannel(genuine, "");
        const Outcome end = runToEnd(options);
        EXPECT_EQ(end.api, pelvane::API_SIGNATURE);
    }
    expectTargetUntouched();
    EXPECT_FALSE(fs::exists(extract() + "/1.0.0"));
}

TEST_F(FailureTest, SignedButHostileManifestsAreRefused)
{
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    const std::string channel = APPLICATION + "/" + LANGUAGE;
    const std::string hash = pelvane::sha256Hex("x");
    const std::string top = R"({"format":3,"serial":1,"expires":"2100-01-01T00:00:00Z","product":")";
    // a file list, signed through its hash in channel.qor
    const auto signedList = [&](const std::string& json)
    {
        std::string list(ZSTD_compressBound(json.size()), '\0');
        list.resize(ZSTD_compress(list.data(), list.size(), json.data(), json.size(), 3));
        fs::create_directories(channelFolder() + "/1.0.0");
        qortest::writeTextFile(channelFolder() + "/1.0.0/list.json.zst", list);
        return top + PRODUCT + R"(","channel":")" + channel +
               R"(","versions":[{"version":"1.0.0","fileCount":1,"totalSize":1,"list":{"size":)" +
               std::to_string(list.size()) + R"(,"sha256":")" + pelvane::sha256Hex(list) +
               R"("}}]})";
    };
    const std::string head = R"({"format":3,"product":")" + PRODUCT + R"(","channel":")" +
                             channel + R"(","version":"1.0.0",)";
    const std::vector<std::string> hostile = {
        signedList(head + R"("files":[{"path":"../escape.txt","size":1,"sha256":")" + hash + R"("}]})"),
        signedList(head + R"("files":[{"path":"/etc/passwd","size":1,"sha256":")" + hash + R"("}]})"),
        signedList(head + R"("files":[{"path":"a\\..\\b","size":1,"sha256":")" + hash + R"("}]})"),
        signedList(head + R"("files":[{"path":"","size":1,"sha256":")" + hash + R"("}]})"),
        signedList(head + R"("files":[{"path":"a","size":-1,"sha256":")" + hash + R"("}]})"),
        signedList(head + R"("files":[{"path":"a","size":1,"sha256":"zz"}]})"),
        // the list of another product, or counts that do not add up
        signedList(R"({"format":3,"product":"OTHER","channel":")" + channel +
                   R"(","version":"1.0.0","files":[{"path":"a","size":1,"sha256":")" + hash + R"("}]})"),
        signedList(head + R"("files":[{"path":"a","size":2,"sha256":")" + hash + R"("}]})"),
        top + R"(OTHER","channel":")" + channel + R"(","versions":[]})",
        // a repository of the old shared-key scheme, even if someone signed it anew
        R"({"format":1,"product":")" + PRODUCT + R"(","channel":")" + channel +
            R"(","versions":[]})",
        std::string(100000, '['),
        "not json at all",
    };
    InitOptions options;
    options.url = web.url();
    for (const std::string& text : hostile)
    {
        SCOPED_TRACE(text.substr(0, 120));
        writeSignedChannel(text);
        const Outcome end = runToEnd(options);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_BAD_MANIFEST);
    }
    EXPECT_FALSE(fs::exists(temp() / "escape.txt"));
    expectTargetUntouched();
}

TEST_F(FailureTest, AFileListOrARepositoryInTheOldFormatIsRefusedBeforeAnythingIsWritten)
{
    publish("1.0.0", {{"a.bin", "one"}});
    publish("2.0.0", {{"a.bin", "two"}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    // a mirror serves another version's list: its hash does not match channel.qor
    fs::copy_file(channelFolder() + "/1.0.0/list.json.zst", channelFolder() + "/2.0.0/list.json.zst",
                  fs::copy_options::overwrite_existing);
    Outcome end = runToEnd(options);
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_BAD_MANIFEST);
    expectTargetUntouched();
    EXPECT_FALSE(fs::exists(extract() + "/1.0.0/files"));

    // a repository still in format 2: no channel.qor, a manifest.json
    fs::remove(channelFile());
    qortest::writeTextFile(channelFolder() + "/manifest.json", R"({"format":2})");
    end = runToEnd(options);
    EXPECT_EQ(end.api, pelvane::API_BAD_MANIFEST);
    // and one with neither is just missing
    fs::remove(channelFolder() + "/manifest.json");
    end = runToEnd(options);
    EXPECT_EQ(end.api, pelvane::API_HTTP);
    EXPECT_EQ(end.secondary, 404);
    expectTargetUntouched();
}

TEST_F(FailureTest, ALinkPlantedInExtractIsNeverWrittenThrough)
{
    publish("1.0.0", {{"sub/a.bin", "payload"}});
    const std::string outside = temp() / "outside";
    fs::create_directories(outside);
    fs::create_directories(extract() + "/1.0.0/files");
    fs::create_directory_symlink(outside, extract() + "/1.0.0/files/sub");
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    const Outcome end = runToEnd(options);
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_DISK);
    EXPECT_TRUE(fs::is_empty(outside));
    expectTargetUntouched();
}

TEST_F(FailureTest, ProxyCredentialsAreUnscrambledAndAWrongPasswordIsReported)
{
    publish("1.0.0", {{"a.txt", "via proxy"}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    const std::string proxyLog = temp() / "proxy.log";
    qortest::ServerProcess proxy(
        {"tinyproxy", "--user", "alice", "--password", "pr0xyPw9", "--log", proxyLog});
    ASSERT_TRUE(proxy.started()) << proxy.failure();
    ::setenv("http_proxy", proxy.url().c_str(), 1);

    InitOptions options;
    options.url = web.url();
    options.userProxy = "alice";
    options.pswdProxy = scramblePassword("wrong");
    const Outcome refused = runToEnd(options);
    EXPECT_EQ(refused.result, 0);
    EXPECT_EQ(refused.api, pelvane::API_PROXY_AUTH);
    expectTargetUntouched();

    options.pswdProxy = scramblePassword("pr0xyPw9");
    const Outcome end = runToEnd(options);
    ASSERT_EQ(end.result, 1) << "api " << end.api << " secondary " << end.secondary;
    EXPECT_EQ(qortest::readTextFile(target() + "/a.txt"), "via proxy");
    const std::string seen = qortest::readTextFile(proxyLog);
    EXPECT_NE(seen.find("GET " + web.url() + "/" + PRODUCT), std::string::npos) << seen;
    clearProxyEnvironment();
}

TEST_F(FailureTest, UpperCaseProxyVariableIsUsedLikeTheProxyDiscoverySeesIt)
{
    // libcurl alone ignores HTTP_PROXY; the program's proxy discovery reads
    // it, so the library must send its requests there too.
    publish("1.0.0", {{"a.txt", "via upper-case proxy"}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    const std::string proxyLog = temp() / "proxy.log";
    qortest::ServerProcess proxy(
        {"tinyproxy", "--user", "bob", "--password", "Upp3rPw", "--log", proxyLog});
    ASSERT_TRUE(proxy.started()) << proxy.failure();
    ::setenv("HTTP_PROXY", proxy.url().c_str(), 1);

    InitOptions options;
    options.url = web.url();
    options.userProxy = "bob";
    options.pswdProxy = scramblePassword("Upp3rPw");
    const Outcome end = runToEnd(options);
    clearProxyEnvironment();
    ASSERT_EQ(end.result, 1) << "api " << end.api << " secondary " << end.secondary;
    const std::string seen = qortest::readTextFile(proxyLog);
    EXPECT_NE(seen.find("GET " + web.url() + "/" + PRODUCT), std::string::npos) << seen;
}

TEST_F(FailureTest, CloseDownloadStopsQuicklyAndKeepsThePartialFile)
{
    publish("1.0.0", {{"slow.bin", patternData(8 << 20, 12)}});
    qortest::ServerProcess web({"nginx", "--root", repo(), "--rate", "256k"});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    ASSERT_TRUE(startDownload(options));
    ASSERT_EQ(status().status, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (status().currentBlock < 2 && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto asked = std::chrono::steady_clock::now();
    lib().closeDownload();
    ASSERT_TRUE(waitForEnd(std::chrono::seconds(5))) << "still running 5 s after closeDownload";
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    std::printf("closeDownload to status 0: %lld ms\n", static_cast<long long>(latency.count()));
    const Outcome end = outcome();
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_CANCELED);
    expectTargetUntouched();
    EXPECT_TRUE(fs::exists(extract() + "/1.0.0/partial/slow.bin.part"));
    // closing twice is harmless
    EXPECT_EQ(lib().closeUpdInter(), 0);
    EXPECT_EQ(lib().closeUpdInter(), 0);
}

TEST_F(FailureTest, AStalledServerCountsAsATransientFailure)
{
    const std::string data = patternData(300000, 13);
    publish("1.0.0", {{"a.bin", data}});
    const std::string path = fileUrlPath("1.0.0", "a.bin");
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--rule",
         rule(path, R"("kind":"stall","after":1000,"seconds":20,"times":1)")});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    options.stallTimeoutMs = 700;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15))
        << "the stall time-out did not cut the 20 s wait";
    EXPECT_EQ(qortest::readTextFile(target() + "/a.bin"), data);
}

TEST_F(FailureTest, StatisticsArePostedAfterTheOutcomeAndNeverHoldItUp)
{
    publish("1.0.0", {{"a.txt", "x"}});
    const std::string log = temp() / "stats.log";
    qortest::ServerProcess web({"nginx", "--root", repo()});
    qortest::ServerProcess stats({"faults", "--root", temp().path(), "--requests-log", log});
    ASSERT_TRUE(web.started() && stats.started());
    InitOptions options;
    options.url = web.url();
    options.statsUrl = stats.url() + "/stats";
    ASSERT_EQ(runToEnd(options).result, 1);
    lib().closeUpdInter(); // joins the note if it is still on its way
    const auto requests = readRequests(log);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_NE(requests[0].body.find("\"product\":\"" + PRODUCT + "\""), std::string::npos);
    EXPECT_NE(requests[0].body.find("\"outcome\":\"success\""), std::string::npos);

    // a statistics server that never answers changes nothing and costs at most 2 s
    qortest::ServerProcess stalled({"faults", "--root", temp().path(), "--rule",
                                    R"({"path":"*","kind":"stall","seconds":30})"});
    ASSERT_TRUE(stalled.started());
    fs::remove_all(target());
    options.statsUrl = stalled.url() + "/stats";
    ASSERT_EQ(runToEnd(options).result, 1);
    const auto closing = std::chrono::steady_clock::now();
    lib().closeUpdInter();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(5));
    EXPECT_EQ(outcome().result, 1);
}

TEST_F(FailureTest, AFullDiskFailsCleanlyAndLeavesTargetAsItWas)
{
    const std::string small = temp() / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
    {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    }
    struct Unmount
    {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};

    publish("1.0.0", {{"big.bin", patternData(600000, 14)}, {"a.txt", "new"}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();

    // Target on the small disk, with a file from before: the copy runs out of room
    const std::string smallTarget = small + "/target";
    fs::create_directories(smallTarget);
    qortest::writeTextFile(smallTarget + "/a.txt", "old");
    InitOptions options;
    options.url = web.url();
    lib().initUpdInterEx(pin().c_str(), PRODUCT.c_str(), "", 1, extract().c_str(),
                         smallTarget.c_str(), flagFile().c_str(), "", "", options.url.c_str(), "",
                         APPLICATION.c_str(), LANGUAGE.c_str(), "", 30000, 30000, "", "");
    std::int32_t count = 0;
    lib().getVersionCount(&count);
    lib().downloadUntil("1.0.0");
    ASSERT_TRUE(waitForEnd());
    Outcome end = outcome();
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_DISK);
    EXPECT_EQ(end.primary, ENOSPC);
    EXPECT_EQ(qortest::readTextFile(smallTarget + "/a.txt"), "old");
    EXPECT_FALSE(fs::exists(smallTarget + "/big.bin"));
    EXPECT_FALSE(fs::exists(smallTarget + ".pelvane-staging"));
    EXPECT_FALSE(fs::exists(flagFile()));

    // Extract on the small disk: the download itself runs out of room
    const std::string smallExtract = small + "/extract";
    lib().initUpdInterEx(pin().c_str(), PRODUCT.c_str(), "", 1, smallExtract.c_str(),
                         target().c_str(), flagFile().c_str(), "", "", options.url.c_str(), "",
                         APPLICATION.c_str(), LANGUAGE.c_str(), "", 30000, 30000, "", "");
    lib().getVersionCount(&count);
    fs::remove_all(smallTarget);
    lib().downloadUntil("1.0.0");
    ASSERT_TRUE(waitForEnd());
    end = outcome();
    EXPECT_EQ(end.api, pelvane::API_DISK);
    EXPECT_EQ(end.primary, ENOSPC);
    expectTargetUntouched();
}

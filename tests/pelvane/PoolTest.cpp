// The files of a run over the pool of connections: a connection that dies
// while others carry files, HTTP/2 (one connection for all) and HTTP/1.1
// (a few), a cancel with eight transfers in flight, and the proxy.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "updclient/PasswordScrambling.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
class PoolTest : public UpdateFixture
{
protected:
    void TearDown() override
    {
        ::unsetenv("PELVANE_CONNECTIONS");
        ::unsetenv("CURL_CA_BUNDLE");
        ::unsetenv("PELVANE_BASE_STORE");
        UpdateFixture::TearDown();
    }
    // `count` files of `size` bytes, published as 1.0.0
    void publishFiles(std::size_t count, std::size_t size)
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            m_files["f" + std::to_string(i) + ".bin"] =
                patternData(size, static_cast<unsigned>(40 + i));
        }
        publish("1.0.0", m_files);
    }
    void expectTargetHoldsTheFiles()
    {
        for (const auto& [path, data] : m_files)
        {
            EXPECT_EQ(qortest::readTextFile(target() + "/" + path), data) << path;
        }
    }
    std::map<std::string, std::string> m_files;
};

// The nginx connection numbers that carried the files, from its access log
// (nginx writes a line once it has answered: wait until all are there).
std::set<std::string> connectionsOfFiles(const std::string& accessLog, std::size_t files)
{
    const std::regex fileLine(R"(GET \S+/files/\S+ 20[06] .* conn=(\d+))");
    std::set<std::string> connections;
    for (int i = 0; i < 60; ++i)
    {
        connections.clear();
        std::size_t lines = 0;
        const std::string text = qortest::readTextFile(accessLog);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), fileLine);
             it != std::sregex_iterator(); ++it, ++lines)
        {
            connections.insert((*it)[1]);
        }
        if (lines >= files)
        {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return connections;
}
} // namespace

TEST_F(PoolTest, AConnectionDyingMidFileIsResumedWhileTheOthersGoOn)
{
    publishFiles(8, 400000);
    const std::string dying = fileUrlPath("1.0.0", "f0.bin");
    std::string others = dying;
    others.replace(others.size() - 6, 6, "f*");
    const std::string log = temp() / "requests.log";
    // f0 is cut at once; each of the others takes a second, so that they are
    // on their way when it dies and when it resumes
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--requests-log", log, "--rule",
         R"({"path":")" + dying + R"(","kind":"drop","after":150000,"times":1})", "--rule",
         R"({"path":")" + others + R"(","kind":"drip","bytes":40000,"interval":0.1})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    const Outcome end = runToEnd(options);
    ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
    expectTargetHoldsTheFiles();

    std::vector<SeenRequest> ofDying;
    std::vector<double> othersStarted;
    for (const SeenRequest& request : readRequests(log))
    {
        if (request.path == dying)
        {
            ofDying.push_back(request);
        }
        else if (request.path.find("/files/") != std::string::npos)
        {
            othersStarted.push_back(request.time);
        }
    }
    ASSERT_EQ(ofDying.size(), 2U);
    EXPECT_EQ(ofDying[1].range, "bytes=150000-") << "the cut file is resumed, not fetched again";
    EXPECT_FALSE(ofDying[1].ifRange.empty());
    const auto inFlight = std::count_if(othersStarted.begin(), othersStarted.end(),
                                        [&](double started)
                                        {
                                            return started > ofDying[0].time - 0.9 &&
                                                   started < ofDying[1].time;
                                        });
    EXPECT_GE(inFlight, 2) << "other files were on their way meanwhile";
}

TEST_F(PoolTest, HttpTwoCarriesEveryFileOnOneConnectionHttpOneOnAFew)
{
    std::string output;
    const std::string ca = temp() / "ca";
    ASSERT_EQ(qortest::runProgram({"python3", QOR_SERVERS_PY, "make-ca", "--dir", ca}, &output), 0)
        << output;
    ::setenv("CURL_CA_BUNDLE", (ca + "/ca.pem").c_str(), 1);
    ::setenv("PELVANE_BASE_STORE", "0", 1); // the second run fetches every file again
    publishFiles(8, 1 << 20);
    for (const bool http2 : {true, false})
    {
        SCOPED_TRACE(http2 ? "HTTP/2" : "HTTP/1.1");
        fs::remove_all(target());
        fs::remove_all(extract());
        const std::string accessLog = temp() / (http2 ? "h2.log" : "h1.log");
        std::vector<std::string> arguments = {"nginx",   "--root",       repo(), "--ca-dir", ca,
                                              "--rate",  "4m", "--access-log", accessLog};
        if (http2)
        {
            arguments.push_back("--http2");
        }
        qortest::ServerProcess web(arguments);
        ASSERT_TRUE(web.started()) << web.failure();
        InitOptions options;
        options.url = "https://127.0.0.1:" + std::to_string(web.port());
        const Outcome end = runToEnd(options);
        ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
        expectTargetHoldsTheFiles();
        const std::set<std::string> connections = connectionsOfFiles(accessLog, m_files.size());
        if (http2)
        {
            EXPECT_EQ(connections.size(), 1U) << qortest::readTextFile(accessLog);
        }
        else
        {
            // one transfer per connection, at most PELVANE_CONNECTIONS (4) at a time
            EXPECT_GE(connections.size(), 2U) << qortest::readTextFile(accessLog);
            EXPECT_LE(connections.size(), 4U) << qortest::readTextFile(accessLog);
        }
    }
}

TEST_F(PoolTest, CancelWithEightTransfersInFlightStopsAtOnceAndKeepsWhatResumes)
{
    ::setenv("PELVANE_CONNECTIONS", "8", 1);
    publishFiles(8, 1 << 20);
    const std::string log = temp() / "requests.log";
    std::string files = fileUrlPath("1.0.0", "f0.bin");
    files.replace(files.size() - 6, 6, "f*");
    qortest::ServerProcess faults({"faults", "--root", repo(), "--requests-log", log, "--rule",
                                   R"({"path":")" + files +
                                       R"(","kind":"drip","bytes":4096,"interval":0.05})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    InitOptions options;
    options.url = faults.url();
    ASSERT_TRUE(startDownload(options));
    // all eight asked for, and some bytes of each on their way
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t inFlight = 0;
    while (inFlight < 8 && std::chrono::steady_clock::now() < limit)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        inFlight = 0;
        for (const SeenRequest& request : readRequests(log))
        {
            inFlight += request.path.find("/files/") != std::string::npos ? 1U : 0U;
        }
    }
    ASSERT_EQ(inFlight, 8U);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(status().status, 1);
    const auto asked = std::chrono::steady_clock::now();
    lib().closeDownload();
    ASSERT_TRUE(waitForEnd(std::chrono::seconds(5)));
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    std::printf("closeDownload with 8 transfers to status 0: %lld ms\n",
                static_cast<long long>(latency.count()));
    EXPECT_LT(latency.count(), 1000) << "a cancel ends every transfer within about 100 ms";
    EXPECT_EQ(outcome().api, pelvane::API_CANCELED);
    EXPECT_FALSE(fs::exists(target()));

    // what stays: a part file with the validator that resumes it, nothing else
    std::size_t parts = 0;
    for (const auto& entry : fs::recursive_directory_iterator(extract() + "/1.0.0"))
    {
        const std::string name = entry.path().string();
        if (!entry.is_regular_file() || name.find("/list") != std::string::npos)
        {
            continue;
        }
        ASSERT_NE(name.find("/partial/"), std::string::npos) << name << " is no part file";
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0)
        {
            ++parts;
            EXPECT_TRUE(fs::exists(name + ".meta")) << name;
        }
        else
        {
            EXPECT_EQ(name.compare(name.size() - 10, 10, ".part.meta"), 0) << name;
        }
    }
    EXPECT_GE(parts, 1U);

    // the next run takes them up where they stopped
    faults.stop();
    const std::string accessLog = temp() / "access.log";
    qortest::ServerProcess web({"nginx", "--root", repo(), "--access-log", accessLog});
    ASSERT_TRUE(web.started()) << web.failure();
    options.url = web.url();
    ASSERT_EQ(runToEnd(options).result, 1);
    expectTargetHoldsTheFiles();
    EXPECT_NE(qortest::readTextFile(accessLog).find(" 206 range=\"bytes="), std::string::npos);
}

TEST_F(PoolTest, TheFilesGoThroughTheProxyToo)
{
    publishFiles(6, 100000);
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    const std::string proxyLog = temp() / "proxy.log";
    qortest::ServerProcess proxy(
        {"tinyproxy", "--user", "carol", "--password", "P00lPw", "--log", proxyLog});
    ASSERT_TRUE(proxy.started()) << proxy.failure();
    ::setenv("http_proxy", proxy.url().c_str(), 1);
    InitOptions options;
    options.url = web.url();
    options.userProxy = "carol";
    options.pswdProxy = scramblePassword("P00lPw");
    const Outcome end = runToEnd(options);
    clearProxyEnvironment();
    ASSERT_EQ(end.result, 1) << "api " << end.api << " secondary " << end.secondary;
    expectTargetHoldsTheFiles();
    const std::string seen = qortest::readTextFile(proxyLog);
    for (const auto& [path, data] : m_files)
    {
        EXPECT_NE(seen.find("GET " + web.url() + fileUrlPath("1.0.0", path)), std::string::npos)
            << path;
    }
}

// Several base URLs in URL: the manifest and every file come from the first
// mirror that serves them right. A mirror that is down, answers 503 or serves
// a tampered manifest is passed over; a file cut on one mirror is resumed on
// the next; only when all fail does the run fail, with the network code.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"

#include "LogCapture.h"

#include <filesystem>
#include <nlohmann/json.hpp>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
constexpr int CURLE_COULDNT_CONNECT = 7;

class MirrorTest : public UpdateFixture
{
protected:
    std::string channelPath() const { return "/" + PRODUCT + "/" + APPLICATION + "/" + LANGUAGE; }
    // A base URL where nothing listens any more.
    static std::string deadMirror(const std::string& root)
    {
        qortest::ServerProcess gone({"faults", "--root", root});
        const std::string url = gone.url();
        gone.stop();
        return url;
    }
    std::size_t requestsUnder(const std::string& log, const std::string& prefix)
    {
        std::size_t count = 0;
        for (const SeenRequest& request : readRequests(log))
        {
            count += request.path.rfind(prefix, 0) == 0 ? 1U : 0U;
        }
        return count;
    }
};
} // namespace

TEST_F(MirrorTest, TheNextMirrorServesWhenTheFirstIsDownOverloadedOrTampered)
{
    const std::string data = patternData(200000, 21);
    publish("1.0.0", {{"setup.bin", data}});
    std::string tampered = qortest::readTextFile(channelFile());
    tampered.replace(tampered.find("\"notes\":\"\""), 10, "\"notes\":\"x\"");
    const std::string good = temp() / "good.log";
    qortest::ServerProcess second({"faults", "--root", repo(), "--requests-log", good});
    ASSERT_TRUE(second.started()) << second.failure();

    struct Case
    {
        const char* what;
        std::vector<std::string> rules; // empty: the first mirror is down
    };
    nlohmann::json body = {
        {"path", channelPath() + "/channel.qor"}, {"kind", "body"}, {"content", tampered}};
    const std::vector<Case> cases = {
        {"down", {}},
        {"503", {R"({"path":"*","kind":"status","code":503,"retry_after":0})"}},
        {"tampered manifest", {body.dump()}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        fs::remove_all(target());
        fs::remove_all(extract());
        fs::remove(good);
        const std::string firstLog = temp() / "first.log";
        fs::remove(firstLog);
        std::vector<std::string> arguments = {"faults", "--root", repo(), "--requests-log",
                                              firstLog};
        for (const std::string& rule : c.rules)
        {
            arguments.push_back("--rule");
            arguments.push_back(rule);
        }
        qortest::ServerProcess first(arguments);
        ASSERT_TRUE(first.started()) << first.failure();
        if (c.rules.empty())
        {
            first.stop();
        }
        InitOptions options;
        options.url = first.url() + " " + second.url() + "/";
        const Outcome end = runToEnd(options);
        ASSERT_EQ(end.result, 1) << end.api << " " << end.primary << " " << end.secondary;
        EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), data);
        // the file whole, or its chunk index when the base store holds its chunks
        EXPECT_EQ(requestsUnder(good, channelPath() + "/1.0.0/files/") +
                      requestsUnder(good, channelPath() + "/1.0.0/cidx/"),
                  1U)
            << "the file comes from the mirror that served the manifest";
        EXPECT_EQ(requestsUnder(firstLog, channelPath() + "/1.0.0/"), 0U);
    }
}

TEST_F(MirrorTest, AFileCutOnTheFirstMirrorIsResumedOnTheSecond)
{
    const std::string data = patternData(400000, 22);
    publish("1.0.0", {{"setup.bin", data}});
    const std::string file = fileUrlPath("1.0.0", "setup.bin");
    // cut after 150000 bytes, then overloaded for good
    qortest::ServerProcess first(
        {"faults", "--root", repo(), "--rule",
         R"({"path":")" + file + R"(","kind":"drop","after":150000,"times":1})", "--rule",
         R"({"path":")" + file + R"(","kind":"status","code":503,"retry_after":0})"});
    ASSERT_TRUE(first.started()) << first.failure();
    const std::string log = temp() / "second.log";
    qortest::ServerProcess second({"faults", "--root", repo(), "--requests-log", log});
    ASSERT_TRUE(second.started()) << second.failure();
    InitOptions options;
    options.url = first.url() + " " + second.url();
    const Outcome end = runToEnd(options);
    ASSERT_EQ(end.result, 1) << end.api << " " << end.primary << " " << end.secondary;
    EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), data);
    std::vector<SeenRequest> fileRequests;
    for (const SeenRequest& request : readRequests(log))
    {
        if (request.path == file)
        {
            fileRequests.push_back(request);
        }
    }
    ASSERT_EQ(fileRequests.size(), 1U);
    EXPECT_EQ(fileRequests[0].range, "bytes=150000-");
    // both mirrors hold the same copy (same modification time), so the
    // validator the first one gave still guards the range on the second
    EXPECT_FALSE(fileRequests[0].ifRange.empty());
}

TEST_F(MirrorTest, AllMirrorsDownIsTheNetworkCode)
{
    publish("1.0.0", {{"a.txt", "x"}});
    InitOptions options;
    options.url = deadMirror(repo()) + " " + deadMirror(repo());
    const Outcome end = runToEnd(options);
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_NETWORK);
    EXPECT_EQ(end.primary, CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(fs::exists(target()));
}

TEST_F(MirrorTest, ATrickleFailsLikeAStallIsRetriedAndTheNextMirrorServes)
{
    const std::string data = patternData(200000, 23);
    publish("1.0.0", {{"setup.bin", data}});
    const std::string file = channelPath() + "/1.0.0/files/setup.bin";
    const std::string goodLog = temp() / "good.log";
    qortest::ServerProcess good({"faults", "--root", repo(), "--requests-log", goodLog});
    ASSERT_TRUE(good.started()) << good.failure();
    const auto askedOfGood = [&goodLog](const std::string& path) {
        std::size_t asked = 0;
        for (const SeenRequest& request : readRequests(goodLog))
        {
            asked += request.path == path ? 1U : 0U;
        }
        return asked;
    };
    // 20 bytes a second against a minimum of 4 KiB in every half second
    const std::string drip = R"(","kind":"drip","bytes":1,"interval":0.05})";
    ::setenv("PELVANE_MIN_RATE_BYTES", "4096", 1);
    ::setenv("PELVANE_MIN_RATE_WINDOW_MS", "500", 1);
    ::setenv("PELVANE_BASE_STORE", "0", 1); // every round fetches the file again
    struct Case
    {
        std::string path;
        const char* deadlineMs; // nullptr: the default
        std::size_t tries;
    };
    const Case cases[] = {
        {channelPath() + "/channel.qor", nullptr, 3},
        {channelPath() + "/1.0.0/list.json.zst", nullptr, 3},
        {file, nullptr, 3},
        // no minimum rate: the deadline alone ends the top level, its tries included
        {channelPath() + "/channel.qor", "1500", 1},
        {channelPath() + "/1.0.0/list.json.zst", "1500", 1},
    };
    int round = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path + (c.deadlineMs ? " with a deadline" : ""));
        if (c.deadlineMs != nullptr)
        {
            ::setenv("PELVANE_MIN_RATE_BYTES", "0", 1);
            ::setenv("PELVANE_METADATA_DEADLINE_MS", c.deadlineMs, 1);
        }
        const std::string log = temp() / ("drip-" + std::to_string(++round) + ".log");
        qortest::ServerProcess slow({"faults", "--root", repo(), "--requests-log", log, "--rule",
                                     R"({"path":")" + c.path + drip});
        ASSERT_TRUE(slow.started()) << slow.failure();
        fs::remove_all(extract());
        fs::remove_all(target());
        const std::size_t askedBefore = askedOfGood(c.path);
        InitOptions options;
        options.url = slow.url() + " " + good.url();
        const Outcome end = runToEnd(options);
        ASSERT_EQ(end.result, 1) << "api " << end.api << " primary " << end.primary;
        EXPECT_EQ(askedOfGood(c.path), askedBefore + 1) << "the next mirror did not serve";
        EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), data);
        std::size_t tries = 0;
        for (const SeenRequest& request : readRequests(log))
        {
            tries += request.path == c.path ? 1U : 0U;
        }
        EXPECT_EQ(tries, c.tries);
    }

    // with one mirror the trickle is the run's failure, reported as a stall
    ::unsetenv("PELVANE_METADATA_DEADLINE_MS");
    ::setenv("PELVANE_MIN_RATE_BYTES", "4096", 1);
    qortest::ServerProcess slow({"faults", "--root", repo(), "--rule",
                                 R"({"path":")" + file + drip});
    ASSERT_TRUE(slow.started()) << slow.failure();
    fs::remove_all(extract());
    fs::remove_all(target());
    InitOptions options;
    options.url = slow.url();
    const Outcome end = runToEnd(options);
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_NETWORK);
    EXPECT_EQ(end.primary, 28);
}

TEST_F(MirrorTest, APasswordKeptFromPlainHttpIsSaidOncePerRun)
{
    publish("1.0.0", {{"a.bin", "one"}, {"b.bin", "two"}, {"c.bin", "three"}});
    const std::string dead = deadMirror(repo());
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = dead + " " + web.url();
    options.notesPswd = "notes-pw";
    qortest::LogCapture log;
    ASSERT_EQ(runToEnd(options).result, 1);
    std::size_t warnings = 0;
    for (const std::string& line : log.lines())
    {
        warnings += line.rfind("WARN NotesPswd is not sent over plain http", 0) == 0 ? 1U : 0U;
    }
    EXPECT_EQ(warnings, 1U) << log.text();
}

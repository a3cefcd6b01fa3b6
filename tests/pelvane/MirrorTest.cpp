// Several base URLs in URL: the manifest and every file come from the first
// mirror that serves them right. A mirror that is down, answers 503 or serves
// a tampered manifest is passed over; a file cut on one mirror is resumed on
// the next; only when all fail does the run fail, with the network code.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"

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

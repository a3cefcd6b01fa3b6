// The library against a real server: which manifests it accepts (signed by
// the pinned key over the exact bytes, not expired, not older than what it
// accepted before) and that a refused one leaves nothing written anywhere.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/ChannelHistory.h"
#include "pelvane/trust/ChannelManifest.h"

#include <nlohmann/json.hpp>

#include "LogCapture.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
class ManifestTrustTest : public UpdateFixture
{
protected:
    void SetUp() override
    {
        UpdateFixture::SetUp();
        m_web = std::make_unique<qortest::ServerProcess>(
            std::vector<std::string>{"nginx", "--root", repo()});
        ASSERT_TRUE(m_web->started()) << m_web->failure();
    }
    // init + getVersionCount: the manifest's verdict.
    Outcome countWith(const std::string& key = {}, const std::string& installed = {})
    {
        InitOptions options;
        options.url = m_web->url();
        options.key = key;
        options.version = installed;
        const Outcome initialised = init(options);
        if (initialised.result != 1)
        {
            return initialised;
        }
        std::int32_t count = -1;
        lib().getVersionCount(&count);
        return outcome();
    }
    std::string statePath() const { return temp() / "state/pelvane/serials.json"; }
    static std::int64_t now()
    {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    std::string manifestText(std::uint64_t serial, std::int64_t expires) const
    {
        pelvane::ChannelManifest manifest;
        manifest.setProduct(PRODUCT);
        manifest.setChannel(APPLICATION + "/" + LANGUAGE);
        manifest.setSerial(serial);
        manifest.setExpires(expires);
        return manifest.serialize();
    }
    void expectNothingWritten()
    {
        EXPECT_FALSE(fs::exists(extract()));
        EXPECT_FALSE(fs::exists(target()));
        EXPECT_FALSE(fs::exists(flagFile()));
    }

    std::unique_ptr<qortest::ServerProcess> m_web;
};
} // namespace

TEST_F(ManifestTrustTest, OnlyTheExactBytesSignedByThePinnedKeyAreAccepted)
{
    publish("1.0.0", {{"a.bin", "payload"}});
    const std::string genuine = channelPayload();
    const std::string otherKey = temp() / "other.key";
    const std::string otherPin = makeKey(otherKey);
    const std::string genuineSignature = signatureFor(genuine, {keyFile()});

    struct Case
    {
        const char* what;
        std::string signatureFile;
        std::string pin; // empty: the fixture's
    };
    std::string tampered = genuine;
    tampered.replace(tampered.find("1.0.0"), 5, "1.0.1");
    const std::vector<Case> refused = {
        {"signed by another key", signatureFor(genuine, {otherKey}), ""},
        {"a signature over other bytes", signatureFor(tampered, {keyFile()}), ""},
        {"a truncated signature file", genuineSignature.substr(0, genuineSignature.size() / 2), ""},
        {"a pin that matches no signature", genuineSignature, otherPin},
    };
    for (const Case& c : refused)
    {
        SCOPED_TRACE(c.what);
        writeChannel(genuine, c.signatureFile);
        const Outcome end = countWith(c.pin);
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_SIGNATURE);
    }
    {
        SCOPED_TRACE("an envelope that never reaches its payload");
        qortest::writeTextFile(channelFile(), "qor-channel 3\n" + genuineSignature);
        EXPECT_EQ(countWith().api, pelvane::API_SIGNATURE);
    }
    {
        SCOPED_TRACE("old and new key during a rotation");
        writeChannel(genuine, signatureFor(genuine, {keyFile(), otherKey}));
        EXPECT_EQ(countWith().result, 1);
        EXPECT_EQ(countWith(otherPin).result, 1);
    }
    expectNothingWritten();
}

TEST_F(ManifestTrustTest, AnExpiredManifestIsRefusedAfterADayOfGrace)
{
    writeSignedChannel(manifestText(5, now() - 2 * 86400));
    Outcome end = countWith();
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_EXPIRED);
    EXPECT_FALSE(fs::exists(statePath())) << "a refused manifest's serial is not remembered";

    // a client whose clock runs a few hours fast still updates
    writeSignedChannel(manifestText(5, now() - 3 * 3600));
    end = countWith();
    EXPECT_EQ(end.result, 1) << end.api;
    expectNothingWritten();
}

TEST_F(ManifestTrustTest, AReplayedOlderManifestIsRefusedOnceANewerOneWasAccepted)
{
    writeSignedChannel(manifestText(100, now() + 86400));
    const std::string older = qortest::readTextFile(channelFile());
    ASSERT_EQ(countWith().result, 1);
    writeSignedChannel(manifestText(101, now() + 86400));
    ASSERT_EQ(countWith().result, 1);
    const auto open = fs::perms::group_all | fs::perms::others_all;
    ASSERT_TRUE(fs::exists(statePath()));
    EXPECT_EQ(fs::status(statePath()).permissions() & open, fs::perms::none);

    qortest::writeTextFile(channelFile(), older);
    // a replayed copy keeps the time it had when it was current
    fs::last_write_time(channelFile(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    const Outcome end = countWith();
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, pelvane::API_ROLLBACK);

    // the same serial again is no rollback: a client may ask twice
    writeSignedChannel(manifestText(101, now() + 86400));
    EXPECT_EQ(countWith().result, 1);
    expectNothingWritten();
}

TEST_F(ManifestTrustTest, ACorruptStateFileIsLoggedTreatedAsEmptyAndRewritten)
{
    fs::create_directories(fs::path(statePath()).parent_path());
    qortest::writeTextFile(statePath(), std::string("\x7f{\"broken", 9));
    writeSignedChannel(manifestText(7, now() + 86400));
    ASSERT_EQ(countWith().result, 1);
    const std::string state = qortest::readTextFile(statePath());
    EXPECT_NE(state.find(PRODUCT + " " + APPLICATION + "/" + LANGUAGE + "\": 7"), std::string::npos)
        << state;
    writeSignedChannel(manifestText(6, now() + 86400));
    EXPECT_EQ(countWith().api, pelvane::API_ROLLBACK) << "the rewritten state holds";
}

TEST_F(ManifestTrustTest, StateFileBombsCostNothingWarnOnceAndAreRewrittenSmall)
{
    fs::create_directories(fs::path(statePath()).parent_path());
    const std::string name = PRODUCT + " " + APPLICATION + "/" + LANGUAGE;
    struct Case
    {
        const char* what;
        std::function<void()> plant;
    };
    const Case cases[] = {
        {"nested", [&] { qortest::writeTextFile(statePath(), std::string(100000, '[')); }},
        {"a valid object nested", [&]
         { qortest::writeTextFile(statePath(), "{\"" + name + "\": 1, \"x\": [[[[[[1]]]]]]}"); }},
        {"huge", [&]
         {
             qortest::writeTextFile(statePath(), "{");
             fs::resize_file(statePath(), 2ULL << 30); // sparse: 2 GiB that read as zeros
         }},
    };
    std::uint64_t serial = 10;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        c.plant();
        writeSignedChannel(manifestText(++serial, now() + 86400));
        qortest::LogCapture log;
        ASSERT_EQ(countWith().result, 1);
        std::size_t warnings = 0;
        for (const std::string& line : log.lines())
        {
            warnings += line.rfind("WARN Serial state corrupt", 0) == 0 ? 1U : 0U;
        }
        EXPECT_EQ(warnings, 1U) << log.text();
        EXPECT_LT(fs::file_size(statePath()), 200U) << "the rewrite keeps only the entries";
        EXPECT_NE(qortest::readTextFile(statePath()).find(name + "\": " + std::to_string(serial)),
                  std::string::npos);
    }
}

TEST_F(ManifestTrustTest, APublishedRepositoryRunsEndToEndAndRemembersItsSerial)
{
    publish("1.0.0", {{"a.bin", "one"}});
    publish("1.1.0", {{"a.bin", "two"}});
    InitOptions options;
    options.url = m_web->url();
    ASSERT_EQ(runToEnd(options).result, 1);
    EXPECT_EQ(qortest::readTextFile(target() + "/a.bin"), "two");
    std::string problem;
    const auto manifest = pelvane::ChannelManifest::parse(channelPayload(), problem);
    ASSERT_TRUE(manifest) << problem;
    EXPECT_NE(qortest::readTextFile(statePath()).find(std::to_string(manifest->serial())),
              std::string::npos);
}

TEST_F(ManifestTrustTest, NothingNewCostsOneConditionalRequestWhileTheCachedCopyStillHolds)
{
    publish("1.0.0", {{"a.bin", "one"}});
    const std::string accessLog = temp() / "access.log";
    qortest::ServerProcess web({"nginx", "--root", repo(), "--access-log", accessLog});
    ASSERT_TRUE(web.started()) << web.failure();
    // the requests of one run: channel.qor's as its status, others as their path
    std::size_t seen = 0;
    const auto runStatuses = [&](const std::string& version, std::int32_t& count)
    {
        InitOptions options;
        options.url = web.url();
        options.version = version;
        count = -1;
        if (init(options).result == 1)
        {
            lib().getVersionCount(&count);
        }
        std::vector<std::string> statuses;
        std::istringstream lines(qortest::readTextFile(accessLog));
        std::size_t number = 0;
        for (std::string line; std::getline(lines, line); ++number)
        {
            std::istringstream fields(line);
            std::string method, uri, status;
            fields >> method >> uri >> status;
            if (number >= seen)
            {
                statuses.push_back(uri.find("channel.qor") != std::string::npos ? status : uri);
            }
        }
        seen = number;
        return statuses;
    };
    std::int32_t count = -1;
    EXPECT_EQ(runStatuses("", count), std::vector<std::string>{"200"});
    EXPECT_EQ(count, 1);
    const std::string cached =
        temp() / ("state/pelvane/channels/" +
                  pelvane::sha256Hex(PRODUCT + "\n" + APPLICATION + "/" + LANGUAGE).substr(0, 16) +
                  ".qor");
    ASSERT_TRUE(fs::exists(cached));
    const auto open = fs::perms::group_all | fs::perms::others_all;
    EXPECT_EQ(fs::status(cached).permissions() & open, fs::perms::none);
    EXPECT_EQ(fs::status(cached + ".meta").permissions() & open, fs::perms::none);

    // nothing new: one request, answered 304, and no newer version
    EXPECT_EQ(runStatuses("1.0.0", count), std::vector<std::string>{"304"});
    EXPECT_EQ(count, 0);
    EXPECT_EQ(outcome().result, 1);

    // a cached copy that no longer holds is dropped and the top level fetched
    // anew, although the server would have answered 304
    const std::string genuine = qortest::readTextFile(cached);
    auto meta = nlohmann::json::parse(qortest::readTextFile(cached + ".meta"));
    std::string tampered = genuine;
    tampered.replace(tampered.find("\"notes\":\"\""), 10, "\"notes\":\"x\"");
    std::string expired = manifestText(1, now() - 2 * 86400);
    expired = pelvane::ChannelEnvelope::compose(signatureFor(expired, {keyFile()}), expired);
    for (const auto& [what, copy] : {std::pair{"tampered", tampered}, {"expired", expired}})
    {
        SCOPED_TRACE(what);
        qortest::writeTextFile(cached, copy);
        meta["sha256"] = pelvane::sha256Hex(copy);
        qortest::writeTextFile(cached + ".meta", meta.dump());
        EXPECT_EQ(runStatuses("1.0.0", count), std::vector<std::string>{"200"});
        EXPECT_EQ(count, 0);
        EXPECT_EQ(outcome().result, 1);
        EXPECT_EQ(qortest::readTextFile(cached), genuine) << "the fresh copy is cached";
    }

    // a new publication is seen at once
    publish("1.1.0", {{"a.bin", "two"}});
    EXPECT_EQ(runStatuses("1.0.0", count), std::vector<std::string>{"200"});
    EXPECT_EQ(count, 1);
    expectNothingWritten();
}

TEST_F(ManifestTrustTest, AHistoryObjectThatIsNotWhatChannelQorNamesIsRefusedWithCode8)
{
    publish("1.0.0", {{"a.bin", "one"}});
    const std::string genuine = channelPayload();
    std::string problem;
    const auto top = pelvane::ChannelManifest::parse(genuine, problem);
    ASSERT_TRUE(top) << problem;
    const auto historyOf = [&](const char* number)
    {
        pelvane::HistoryObject object;
        pelvane::ChannelVersion older = top->versions().front();
        older.number = *pelvane::VersionNumber::parse(number);
        object.versions.push_back(older);
        return pelvane::ChannelHistory::encode(PRODUCT, APPLICATION + "/" + LANGUAGE, object);
    };
    const std::string older = historyOf("0.9");
    std::string flipped = older;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 1);
    struct Case
    {
        const char* what;
        std::string named;  // the object channel.qor names
        std::string served; // what the mirror serves under its name
        const char* refusal;
    };
    const Case cases[] = {
        {"other bytes of the same size", older, flipped, "does not match the size and SHA-256"},
        {"longer than named", older, older + "x", "longer than the link"},
        {"not older than the versions listed", historyOf("2.0"), historyOf("2.0"),
         "not all older than those after it"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string sha = pelvane::sha256Hex(c.named);
        fs::create_directories(channelFolder() + "/history");
        qortest::writeTextFile(channelFolder() + "/history/" + sha + ".json.zst", c.served);
        auto payload = nlohmann::json::parse(genuine);
        payload["history"] = {{"size", c.named.size()}, {"sha256", sha}};
        writeSignedChannel(payload.dump());
        qortest::LogCapture log;
        const Outcome refused = countWith(); // nothing installed: every version is wanted
        EXPECT_EQ(refused.api, pelvane::API_BAD_MANIFEST);
        EXPECT_NE(log.text().find("ERROR History object " + sha + " from " + m_web->url() +
                                  " refused: "),
                  std::string::npos)
            << log.text();
        EXPECT_NE(log.text().find(c.refusal), std::string::npos) << log.text();
        expectNothingWritten();
    }
    // a client that is not behind the versions listed never needs it
    EXPECT_EQ(countWith({}, "1.0.0").result, 1);
}

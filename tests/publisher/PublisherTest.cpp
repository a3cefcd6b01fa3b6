// qor-publish as a user runs it: exit codes, what it writes, what it refuses
// to touch, and the key files it makes and reads.
#include "PublishedChannel.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/trust/ChannelHistory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;

namespace
{
const std::string CHANNEL = "0_TEST_0_EN/EN";

std::string firstLine(std::string text)
{
    const std::size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

std::int64_t now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class PublisherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(release() + "/sub");
        qortest::writeTextFile(release() + "/setup.exe", "installer bytes");
        qortest::writeTextFile(release() + "/sub/data.bin", std::string(70000, 'z'));
        m_pin = keygen(key1());
        ASSERT_EQ(m_pin.size(), 32U);
    }
    std::string repo() const { return m_temp / "repo"; }
    std::string release() const { return m_temp / "release"; }
    std::string channel() const { return repo() + "/PROD/" + CHANNEL; }
    std::string key1() const { return m_temp / "key1.pem"; }

    std::string keygen(const std::string& file)
    {
        std::string output;
        EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "keygen", "--out", file}, &output), 0)
            << output;
        return firstLine(output);
    }
    std::vector<std::string> where() const
    {
        return {"--repo", repo(), "--product", "PROD", "--channel", CHANNEL};
    }
    int run(const std::string& command, std::vector<std::string> extra,
            std::string* output = nullptr)
    {
        std::vector<std::string> arguments = {QOR_PUBLISH_PATH, command};
        const std::vector<std::string> address = where();
        arguments.insert(arguments.end(), address.begin(), address.end());
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return qortest::runProgram(arguments, output);
    }
    int publish(const std::string& version, const std::string& keyFile,
                std::vector<std::string> extra = {}, std::string* output = nullptr)
    {
        std::vector<std::string> arguments = {"--version", version, "--key-file", keyFile};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(release());
        return run("publish", arguments, output);
    }
    pelvane::ManifestSignature::Check signatureFor(const std::string& pin)
    {
        return publishedtest::PublishedChannel(channel()).signatureFor(pin);
    }
    std::optional<pelvane::ChannelManifest> manifest()
    {
        return publishedtest::PublishedChannel(channel()).manifest();
    }
    // The version at `index` with its file list.
    pelvane::ManifestVersion version(std::size_t index = 0)
    {
        return publishedtest::PublishedChannel(channel()).version(index);
    }
    std::string channelFile() const { return channel() + "/channel.qor"; }

    qortest::TempFolder m_temp;
    std::string m_pin;
};
} // namespace

TEST_F(PublisherTest, PublishesFilesWithSizesHashesNotesSerialExpiryAndASignature)
{
    std::string output;
    ASSERT_EQ(publish("1.0.0", key1(), {"--notes", "Fixes things"}, &output), 0) << output;
    EXPECT_TRUE(fs::is_directory(repo())) << "the repository folder is made when missing";
    EXPECT_EQ(qortest::readTextFile(channel() + "/1.0.0/files/setup.exe"), "installer bytes");
    EXPECT_EQ(signatureFor(m_pin), pelvane::ManifestSignature::Check::Verified);
    const auto parsed = manifest();
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->versions().size(), 1U);
    EXPECT_EQ(parsed->versions()[0].fileCount, 2U);
    EXPECT_EQ(parsed->versions()[0].totalSize, 70015U);
    EXPECT_FALSE(parsed->versions()[0].complete);
    const pelvane::ManifestVersion listed = version();
    EXPECT_EQ(listed.notes, "Fixes things");
    ASSERT_EQ(listed.files.size(), 2U);
    EXPECT_EQ(listed.files[0].path, "setup.exe");
    EXPECT_EQ(listed.files[0].sha256, pelvane::sha256Hex("installer bytes"));
    EXPECT_EQ(listed.files[1].path, "sub/data.bin");
    EXPECT_EQ(listed.files[1].size, 70000U);
    EXPECT_EQ(parsed->product(), "PROD");
    EXPECT_EQ(parsed->channel(), CHANNEL);
    EXPECT_NEAR(static_cast<double>(parsed->expires()), static_cast<double>(now() + 365 * 86400),
                120.0);

    // a second version joins the first, in version order, under a higher serial
    ASSERT_EQ(publish("0.9", key1(), {"--expires-in", "10"}), 0);
    ASSERT_EQ(publish("1.10.0", key1()), 0);
    const auto three = manifest();
    ASSERT_TRUE(three);
    ASSERT_EQ(three->versions().size(), 3U);
    EXPECT_EQ(three->versions()[0].number.text(), "0.9");
    EXPECT_EQ(three->versions()[2].number.text(), "1.10.0");
    EXPECT_GE(three->serial(), parsed->serial() + 2);
    EXPECT_EQ(publish("2.0", key1(), {"--expires-in", "0"}), 2);
    EXPECT_EQ(publish("2.0", key1(), {"--expires-in", "ten"}), 1);
    // an unknown option is named as such, also as the last word
    std::string refused;
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "--bogus"}, &refused), 1);
    EXPECT_EQ(firstLine(refused), "qor-publish: unknown option --bogus");
}

TEST_F(PublisherTest, AnExistingVersionNeedsReplaceAndAForeignKeyChangesNothing)
{
    ASSERT_EQ(publish("1.0.0", key1()), 0);
    const std::string before = qortest::readTextFile(channelFile());
    EXPECT_EQ(publish("1.0.0", key1()), 4);
    EXPECT_EQ(publish("1.0", key1()), 4) << "1.0 is the same version as 1.0.0";

    qortest::writeTextFile(release() + "/setup.exe", "fixed installer");
    const std::string stranger = m_temp / "stranger.pem";
    keygen(stranger);
    EXPECT_EQ(publish("2.0.0", stranger), 3);
    EXPECT_EQ(qortest::readTextFile(channelFile()), before);
    EXPECT_FALSE(fs::exists(channel() + "/2.0.0"));

    ASSERT_EQ(publish("1.0.0", key1(), {"--replace"}), 0);
    EXPECT_EQ(qortest::readTextFile(channel() + "/1.0.0/files/setup.exe"), "fixed installer");
    EXPECT_EQ(version().files[0].sha256, pelvane::sha256Hex("fixed installer"));

    // a repository whose signature was lost is not re-signed over
    const std::string payload = publishedtest::PublishedChannel(channel()).payload();
    qortest::writeTextFile(channelFile(), "qor-channel 3\n\n" + payload);
    EXPECT_EQ(publish("3.0.0", key1()), 3);
}

TEST_F(PublisherTest, KeygenMakesAnOwnerOnlyKeyPrintsItsPinAndNeverOverwrites)
{
    const auto open = fs::perms::group_all | fs::perms::others_all;
    EXPECT_EQ(fs::status(key1()).permissions() & open, fs::perms::none);
    // the pin, computed by openssl from the key file
    std::string derived;
    ASSERT_EQ(qortest::runProgram({"sh", "-c",
                                   "openssl pkey -in '" + key1() +
                                       "' -pubout -outform DER | tail -c 32 | sha256sum"},
                                  &derived),
              0);
    EXPECT_EQ(derived.substr(0, 32), m_pin);

    const std::string before = qortest::readTextFile(key1());
    std::string output;
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "keygen", "--out", key1()}, &output), 2);
    EXPECT_NE(output.find("never overwritten"), std::string::npos) << output;
    EXPECT_EQ(qortest::readTextFile(key1()), before);
    EXPECT_NE(keygen(m_temp / "key2.pem"), m_pin);
}

TEST_F(PublisherTest, AKeyFileOthersCanReadIsRefusedLikeSshDoes)
{
    for (const fs::perms extra : {fs::perms::others_read, fs::perms::group_read})
    {
        fs::permissions(key1(), fs::perms::owner_read | fs::perms::owner_write | extra,
                        fs::perm_options::replace);
        std::string output;
        EXPECT_EQ(publish("1.0.0", key1(), {}, &output), 2);
        EXPECT_NE(output.find("chmod 600"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(channelFile()));
    }
    qortest::writeTextFile(m_temp / "not-a-key.pem", "hello");
    fs::permissions(m_temp / "not-a-key.pem", fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_EQ(publish("1.0.0", m_temp / "not-a-key.pem"), 2);
}

TEST_F(PublisherTest, ResignRefreshesExpirySerialAndKeysWithoutTouchingPayloads)
{
    ASSERT_EQ(publish("1.0.0", key1(), {"--expires-in", "1"}), 0);
    const auto before = manifest();
    ASSERT_TRUE(before);
    const auto payloadTime = fs::last_write_time(channel() + "/1.0.0/files/sub/data.bin");

    const std::string key2 = m_temp / "key2.pem";
    const std::string pin2 = keygen(key2);
    std::string output;
    // rotation: sign with the old and the new key
    ASSERT_EQ(
        run("resign", {"--key-file", key1(), "--key-file", key2, "--expires-in", "30"}, &output), 0)
        << output;
    const auto after = manifest();
    ASSERT_TRUE(after);
    EXPECT_GT(after->serial(), before->serial());
    EXPECT_GT(after->expires(), before->expires() + 28 * 86400);
    EXPECT_EQ(signatureFor(m_pin), pelvane::ManifestSignature::Check::Verified);
    EXPECT_EQ(signatureFor(pin2), pelvane::ManifestSignature::Check::Verified);
    ASSERT_EQ(after->versions().size(), 1U);
    EXPECT_EQ(after->versions()[0].list.sha256, before->versions()[0].list.sha256);
    EXPECT_EQ(version().files[1].sha256, pelvane::sha256Hex(std::string(70000, 'z')));
    EXPECT_EQ(fs::last_write_time(channel() + "/1.0.0/files/sub/data.bin"), payloadTime);

    // after the transition the new key alone carries on; a second top level
    // within the same second still gets a later modification second, which
    // is what mirrors revalidate by
    const auto firstStamp = fs::last_write_time(channel() + "/channel.qor");
    ASSERT_EQ(run("resign", {"--key-file", key2}), 0);
    EXPECT_GT(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(channel() + "/channel.qor")),
              std::chrono::floor<std::chrono::seconds>(firstStamp));
    EXPECT_EQ(signatureFor(m_pin), pelvane::ManifestSignature::Check::NoPinnedKey);
    EXPECT_EQ(signatureFor(pin2), pelvane::ManifestSignature::Check::Verified);
    EXPECT_EQ(run("resign", {"--key-file", key1()}), 3) << "the old key no longer signs";
}

TEST_F(PublisherTest, VerifyReportsWhatAClientWouldRefuse)
{
    ASSERT_EQ(publish("1.0.0", key1()), 0);
    std::string output;
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;

    qortest::writeTextFile(channel() + "/1.0.0/files/setup.exe", "installer bytez"); // same size
    fs::remove(channel() + "/1.0.0/files/sub/data.bin");
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 6);
    EXPECT_NE(output.find("wrong SHA-256: 1.0.0/setup.exe"), std::string::npos) << output;
    EXPECT_NE(output.find("missing: 1.0.0/sub/data.bin"), std::string::npos) << output;

    // a file list that is not the one channel.qor names
    ASSERT_EQ(publish("2.0.0", key1()), 0);
    const std::string list = channel() + "/2.0.0/list.json.zst";
    fs::copy_file(channel() + "/1.0.0/list.json.zst", list, fs::copy_options::overwrite_existing);
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 6);
    EXPECT_NE(output.find("2.0.0/list.json.zst"), std::string::npos) << output;

    EXPECT_EQ(run("verify", {"--pin", std::string(32, 'a')}, &output), 6);
    EXPECT_NE(output.find("no signature by the pinned key"), std::string::npos) << output;
    EXPECT_EQ(run("verify", {"--pin", "short"}, &output), 2);
}

TEST_F(PublisherTest, BadInputGetsAClearMessageAndItsExitCode)
{
    std::string output;
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH}, &output), 1);
    EXPECT_NE(output.find("Usage"), std::string::npos);
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "--bogus", "x"}, &output), 1);
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "--help"}, &output), 0);
    // the shared-secret option is gone, with a pointer to what replaced it
    EXPECT_EQ(run("publish", {"--version", "1.0", "--key", "k", release()}, &output), 1);
    EXPECT_NE(output.find("keygen"), std::string::npos) << output;

    EXPECT_EQ(publish("1.x", key1(), {}, &output), 2);
    EXPECT_NE(output.find("version"), std::string::npos);
    EXPECT_EQ(
        run("publish", {"--version", "1.0", "--key-file", key1(), m_temp / "no-release"}, &output),
        2);
    EXPECT_NE(output.find("release folder not found"), std::string::npos);
    EXPECT_EQ(
        qortest::runProgram({QOR_PUBLISH_PATH, "--repo", repo(), "--product", "../x", "--channel",
                             CHANNEL, "--version", "1.0", "--key-file", key1(), release()},
                            &output),
        2);
    EXPECT_EQ(
        qortest::runProgram({QOR_PUBLISH_PATH, "--repo", repo(), "--product", "PROD", "--channel",
                             "only-one-part", "--version", "1.0", "--key-file", key1(), release()},
                            &output),
        2);

    // links in a release are refused rather than followed
    fs::create_symlink("/etc/passwd", release() + "/link");
    EXPECT_EQ(publish("1.0.0", key1(), {}, &output), 2);
    EXPECT_NE(output.find("link"), std::string::npos);
    EXPECT_FALSE(fs::exists(channelFile()));
}

TEST_F(PublisherTest, ARepositoryOfAnOlderFormatIsNotTouched)
{
    fs::create_directories(channel());
    for (const auto& [format, says] : {std::pair{1, "old shared-key form"}, {2, "old format 2"}})
    {
        const std::string old = R"({"format":)" + std::to_string(format) +
                                R"(,"product":"PROD","channel":")" + CHANNEL +
                                R"(","versions":[]})";
        qortest::writeTextFile(channel() + "/manifest.json", old);
        qortest::writeTextFile(channel() + "/manifest.json.sig", std::string(64, 'a') + "\n");
        std::string output;
        EXPECT_EQ(publish("1.0.0", key1(), {}, &output), 3);
        EXPECT_NE(output.find(says), std::string::npos) << output;
        EXPECT_NE(output.find("publish its releases again"), std::string::npos) << output;
        EXPECT_EQ(qortest::readTextFile(channel() + "/manifest.json"), old);
        EXPECT_FALSE(fs::exists(channelFile()));
    }
}

TEST_F(PublisherTest, PruningKeepsTheNewestVersionsAndDeletesTheOthersOnlyWhenClientsCanCatchUp)
{
    ASSERT_EQ(publish("1.0.0", key1(), {"--complete"}), 0);
    ASSERT_EQ(publish("1.1.0", key1()), 0);
    std::string output;
    // 1.1.0 alone is an overlay: a client older than it would lack 1.0.0's files
    EXPECT_EQ(run("prune", {"--key-file", key1(), "--keep-versions", "1"}, &output), 2);
    EXPECT_NE(output.find("--complete"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(channel() + "/1.0.0"));
    EXPECT_EQ(publish("1.2.0", key1(), {"--keep-versions", "1"}), 2);
    EXPECT_FALSE(fs::exists(channel() + "/1.2.0")) << "refused before anything is written";

    ASSERT_EQ(publish("1.2.0", key1(), {"--complete"}), 0);
    ASSERT_EQ(run("prune", {"--key-file", key1(), "--keep-versions", "1"}, &output), 0) << output;
    const auto kept = manifest();
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->versions().size(), 1U);
    EXPECT_EQ(kept->versions()[0].number.text(), "1.2.0");
    EXPECT_FALSE(fs::exists(channel() + "/1.0.0"));
    EXPECT_FALSE(fs::exists(channel() + "/1.1.0"));

    ASSERT_EQ(publish("1.3.0", key1(), {"--complete", "--keep-versions", "1"}, &output), 0)
        << output;
    EXPECT_EQ(manifest()->versions().size(), 1U);
    EXPECT_FALSE(fs::exists(channel() + "/1.2.0"));
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;
    EXPECT_EQ(run("prune", {"--key-file", key1()}, &output), 1) << "prune needs the count";
}

TEST_F(PublisherTest, TheTopLevelStopsGrowingPastItsWindowAndTheHistoryIsVerifiedAndPruned)
{
    const std::size_t window = pelvane::ChannelHistory::LISTED;
    const std::string history = channel() + "/history";
    std::size_t mostListed = 0;
    std::uintmax_t sizeBefore = 0;
    for (std::size_t i = 1; i <= 2 * window; ++i)
    {
        sizeBefore = i > 1 ? fs::file_size(channelFile()) : 0;
        ASSERT_EQ(publish("1." + std::to_string(i), key1(), {"--complete", "--delta-from", "0"}), 0);
        mostListed = std::max(mostListed, manifest()->versions().size());
    }
    // 2W versions: the oldest W went to one history object, the newest W stay
    EXPECT_EQ(mostListed, 2 * window - 1);
    const auto top = manifest();
    ASSERT_EQ(top->versions().size(), window);
    EXPECT_EQ(top->versions().front().number.text(), "1." + std::to_string(window + 1));
    ASSERT_TRUE(top->history());
    EXPECT_LT(fs::file_size(channelFile()), sizeBefore) << "channel.qor shrank";
    const std::string object = history + "/" + top->history()->sha256 + ".json.zst";
    ASSERT_TRUE(fs::exists(object));
    std::string output;
    ASSERT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;
    EXPECT_NE(output.find(std::to_string(2 * window) + " versions (" + std::to_string(window) +
                          " of them in the history)"),
              std::string::npos)
        << output;

    // a history object that is not what channel.qor names: verify says so, publish refuses
    const std::string genuine = qortest::readTextFile(object);
    std::string forged = genuine;
    forged[forged.size() / 2] = static_cast<char>(forged[forged.size() / 2] ^ 1);
    qortest::writeTextFile(object, forged);
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 6);
    EXPECT_NE(output.find("does not match the size and SHA-256"), std::string::npos) << output;
    const std::string channelBefore = qortest::readTextFile(channelFile());
    EXPECT_EQ(publish("3.0", key1(), {"--complete"}), 2);
    EXPECT_EQ(qortest::readTextFile(channelFile()), channelBefore) << "nothing changed";
    qortest::writeTextFile(object, genuine);

    // pruning into the listed window leaves no history behind
    ASSERT_EQ(run("prune", {"--key-file", key1(), "--keep-versions", std::to_string(window + 8)},
                  &output),
              0)
        << output;
    const auto pruned = manifest();
    EXPECT_EQ(pruned->versions().size(), window + 8);
    EXPECT_FALSE(pruned->history());
    EXPECT_FALSE(fs::exists(history)) << "no object names a kept version";
    EXPECT_FALSE(fs::exists(channel() + "/1." + std::to_string(window - 8)));
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;
}

TEST_F(PublisherTest, NotesCanComeFromAFile)
{
    qortest::writeTextFile(m_temp / "notes.txt", "Line one\nLine two\n");
    ASSERT_EQ(publish("1.0.0", key1(), {"--notes-file", m_temp / "notes.txt"}), 0);
    EXPECT_EQ(manifest()->versions()[0].notes, "Line one\nLine two\n");
}

// qor-publish as a user runs it: exit codes, what it writes, and what it
// refuses to touch.
#include "pelvane/Manifest.h"
#include "pelvane/Sha256.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
const std::string CHANNEL = "0_TEST_0_EN/EN";

class PublisherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(repo());
        fs::create_directories(release() + "/sub");
        qortest::writeTextFile(release() + "/setup.exe", "installer bytes");
        qortest::writeTextFile(release() + "/sub/data.bin", std::string(70000, 'z'));
    }
    std::string repo() const { return m_temp / "repo"; }
    std::string release() const { return m_temp / "release"; }
    std::string channel() const { return repo() + "/PROD/" + CHANNEL; }

    int publish(const std::string& version, const std::string& key,
                std::vector<std::string> extra = {}, std::string* output = nullptr)
    {
        std::vector<std::string> command = {QOR_PUBLISH_PATH, "--repo",    repo(),  "--product",
                                            "PROD",           "--channel", CHANNEL, "--version",
                                            version,          "--key",     key};
        command.insert(command.end(), extra.begin(), extra.end());
        command.push_back(release());
        return qortest::runProgram(command, output);
    }

    std::optional<pelvane::Manifest> manifest()
    {
        std::string error;
        return pelvane::Manifest::parse(qortest::readTextFile(channel() + "/manifest.json"), error);
    }

    qortest::TempFolder m_temp;
};
} // namespace

TEST_F(PublisherTest, PublishesFilesWithSizesHashesNotesAndAValidSignature)
{
    std::string output;
    ASSERT_EQ(publish("1.0.0", "key1", {"--notes", "Fixes things"}, &output), 0) << output;
    EXPECT_EQ(qortest::readTextFile(channel() + "/1.0.0/setup.exe"), "installer bytes");
    const std::string bytes = qortest::readTextFile(channel() + "/manifest.json");
    EXPECT_TRUE(pelvane::Manifest::verify("key1", bytes,
                                          qortest::readTextFile(channel() + "/manifest.json.sig")));
    const auto parsed = manifest();
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->versions().size(), 1U);
    const pelvane::ManifestVersion& version = parsed->versions()[0];
    EXPECT_EQ(version.notes, "Fixes things");
    ASSERT_EQ(version.files.size(), 2U);
    EXPECT_EQ(version.files[0].path, "setup.exe");
    EXPECT_EQ(version.files[0].sha256, pelvane::sha256Hex("installer bytes"));
    EXPECT_EQ(version.files[1].path, "sub/data.bin");
    EXPECT_EQ(version.files[1].size, 70000U);
    EXPECT_EQ(parsed->product(), "PROD");
    EXPECT_EQ(parsed->channel(), CHANNEL);

    // a second version joins the first, in version order
    ASSERT_EQ(publish("0.9", "key1"), 0);
    ASSERT_EQ(publish("1.10.0", "key1"), 0);
    const auto three = manifest();
    ASSERT_TRUE(three);
    ASSERT_EQ(three->versions().size(), 3U);
    EXPECT_EQ(three->versions()[0].number.text(), "0.9");
    EXPECT_EQ(three->versions()[2].number.text(), "1.10.0");
}

TEST_F(PublisherTest, AnExistingVersionNeedsReplaceAndAWrongKeyChangesNothing)
{
    ASSERT_EQ(publish("1.0.0", "key1"), 0);
    const std::string before = qortest::readTextFile(channel() + "/manifest.json");
    EXPECT_EQ(publish("1.0.0", "key1"), 4);
    EXPECT_EQ(publish("1.0", "key1"), 4) << "1.0 is the same version as 1.0.0";

    qortest::writeTextFile(release() + "/setup.exe", "fixed installer");
    EXPECT_EQ(publish("2.0.0", "wrong key"), 3);
    EXPECT_EQ(qortest::readTextFile(channel() + "/manifest.json"), before);
    EXPECT_FALSE(fs::exists(channel() + "/2.0.0"));

    ASSERT_EQ(publish("1.0.0", "key1", {"--replace"}), 0);
    EXPECT_EQ(qortest::readTextFile(channel() + "/1.0.0/setup.exe"), "fixed installer");
    EXPECT_EQ(manifest()->versions()[0].files[0].sha256, pelvane::sha256Hex("fixed installer"));

    // a repository whose signature was lost is not re-signed over
    fs::remove(channel() + "/manifest.json.sig");
    EXPECT_EQ(publish("3.0.0", "key1"), 3);
}

TEST_F(PublisherTest, BadInputGetsAClearMessageAndItsExitCode)
{
    std::string output;
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH}, &output), 1);
    EXPECT_NE(output.find("Usage"), std::string::npos);
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "--bogus", "x"}, &output), 1);
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "--help"}, &output), 0);

    EXPECT_EQ(publish("1.x", "key1", {}, &output), 2);
    EXPECT_NE(output.find("version"), std::string::npos);
    EXPECT_EQ(
        qortest::runProgram({QOR_PUBLISH_PATH, "--repo", repo(), "--product", "PROD", "--channel",
                             CHANNEL, "--version", "1.0", "--key", "k", m_temp / "no-such-release"},
                            &output),
        2);
    EXPECT_NE(output.find("release folder not found"), std::string::npos);
    EXPECT_EQ(
        qortest::runProgram({QOR_PUBLISH_PATH, "--repo", m_temp / "no-repo", "--product", "PROD",
                             "--channel", CHANNEL, "--version", "1.0", "--key", "k", release()},
                            &output),
        2);
    EXPECT_EQ(
        qortest::runProgram({QOR_PUBLISH_PATH, "--repo", repo(), "--product", "../x", "--channel",
                             CHANNEL, "--version", "1.0", "--key", "k", release()},
                            &output),
        2);
    EXPECT_EQ(
        qortest::runProgram({QOR_PUBLISH_PATH, "--repo", repo(), "--product", "PROD", "--channel",
                             "only-one-part", "--version", "1.0", "--key", "k", release()},
                            &output),
        2);

    // links in a release are refused rather than followed
    fs::create_symlink("/etc/passwd", release() + "/link");
    EXPECT_EQ(publish("1.0.0", "key1", {}, &output), 2);
    EXPECT_NE(output.find("link"), std::string::npos);
    EXPECT_FALSE(fs::exists(channel() + "/manifest.json"));
}

TEST_F(PublisherTest, KeyAndNotesCanComeFromFiles)
{
    qortest::writeTextFile(m_temp / "key.txt", "file-key\n");
    qortest::writeTextFile(m_temp / "notes.txt", "Line one\nLine two\n");
    ASSERT_EQ(publish("1.0.0", "ignored",
                      {"--key-file", m_temp / "key.txt", "--notes-file", m_temp / "notes.txt"}),
              0);
    EXPECT_TRUE(pelvane::Manifest::verify("file-key",
                                          qortest::readTextFile(channel() + "/manifest.json"),
                                          qortest::readTextFile(channel() + "/manifest.json.sig")));
    EXPECT_EQ(manifest()->versions()[0].notes, "Line one\nLine two\n");
}

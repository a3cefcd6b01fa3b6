// The chunk indexes qor-publish writes beside every file: named by the
// signed manifest with their size and hash, describing the file exactly,
// kept by a re-signing, and checked by `qor-publish verify`.
#include "publisher/ChunkIndexFiles.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/trust/Manifest.h"
#include "pelvane/trust/ManifestSignature.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
class ChunkIndexPublishTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string output;
        ASSERT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "keygen", "--out", key()}, &output), 0)
            << output;
        m_pin = output.substr(0, output.find('\n'));
        ASSERT_EQ(m_pin.size(), 32U);
    }

    std::string channel() const { return m_temp / "repo/PROD/APP/EN"; }
    std::string key() const { return m_temp / "publisher.pem"; }

    int run(const std::string& command, const std::vector<std::string>& extra,
            std::string* output = nullptr)
    {
        std::vector<std::string> arguments = {QOR_PUBLISH_PATH, command,     "--repo",
                                              m_temp / "repo",  "--product", "PROD",
                                              "--channel",      "APP/EN"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return qortest::runProgram(arguments, output);
    }

    int publish(const std::map<std::string, std::string>& files, std::string* output = nullptr)
    {
        fs::remove_all(m_temp / "release");
        for (const auto& [path, content] : files)
        {
            fs::create_directories((fs::path(m_temp / "release") / path).parent_path());
            qortest::writeTextFile(m_temp / ("release/" + path), content);
        }
        return run("publish",
                   {"--version", "1.0.0", "--key-file", key(), "--replace", m_temp / "release"},
                   output);
    }

    pelvane::ManifestVersion version()
    {
        std::string error;
        const auto manifest =
            pelvane::Manifest::parse(qortest::readTextFile(channel() + "/manifest.json"), error);
        EXPECT_TRUE(manifest) << error;
        return manifest ? manifest->versions().front() : pelvane::ManifestVersion{};
    }

    qortest::TempFolder m_temp;
    std::string m_pin;
};

std::string bigData(std::size_t size)
{
    std::string data(size, '\0');
    std::uint32_t state = 12345;
    for (char& c : data)
    {
        state = state * 1103515245U + 12345U;
        c = static_cast<char>(state >> 23);
    }
    return data;
}
} // namespace

TEST_F(ChunkIndexPublishTest, EveryFileGetsAnIndexThatTheManifestNamesAndTheCheckAccepts)
{
    std::string output;
    ASSERT_EQ(
        publish({{"big.bin", bigData(900000)}, {"sub/small.txt", "tiny"}, {"empty", ""}}, &output),
        0)
        << output;
    const pelvane::ManifestVersion published = version();
    ASSERT_EQ(published.files.size(), 3U);
    for (const pelvane::ManifestFile& file : published.files)
    {
        ASSERT_TRUE(file.chunks) << file.path;
        const std::string bytes =
            qortest::readTextFile(channel() + "/1.0.0/" + file.path + ".cidx");
        EXPECT_EQ(bytes.size(), file.chunks->size) << file.path;
        EXPECT_EQ(pelvane::sha256Hex(bytes), file.chunks->sha256) << file.path;
        std::string problem;
        const auto index = pelvane::ChunkIndex::parse(bytes, problem);
        ASSERT_TRUE(index) << problem;
        EXPECT_EQ(index->fileSize(), file.size);
        EXPECT_EQ(publisher::ChunkIndexFiles::check(channel() + "/1.0.0", file), "") << file.path;
    }
}

TEST_F(ChunkIndexPublishTest, TheCheckFindsATamperedFileOrIndex)
{
    ASSERT_EQ(publish({{"big.bin", bigData(500000)}}), 0);
    const pelvane::ManifestFile file = version().files.front();
    const std::string folder = channel() + "/1.0.0";

    std::string tampered = bigData(500000);
    tampered[400000] = static_cast<char>(tampered[400000] ^ 2);
    qortest::writeTextFile(folder + "/big.bin", tampered);
    EXPECT_NE(publisher::ChunkIndexFiles::check(folder, file).find("differs"), std::string::npos);

    qortest::writeTextFile(folder + "/big.bin", bigData(500000));
    std::string index = qortest::readTextFile(folder + "/big.bin.cidx");
    index[40] = static_cast<char>(index[40] ^ 1);
    qortest::writeTextFile(folder + "/big.bin.cidx", index);
    EXPECT_NE(publisher::ChunkIndexFiles::check(folder, file).find("manifest entry"),
              std::string::npos);

    fs::remove(folder + "/big.bin.cidx");
    EXPECT_FALSE(publisher::ChunkIndexFiles::check(folder, file).empty());
}

TEST_F(ChunkIndexPublishTest, AReleaseFileNamedLikeAnIndexIsRefused)
{
    std::string output;
    EXPECT_EQ(publish({{"a.bin", "x"}, {"a.bin.cidx", "y"}}, &output), 2);
    EXPECT_NE(output.find("a.bin"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(channel() + "/manifest.json"));
}

TEST_F(ChunkIndexPublishTest, ReSigningKeepsTheIndexReferenceUnderTheSignature)
{
    ASSERT_EQ(publish({{"big.bin", bigData(600000)}}), 0);
    const pelvane::ManifestFile before = version().files.front();
    ASSERT_TRUE(before.chunks);
    std::string output;
    ASSERT_EQ(run("resign", {"--key-file", key(), "--expires-in", "30"}, &output), 0) << output;
    const pelvane::ManifestFile after = version().files.front();
    ASSERT_TRUE(after.chunks) << "resign dropped the index reference";
    EXPECT_EQ(after.chunks->size, before.chunks->size);
    EXPECT_EQ(after.chunks->sha256, before.chunks->sha256);
    // the signed bytes name the index: editing its hash breaks the signature
    const std::string manifest = qortest::readTextFile(channel() + "/manifest.json");
    const std::string signature = qortest::readTextFile(channel() + "/manifest.json.sig");
    std::string problem;
    EXPECT_EQ(pelvane::ManifestSignature::check(m_pin, manifest, signature, problem),
              pelvane::ManifestSignature::Check::Verified)
        << problem;
    std::string edited = manifest;
    const std::size_t at = edited.find(before.chunks->sha256);
    ASSERT_NE(at, std::string::npos);
    edited[at] = edited[at] == '0' ? '1' : '0';
    EXPECT_NE(pelvane::ManifestSignature::check(m_pin, edited, signature, problem),
              pelvane::ManifestSignature::Check::Verified);
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;
}

TEST_F(ChunkIndexPublishTest, VerifyNamesAnIndexThatIsTamperedOrMissing)
{
    ASSERT_EQ(publish({{"big.bin", bigData(500000)}, {"other.bin", bigData(300000)}}), 0);
    const std::string folder = channel() + "/1.0.0";
    std::string output;
    ASSERT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;

    std::string index = qortest::readTextFile(folder + "/big.bin.cidx");
    index[40] = static_cast<char>(index[40] ^ 1);
    qortest::writeTextFile(folder + "/big.bin.cidx", index);
    fs::remove(folder + "/other.bin.cidx");
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 6) << output;
    EXPECT_NE(output.find("1.0.0/big.bin: the chunk index does not match"), std::string::npos)
        << output;
    EXPECT_NE(output.find("1.0.0/other.bin: the chunk index"), std::string::npos) << output;
    EXPECT_NE(output.find("missing"), std::string::npos) << output;
}

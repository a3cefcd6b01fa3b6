// The chunk indexes qor-publish writes for every file: named by the
// version's file list (which the signed channel.qor names by its hash) with
// their size and hash, describing the file exactly, kept by a re-signing,
// and checked by `qor-publish verify`.
#include "publisher/ChunkIndexFiles.h"

#include "PublishedChannel.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ChunkIndex.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
class ChunkIndexPublishTest : public publishedtest::ChannelTest
{
protected:
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
        return publishedtest::PublishedChannel(channel()).version();
    }
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
            qortest::readTextFile(channel() + "/1.0.0/cidx/" + file.path);
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
    qortest::writeTextFile(folder + "/files/big.bin", tampered);
    EXPECT_NE(publisher::ChunkIndexFiles::check(folder, file).find("differs"), std::string::npos);

    qortest::writeTextFile(folder + "/files/big.bin", bigData(500000));
    std::string index = qortest::readTextFile(folder + "/cidx/big.bin");
    index[40] = static_cast<char>(index[40] ^ 1);
    qortest::writeTextFile(folder + "/cidx/big.bin", index);
    EXPECT_NE(publisher::ChunkIndexFiles::check(folder, file).find("file list entry"),
              std::string::npos);

    fs::remove(folder + "/cidx/big.bin");
    EXPECT_FALSE(publisher::ChunkIndexFiles::check(folder, file).empty());
}

TEST_F(ChunkIndexPublishTest, NoReleaseFileNameIsTakenByTheGeneratedObjects)
{
    // indexes live in a folder of their own: any release name is published as is
    std::string output;
    ASSERT_EQ(publish({{"a.bin", "x"}, {"a.bin.cidx", "y"}, {"cidx/a.bin", "z"}}, &output), 0)
        << output;
    EXPECT_EQ(version().files.size(), 3U);
    EXPECT_EQ(qortest::readTextFile(channel() + "/1.0.0/files/a.bin.cidx"), "y");
    EXPECT_EQ(qortest::readTextFile(channel() + "/1.0.0/files/cidx/a.bin"), "z");
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;
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
    // the signed bytes name the list that names the index: editing the
    // list's hash breaks the signature
    const publishedtest::PublishedChannel published(channel());
    EXPECT_EQ(published.signatureFor(m_pin), pelvane::ManifestSignature::Check::Verified);
    std::string edited = published.payload();
    const std::size_t at = edited.find(published.manifest()->versions()[0].list.sha256);
    ASSERT_NE(at, std::string::npos);
    edited[at] = edited[at] == '0' ? '1' : '0';
    std::string problem;
    EXPECT_NE(pelvane::ManifestSignature::check(m_pin, edited, published.signatures(), problem),
              pelvane::ManifestSignature::Check::Verified);
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;
}

TEST_F(ChunkIndexPublishTest, VerifyNamesAnIndexThatIsTamperedOrMissing)
{
    ASSERT_EQ(publish({{"big.bin", bigData(500000)}, {"other.bin", bigData(300000)}}), 0);
    const std::string folder = channel() + "/1.0.0";
    std::string output;
    ASSERT_EQ(run("verify", {"--pin", m_pin}, &output), 0) << output;

    std::string index = qortest::readTextFile(folder + "/cidx/big.bin");
    index[40] = static_cast<char>(index[40] ^ 1);
    qortest::writeTextFile(folder + "/cidx/big.bin", index);
    fs::remove(folder + "/cidx/other.bin");
    EXPECT_EQ(run("verify", {"--pin", m_pin}, &output), 6) << output;
    EXPECT_NE(output.find("1.0.0/big.bin: the chunk index does not match"), std::string::npos)
        << output;
    EXPECT_NE(output.find("1.0.0/other.bin: the chunk index"), std::string::npos) << output;
    EXPECT_NE(output.find("missing"), std::string::npos) << output;
}

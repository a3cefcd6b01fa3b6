// The objects qor-publish makes beside the files: compressed objects (large
// ones in zst/ with a framed twin in zsf/, small ones in the bundle), delta
// sections from the last versions, the delta cache that spares republishing
// the work, and `verify`, which decodes and applies all of them.
#include "PublishedChannel.h"

#include "pelvane/chunks/ChunkIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace
{
// Bytes of `bits` random bits each: 8 do not shrink; 7 shrink by an
// eighth, so 1.3 MB of them make a compressed object over 1 MiB (a large
// one); 4 (hex digits) halve.
std::string randomBytes(std::size_t size, std::uint32_t seed, int bits)
{
    std::string data(size, '0');
    for (char& c : data)
    {
        seed = seed * 1103515245U + 12345U;
        const std::uint32_t value = seed >> (32 - bits);
        c = bits == 4 ? "0123456789abcdef"[value] : static_cast<char>(value);
    }
    return data;
}

void flipByte(const std::string& path, std::uint64_t offset)
{
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(static_cast<std::streamoff>(offset));
    const char was = static_cast<char>(file.get());
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(was ^ 0x5a));
}

class ObjectsPublishTest : public publishedtest::ChannelTest
{
protected:
    void SetUp() override
    {
        ChannelTest::SetUp();
        m_big = randomBytes(1300000, 1, 7);
        m_small = randomBytes(40000, 2, 4);
        m_noise = randomBytes(30000, 3, 8);
    }

    std::string cache() const { return m_temp / "cache"; }

    int verify(std::string* output = nullptr) { return run("verify", {"--pin", m_pin}, output); }

    // Version 1.0.n: each file edited in one more place than in 1.0.(n-1).
    int publish(int n, const std::string& deltaFrom, std::string* output,
                std::vector<std::string> extra = {})
    {
        std::string big = m_big;
        std::string small = m_small;
        std::string bytes = m_noise;
        for (int edit = 1; edit <= n; ++edit)
        {
            const auto at = static_cast<std::size_t>(edit) * 7919U;
            big.replace(at * 50, 5, "EDIT" + std::to_string(edit));
            small.replace(at % 30000, 5, "EDIT" + std::to_string(edit));
            bytes[at % 20000] = static_cast<char>(bytes[at % 20000] + 1);
        }
        fs::create_directories(m_temp / "release");
        qortest::writeTextFile(m_temp / "release/big.txt", big);
        qortest::writeTextFile(m_temp / "release/small.txt", small);
        qortest::writeTextFile(m_temp / "release/noise.bin", bytes);
        std::vector<std::string> arguments = {"--version",   "1.0." + std::to_string(n),
                                              "--key-file",  key(),
                                              "--complete",  "--delta-from",
                                              deltaFrom,     "--cache",
                                              cache()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(m_temp / "release");
        return run("publish", arguments, output);
    }

    // Every cache entry and when it was written.
    std::map<std::string, fs::file_time_type> cacheEntries() const
    {
        std::map<std::string, fs::file_time_type> entries;
        for (const auto& entry : fs::recursive_directory_iterator(cache()))
        {
            if (entry.is_regular_file())
            {
                entries[entry.path().string()] = entry.last_write_time();
            }
        }
        return entries;
    }

    std::string m_big;
    std::string m_small;
    std::string m_noise;
};
} // namespace

TEST_F(ObjectsPublishTest, DeltasFromTheLastTwoVersionsAndEveryObjectVerifyAndDamageIsCaught)
{
    std::string output;
    for (int n = 0; n <= 2; ++n)
    {
        ASSERT_EQ(publish(n, "2", &output), 0) << output;
    }
    const pelvane::ManifestVersion listed = publishedtest::PublishedChannel(channel()).version(2);
    ASSERT_EQ(listed.files.size(), 3U);
    const pelvane::ManifestFile& big = listed.files[0];
    const pelvane::ManifestFile& noiseFile = listed.files[1];
    const pelvane::ManifestFile& small = listed.files[2];
    ASSERT_EQ(big.path, "big.txt");

    // large: a whole object and a framed one that its chunk index addresses
    ASSERT_TRUE(big.compressed && big.framed && big.chunks);
    EXPECT_FALSE(big.bundled);
    EXPECT_GT(big.compressed->size, 1U << 20);
    EXPECT_LT(big.compressed->size, big.size);
    std::string problem;
    const auto index = pelvane::ChunkIndex::parse(
        qortest::readTextFile(channel() + "/1.0.2/cidx/big.txt"), problem);
    ASSERT_TRUE(index) << problem;
    EXPECT_TRUE(index->framed());
    EXPECT_EQ(index->compressedSize(), big.framed->size);
    EXPECT_EQ(fs::file_size(channel() + "/1.0.2/zsf/big.txt"), big.framed->size);
    // small: in the bundle, random bytes too (stored, a few bytes over the
    // file, so that they cost no request of their own), with a plain index
    ASSERT_TRUE(small.bundled);
    EXPECT_FALSE(small.compressed || small.framed);
    ASSERT_TRUE(noiseFile.bundled);
    EXPECT_GT(noiseFile.bundled->size, noiseFile.size);
    EXPECT_LT(noiseFile.bundled->size, noiseFile.size + 64);
    EXPECT_FALSE(noiseFile.compressed || noiseFile.framed);
    EXPECT_FALSE(fs::exists(channel() + "/1.0.2/zst/noise.bin"));
    const auto noiseIndex = pelvane::ChunkIndex::parse(
        qortest::readTextFile(channel() + "/1.0.2/cidx/noise.bin"), problem);
    ASSERT_TRUE(noiseIndex) << problem;
    EXPECT_FALSE(noiseIndex->framed());

    // one section per source, newest first, each with a delta of every file
    ASSERT_EQ(listed.deltas.size(), 2U);
    EXPECT_EQ(listed.deltas[0].from.text(), "1.0.1");
    EXPECT_EQ(listed.deltas[1].from.text(), "1.0.0");
    EXPECT_EQ(listed.deltas[0].offset, 0U);
    EXPECT_EQ(listed.deltas[1].offset, listed.deltas[0].size);
    EXPECT_LE(listed.deltas[0].size + listed.deltas[1].size, small.bundled->offset);
    EXPECT_NE(output.find("Deltas from 1.0.0: 3 files"), std::string::npos) << output;
    ASSERT_EQ(verify(&output), 0) << output;
    EXPECT_NE(output.find("1.0.2: 6 deltas applied and checked"), std::string::npos) << output;

    const std::string bundle = channel() + "/1.0.2/bundle";
    const std::uint64_t inFirstDelta = listed.deltas[0].index.size + 3;
    const struct
    {
        std::string path;
        std::uint64_t offset;
        const char* said;
    } damage[] = {
        {bundle, inFirstDelta, "the delta of"},
        {bundle, small.bundled->offset + 2, "small.txt"},
        {bundle, noiseFile.bundled->offset + 100, "noise.bin"},
        {channel() + "/1.0.2/zst/big.txt", 100, "compressed object wrong SHA-256"},
        {channel() + "/1.0.2/zsf/big.txt", 100, "framed object wrong SHA-256"},
    };
    for (const auto& fault : damage)
    {
        flipByte(fault.path, fault.offset);
        EXPECT_EQ(verify(&output), 6) << fault.said;
        EXPECT_NE(output.find(fault.said), std::string::npos) << output;
        flipByte(fault.path, fault.offset);
    }
    EXPECT_EQ(verify(&output), 0) << output;
}

TEST_F(ObjectsPublishTest, RepublishingAndResigningMakeNoDeltaAndADamagedCacheEntryIsMadeAgain)
{
    std::string output;
    ASSERT_EQ(publish(0, "1", &output), 0) << output;
    ASSERT_EQ(publish(1, "1", &output), 0) << output;
    EXPECT_NE(output.find("0 found, 6 made"), std::string::npos) << output;
    const auto before = cacheEntries();
    ASSERT_EQ(before.size(), 6U); // two methods for each of the three files

    // the same release again: every delta from the cache, nothing written to it
    ASSERT_EQ(publish(1, "1", &output, {"--replace"}), 0) << output;
    EXPECT_NE(output.find("6 found, 0 made"), std::string::npos) << output;
    ASSERT_EQ(run("resign", {"--key-file", key()}, &output), 0) << output;
    EXPECT_EQ(output.find("made"), std::string::npos) << output;
    EXPECT_EQ(cacheEntries(), before);

    // a damaged entry fails its hash: made again and rewritten, the rest reused
    const std::string damaged = before.begin()->first;
    const std::string good = qortest::readTextFile(damaged);
    flipByte(damaged, good.size() - 1);
    ASSERT_EQ(publish(1, "1", &output, {"--replace"}), 0) << output;
    EXPECT_NE(output.find("5 found, 1 made (1 damaged entries made again)"), std::string::npos)
        << output;
    EXPECT_EQ(qortest::readTextFile(damaged), good);
    EXPECT_EQ(verify(&output), 0) << output;
}

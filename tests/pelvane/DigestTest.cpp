// The hashing that decides whether a download is accepted.
#include "pelvane/base/Sha256.h"
#include "pelvane/base/Sha256Pipeline.h"

#include <gtest/gtest.h>

#include <string>

using namespace pelvane;

namespace
{
std::string bytes(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
    {
        data[i] = static_cast<char>((i * 131) ^ (i >> 7));
    }
    return data;
}
} // namespace

TEST(DigestTest, KnownSha256Values)
{
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(DigestTest, PipelineMatchesOneShotForEverySizeAndPieceLength)
{
    const std::size_t chunk = Sha256Pipeline::CHUNK_BYTES;
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1, 10 * chunk + 3})
    {
        const std::string data = bytes(size);
        for (const std::size_t piece : {std::size_t{1000}, std::size_t{512 * 1024 + 7}, chunk * 3})
        {
            SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(piece));
            Sha256Pipeline pipeline;
            for (std::size_t at = 0; at < size; at += piece)
            {
                pipeline.update(data.data() + at, std::min(piece, size - at));
            }
            EXPECT_EQ(pipeline.finishHex(), sha256Hex(data));
        }
    }
}

TEST(DigestTest, PipelineResetForgetsWhatCameBefore)
{
    const std::string junk = bytes(5 * Sha256Pipeline::CHUNK_BYTES);
    const std::string data = bytes(3 * Sha256Pipeline::CHUNK_BYTES + 11);
    Sha256Pipeline pipeline;
    pipeline.update(junk.data(), junk.size());
    pipeline.reset();
    pipeline.update(data.data(), data.size());
    EXPECT_EQ(pipeline.finishHex(), sha256Hex(data));
    // and it can be used again after finishing
    pipeline.update("abc", 3);
    EXPECT_EQ(pipeline.finishHex(), sha256Hex("abc"));
}

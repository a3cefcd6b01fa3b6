// The content-defined chunker, the chunk index format and the fetch plan:
// cuts that survive insertions, indexes that refuse to be misread, and plans
// that fetch neither superseded files nor bytes a local copy holds.
#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ContentChunker.h"
#include "pelvane/chunks/FetchPlanner.h"
#include "pelvane/chunks/RelatedFiles.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <set>

using namespace pelvane;

namespace
{
std::string noise(std::size_t size, std::uint32_t seed)
{
    std::string data(size, '\0');
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (char& c : data)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state >> 32);
    }
    return data;
}

std::vector<Chunk> chunksOf(const std::string& data, std::size_t pieceSize)
{
    std::vector<Chunk> chunks;
    ContentChunker chunker(
        [&](std::uint64_t offset, std::uint32_t length, const std::string& sha) {
            chunks.push_back({offset, length, sha});
        });
    for (std::size_t at = 0; at < data.size(); at += pieceSize)
    {
        const std::string_view piece = std::string_view(data).substr(at, pieceSize);
        chunker.update(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
    }
    chunker.finish();
    return chunks;
}

std::set<std::string> hashes(const std::vector<Chunk>& chunks)
{
    std::set<std::string> set;
    for (const Chunk& chunk : chunks)
    {
        set.insert(chunk.sha256);
    }
    return set;
}
} // namespace

TEST(ContentChunkerTest, CutsAreBoundedContiguousAndIndependentOfHowBytesArrive)
{
    const std::string data = noise(8 * 1024 * 1024 + 123, 1);
    const std::vector<Chunk> whole = chunksOf(data, data.size());
    const std::vector<Chunk> trickled = chunksOf(data, 4093);
    ASSERT_EQ(whole.size(), trickled.size());
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < whole.size(); ++i)
    {
        EXPECT_EQ(whole[i].offset, trickled[i].offset);
        EXPECT_EQ(whole[i].sha256, trickled[i].sha256);
        EXPECT_EQ(whole[i].offset, next);
        EXPECT_LE(whole[i].length, ContentChunker::MAX_SIZE);
        if (i + 1 < whole.size())
        {
            EXPECT_GE(whole[i].length, ContentChunker::MIN_SIZE);
        }
        EXPECT_EQ(whole[i].sha256,
                  sha256Hex(std::string_view(data).substr(static_cast<std::size_t>(whole[i].offset),
                                                          whole[i].length)));
        next += whole[i].length;
    }
    EXPECT_EQ(next, data.size());
    // normalised chunking keeps the mean near the target
    const double mean = static_cast<double>(data.size()) / static_cast<double>(whole.size());
    EXPECT_GT(mean, 40.0 * 1024);
    EXPECT_LT(mean, 100.0 * 1024);
}

TEST(ContentChunkerTest, AnInsertionOrDeletionDisturbsOnlyTheChunksAroundIt)
{
    const std::string original = noise(4 * 1024 * 1024, 2);
    std::string edited = original;
    edited.insert(1000000, noise(777, 3));
    edited.erase(3000000, 5000);
    const std::set<std::string> before = hashes(chunksOf(original, original.size()));
    const std::vector<Chunk> after = chunksOf(edited, edited.size());
    std::uint64_t newBytes = 0;
    for (const Chunk& chunk : after)
    {
        newBytes += before.count(chunk.sha256) == 0 ? chunk.length : 0;
    }
    // two edits, each costing at most a few chunks around it
    EXPECT_LT(newBytes, 4U * ContentChunker::MAX_SIZE);
    EXPECT_GT(newBytes, 0U);
}

TEST(ContentChunkerTest, DegenerateInputsStillEndInBoundedChunks)
{
    // all zeros: no cut point ever matches, so every chunk is the maximum
    const std::vector<Chunk> zeros = chunksOf(std::string(1024 * 1024 + 5, '\0'), 65536);
    ASSERT_EQ(zeros.size(), 5U);
    EXPECT_EQ(zeros[0].length, ContentChunker::MAX_SIZE);
    EXPECT_EQ(zeros[4].length, 5U);
    EXPECT_TRUE(chunksOf(std::string(), 1).empty());
    const std::vector<Chunk> tiny = chunksOf("abc", 1);
    ASSERT_EQ(tiny.size(), 1U);
    EXPECT_EQ(tiny[0].sha256, sha256Hex("abc"));
}

TEST(ChunkIndexTest, RoundTripsAndStaysUnderTwoPerMilleOfTheFile)
{
    qortest::TempFolder temp;
    const std::string path = temp / "file.bin";
    const std::string data = noise(3 * 1024 * 1024, 4);
    ASSERT_TRUE(qortest::writeTextFile(path, data));
    ChunkIndex index;
    std::string fileSha;
    int error = 0;
    ASSERT_TRUE(ChunkIndex::build(path, index, &fileSha, nullptr, error)) << error;
    EXPECT_EQ(fileSha, sha256Hex(data));
    EXPECT_EQ(index.fileSize(), data.size());
    const std::string bytes = index.serialize();
    EXPECT_LT(bytes.size(), data.size() * 2 / 1000);
    std::string problem;
    const auto parsed = ChunkIndex::parse(bytes, problem);
    ASSERT_TRUE(parsed) << problem;
    ASSERT_EQ(parsed->chunks().size(), index.chunks().size());
    for (std::size_t i = 0; i < index.chunks().size(); ++i)
    {
        EXPECT_EQ(parsed->chunks()[i].offset, index.chunks()[i].offset);
        EXPECT_EQ(parsed->chunks()[i].sha256, index.chunks()[i].sha256);
    }
    EXPECT_EQ(ChunkIndex::checkAgainstFile(*parsed, path), "");

    // the check finds a changed byte and a changed length
    std::string changed = data;
    changed[2000000] = static_cast<char>(changed[2000000] ^ 1);
    ASSERT_TRUE(qortest::writeTextFile(path, changed));
    EXPECT_NE(ChunkIndex::checkAgainstFile(*parsed, path).find("differs"), std::string::npos);
    ASSERT_TRUE(qortest::writeTextFile(path, data + "x"));
    EXPECT_NE(ChunkIndex::checkAgainstFile(*parsed, path), "");
}

TEST(ChunkIndexTest, MalformedIndexesAreRefused)
{
    ChunkIndex index;
    index.add(20000, sha256Hex("a"));
    index.add(30000, sha256Hex("b"));
    const std::string good = index.serialize();
    std::string problem;
    ASSERT_TRUE(ChunkIndex::parse(good, problem));

    struct Case
    {
        const char* name;
        std::string bytes;
    };
    std::string badMagic = good;
    badMagic[0] = 'X';
    std::string otherSizes = good;
    otherSizes[13] = static_cast<char>(otherSizes[13] + 1); // another average
    std::string wrongTotal = good;
    wrongTotal[20] = static_cast<char>(wrongTotal[20] + 1);
    std::string zeroLength = good;
    for (int i = 0; i < 4; ++i)
    {
        zeroLength[ChunkIndex::HEADER_BYTES + static_cast<std::size_t>(i)] = 0;
    }
    std::string hugeLength = good;
    hugeLength[ChunkIndex::HEADER_BYTES + 3] = 0x7f;
    const Case cases[] = {
        {"empty", ""},
        {"magic", badMagic},
        {"chunk sizes", otherSizes},
        {"total", wrongTotal},
        {"truncated", good.substr(0, good.size() - 1)},
        {"trailing byte", good + "x"},
        {"zero-length chunk", zeroLength},
        {"chunk over the maximum", hugeLength},
    };
    for (const Case& c : cases)
    {
        problem.clear();
        EXPECT_FALSE(ChunkIndex::parse(c.bytes, problem)) << c.name;
        EXPECT_FALSE(problem.empty()) << c.name;
    }
}

TEST(ChunkIndexTest, AFramedIndexGivesEachChunksFrameAndRefusesImpossibleOnes)
{
    ChunkIndex index;
    index.add(20000, sha256Hex("a"));
    index.add(30000, sha256Hex("b"));
    EXPECT_FALSE(index.setCompressedLengths({100})) << "one frame per chunk";
    EXPECT_FALSE(index.setCompressedLengths({100, 0}));
    ASSERT_TRUE(index.setCompressedLengths({700, 900}));
    const std::string bytes = index.serialize();
    ASSERT_EQ(bytes.substr(0, 8), "QORCIDX2");
    std::string problem;
    const auto parsed = ChunkIndex::parse(bytes, problem);
    ASSERT_TRUE(parsed) << problem;
    EXPECT_TRUE(parsed->framed());
    EXPECT_EQ(parsed->compressedSize(), 1600U);
    EXPECT_EQ(parsed->chunks()[1].compressedOffset, 700U);
    EXPECT_EQ(parsed->chunks()[1].compressedLength, 900U);
    EXPECT_EQ(parsed->chunks()[1].sha256, sha256Hex("b"));

    // a frame no compressor makes of a chunk, and an index read as the other kind
    std::string hugeFrame = bytes;
    hugeFrame[ChunkIndex::HEADER_BYTES + 4 + 3] = 0x01;
    std::string asPlain = bytes;
    asPlain[7] = '1';
    for (const std::string& bad : {hugeFrame, asPlain})
    {
        EXPECT_FALSE(ChunkIndex::parse(bad, problem));
    }
}

TEST(FetchPlannerTest, OnlyTheNewestUpdateOfAPathFetchesIt)
{
    std::vector<ManifestVersion> updates(3);
    updates[0].files = {{"a.bin", 1, ""}, {"b.bin", 1, ""}};
    updates[1].files = {{"a.bin", 1, ""}, {"c/d.bin", 1, ""}};
    updates[2].files = {{"b.bin", 1, ""}, {"c/e.bin", 1, ""}};
    const auto superseded = FetchPlanner::superseded(updates);
    EXPECT_EQ(superseded[0], (std::vector<bool>{true, true}));
    EXPECT_EQ(superseded[1], (std::vector<bool>{false, false}));
    EXPECT_EQ(superseded[2], (std::vector<bool>{false, false}));
}

TEST(FetchPlannerTest, RangesMergeWhenTheyTouchAndChunksComeFromWhereTheyAre)
{
    const auto merged =
        FetchPlanner::merge({{200, 299}, {0, 99}, {100, 199}, {250, 260}, {300, 300}, {500, 599}});
    ASSERT_EQ(merged.size(), 2U);
    EXPECT_EQ(merged[0].first, 0U);
    EXPECT_EQ(merged[0].last, 300U);
    EXPECT_EQ(merged[1].first, 500U);
    EXPECT_EQ(merged[1].size(), 100U);

    ChunkIndex wanted;
    wanted.add(100, sha256Hex("one"));
    wanted.add(200, sha256Hex("two"));
    wanted.add(300, sha256Hex("three"));
    ChunkIndex local;
    local.add(50, sha256Hex("zero"));
    local.add(300, sha256Hex("three"));
    local.add(100, sha256Hex("one"));
    ChunkSources sources;
    sources.addIndexed("/old/file", local);
    const ChunkPlan plan = FetchPlanner::planChunks(wanted, sources);
    ASSERT_EQ(plan.local.size(), 3U);
    ASSERT_TRUE(plan.local[0]);
    EXPECT_EQ(plan.local[0]->offset, 350U);
    EXPECT_FALSE(plan.local[1]);
    ASSERT_TRUE(plan.local[2]);
    EXPECT_EQ(plan.local[2]->offset, 50U);
    EXPECT_EQ(plan.fetchBytes, 200U);
    EXPECT_EQ(plan.localBytes, 400U);
}

TEST(RelatedFilesTest, RenamedMovedAndRemovedFilesAreNamedMostLikelyFirstAndBounded)
{
    const std::uint64_t mib = 1024 * 1024;
    std::uint64_t inode = 0;
    const auto local = [&inode](const std::string& path, std::uint64_t size)
    { return LocalFile{path, "/t/" + path, size, 1, ++inode}; };
    std::vector<LocalFile> files = {
        local("lib/libfoo.so.1.2", 4 * mib),         // the same stem
        local("share/a/libfoo.so.1.3", 9 * mib),     // the same name, farther in size
        local("share/b/libfoo.so.1.3", 3 * mib),     // the same name, closer
        local("lib/libfoo.so.1.3", 4 * mib),         // its own path: read already
        local("lib/libfoo-tiny.so", 1000),           // under one chunk
        local("lib/libfoo.a", 40 * mib),             // the stem, but ten times the size
        local("data/old-name.pak", 4 * mib + 7),     // gone from the new tree
        local("data/other.pak", 9 * mib),            // gone, of another size
        local("data/kept.pak", 4 * mib),             // still in the new tree
    };
    files.push_back(files[0]); // the base store's hard link of Target's file
    files.back().full = "/base/lib/libfoo.so.1.2";
    const std::unordered_set<std::string> kept = {"lib/libfoo.so.1.3", "data/kept.pak"};

    const auto names = [](const std::vector<const LocalFile*>& found)
    {
        std::vector<std::string> out;
        for (const LocalFile* file : found)
        {
            out.push_back(file->full);
        }
        return out;
    };
    EXPECT_EQ(names(RelatedFiles(files, kept, true).candidates("lib/libfoo.so.1.3", 4 * mib)),
              (std::vector<std::string>{"/t/share/b/libfoo.so.1.3", "/t/share/a/libfoo.so.1.3",
                                        "/t/lib/libfoo.so.1.2", "/t/data/old-name.pak"}));
    // an overlay run removes nothing: no name in common, no candidate
    EXPECT_TRUE(RelatedFiles(files, kept, false).candidates("bin/new-tool", 4 * mib).empty());
    EXPECT_EQ(names(RelatedFiles(files, kept, true).candidates("bin/new-tool", 4 * mib)),
              (std::vector<std::string>{"/t/lib/libfoo.so.1.2", "/t/data/old-name.pak",
                                        "/t/share/b/libfoo.so.1.3"}));
    // delta sources may be small: a file under one chunk counts when asked for
    EXPECT_EQ(names(RelatedFiles(files, kept, false).candidates("lib/libfoo-tiny.so.2", 900, 1)),
              (std::vector<std::string>{"/t/lib/libfoo-tiny.so"}));
    EXPECT_EQ(RelatedFiles::stem("libvips-cpp.so.8.18.7"), "libvips-cpp");
    EXPECT_EQ(RelatedFiles::stem("tool-2.1"), "tool");
    EXPECT_EQ(RelatedFiles::stem(".config"), "");
}

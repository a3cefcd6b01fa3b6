// Assembling one file from local chunks and range requests against real
// servers on 127.0.0.1: nginx (multi-range), the fault server serving one
// range per request, ignoring ranges, cutting a multipart answer, or
// serving other bytes than the index describes.
#include "pelvane/chunks/ChunkAssembler.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/chunks/ChunkSources.h"
#include "pelvane/files/FileDownloader.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <unordered_set>

using namespace pelvane;
namespace fs = std::filesystem;

namespace
{
std::string noise(std::size_t size, std::uint32_t seed)
{
    std::string data(size, '\0');
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 7;
    for (char& c : data)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state >> 32);
    }
    return data;
}

std::vector<std::string> requestedRanges(const std::string& log)
{
    std::vector<std::string> ranges;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line))
    {
        const auto item = nlohmann::json::parse(line, nullptr, false);
        if (!item.is_discarded() && item["path"] == "/new.bin")
        {
            ranges.push_back(item["range"].is_string() ? item["range"].get<std::string>() : "");
        }
    }
    return ranges;
}

class ChunkAssemblerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_old = noise(2 * 1024 * 1024, 11);
        m_new = m_old;
        // edits spread over the file: replaced, inserted and removed bytes
        for (std::size_t at : {150000U, 700000U, 1300000U})
        {
            m_new.replace(at, 3000, noise(3000, static_cast<std::uint32_t>(at)));
        }
        m_new.insert(1000000, noise(5000, 99));
        m_new.erase(1800000, 4000);
        fs::create_directories(m_temp / "served");
        fs::create_directories(m_temp / "extract/2.0.0");
        ASSERT_TRUE(qortest::writeTextFile(m_temp / "served/new.bin", m_new));
        ASSERT_TRUE(qortest::writeTextFile(m_temp / "old.bin", m_old));
        int error = 0;
        ASSERT_TRUE(ChunkIndex::build(m_temp / "served/new.bin", m_index, nullptr, nullptr, error));
        m_file.path = "new.bin";
        m_file.size = m_new.size();
        m_file.sha256 = sha256Hex(m_new);
        std::unordered_set<std::string> wanted;
        for (const Chunk& chunk : m_index.chunks())
        {
            wanted.insert(chunk.sha256);
        }
        ASSERT_TRUE(m_sources.scanFile(m_temp / "old.bin", wanted, m_cancel));
        m_plan = FetchPlanner::planChunks(m_index, m_sources);
        ASSERT_GT(m_plan.localBytes, m_new.size() / 2);
        ASSERT_GT(m_plan.fetchBytes, 0U);
        ASSERT_LT(m_plan.fetchBytes, m_new.size() / 4);
    }

    ChunkAssembler::Result assemble(const std::string& baseUrl)
    {
        HttpFetcher fetcher(TransferSettings{}, m_cancel);
        RangeFetcher ranges(fetcher, m_cancel);
        ChunkAssembler assembler(ranges, m_cancel);
        const ChunkAssembler::Result result = assembler.assemble(
            {baseUrl + "/new.bin"}, m_temp / "extract/2.0.0", m_file, m_index, m_plan,
            [this](std::uint64_t bytes) { m_progress.push_back(bytes); });
        m_singleRangeOnly = ranges.singleRangeOnly();
        return result;
    }

    std::string assembled() const
    {
        return qortest::readTextFile(
            FileDownloader::verifiedPath(m_temp / "extract/2.0.0", "new.bin"));
    }

    qortest::TempFolder m_temp;
    CancelToken m_cancel;
    std::string m_old;
    std::string m_new;
    ChunkIndex m_index;
    ManifestFile m_file;
    ChunkSources m_sources;
    ChunkPlan m_plan;
    std::vector<std::uint64_t> m_progress;
    bool m_singleRangeOnly = false;
};
} // namespace

TEST_F(ChunkAssemblerTest, NginxServesOnlyTheMissingChunksInMultiRangeRequests)
{
    qortest::ServerProcess web({"nginx", "--root", m_temp / "served"});
    ASSERT_TRUE(web.started()) << web.failure();
    const ChunkAssembler::Result result = assemble(web.url());
    ASSERT_TRUE(result.fetch.ok()) << result.fetch.apiError << " " << result.reason;
    EXPECT_FALSE(result.fetchWhole);
    EXPECT_EQ(assembled(), m_new);
    EXPECT_EQ(result.networkBytes, m_plan.fetchBytes);
    EXPECT_EQ(result.localBytes, m_plan.localBytes);
    EXPECT_FALSE(m_singleRangeOnly);
    ASSERT_FALSE(m_progress.empty());
    EXPECT_EQ(m_progress.back(), m_plan.fetchBytes);
    EXPECT_FALSE(fs::exists(ChunkAssembler::assemblyPath(m_temp / "extract/2.0.0", "new.bin")));
}

TEST_F(ChunkAssemblerTest, ALocalChunkAlteredAfterPlanningIsFetchedNotReused)
{
    // find a planned local chunk and spoil its bytes in the local copy
    std::size_t spoiled = m_plan.local.size();
    for (std::size_t i = 0; i < m_plan.local.size(); ++i)
    {
        if (m_plan.local[i])
        {
            spoiled = i;
            break;
        }
    }
    ASSERT_LT(spoiled, m_plan.local.size());
    std::string changed = m_old;
    const std::size_t at = static_cast<std::size_t>(m_plan.local[spoiled]->offset) + 10;
    changed[at] = static_cast<char>(changed[at] ^ 0x40);
    ASSERT_TRUE(qortest::writeTextFile(m_temp / "old.bin", changed));

    qortest::ServerProcess web({"nginx", "--root", m_temp / "served"});
    ASSERT_TRUE(web.started()) << web.failure();
    const ChunkAssembler::Result result = assemble(web.url());
    ASSERT_TRUE(result.fetch.ok());
    EXPECT_EQ(assembled(), m_new);
    const std::uint32_t length = m_index.chunks()[spoiled].length;
    EXPECT_EQ(result.localBytes, m_plan.localBytes - length);
    EXPECT_EQ(result.networkBytes, m_plan.fetchBytes + length);
}

TEST_F(ChunkAssemblerTest, AServerOfSingleRangesGetsOneRangePerRequest)
{
    const std::string log = m_temp / "requests.log";
    qortest::ServerProcess faults({"faults", "--root", m_temp / "served", "--requests-log", log});
    ASSERT_TRUE(faults.started()) << faults.failure();
    const ChunkAssembler::Result result = assemble(faults.url());
    ASSERT_TRUE(result.fetch.ok());
    EXPECT_EQ(assembled(), m_new);
    EXPECT_TRUE(m_singleRangeOnly);
    EXPECT_EQ(result.networkBytes, m_plan.fetchBytes);
    const auto ranges = requestedRanges(log);
    ASSERT_GE(ranges.size(), 3U);
    EXPECT_NE(ranges[0].find(','), std::string::npos) << "the first try asks for several";
    for (std::size_t i = 1; i < ranges.size(); ++i)
    {
        EXPECT_EQ(ranges[i].find(','), std::string::npos) << ranges[i];
    }
}

TEST_F(ChunkAssemblerTest, AServerIgnoringRangesMakesTheFileComeWhole)
{
    qortest::ServerProcess faults({"faults", "--root", m_temp / "served", "--rule",
                                   R"({"path":"/new.bin","kind":"noranges"})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    const ChunkAssembler::Result result = assemble(faults.url());
    EXPECT_TRUE(result.fetchWhole);
    EXPECT_NE(result.reason.find("ranges"), std::string::npos) << result.reason;
    EXPECT_FALSE(fs::exists(ChunkAssembler::assemblyPath(m_temp / "extract/2.0.0", "new.bin")));
}

TEST_F(ChunkAssemblerTest, A206WithoutRangesIsNotTakenForBytes)
{
    qortest::ServerProcess faults({"faults", "--root", m_temp / "served", "--rule",
                                   R"({"path":"/new.bin","kind":"badranges"})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    const ChunkAssembler::Result result = assemble(faults.url());
    EXPECT_TRUE(result.fetchWhole) << "api " << result.fetch.apiError;
    EXPECT_EQ(result.networkBytes, 0U);
}

TEST_F(ChunkAssemblerTest, ACutInAMultiRangeAnswerResumesAtTheFirstByteNotReceived)
{
    const std::string log = m_temp / "requests.log";
    qortest::ServerProcess faults({"faults", "--root", m_temp / "served", "--multirange",
                                   "--requests-log", log, "--rule",
                                   R"({"path":"/new.bin","kind":"drop","after":90000,"times":1})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    const ChunkAssembler::Result result = assemble(faults.url());
    ASSERT_TRUE(result.fetch.ok());
    EXPECT_EQ(assembled(), m_new);
    EXPECT_FALSE(m_singleRangeOnly);
    EXPECT_EQ(result.networkBytes, m_plan.fetchBytes) << "no byte may be counted twice";
    const auto ranges = requestedRanges(log);
    ASSERT_EQ(ranges.size(), 2U);
    EXPECT_NE(ranges[0].find(','), std::string::npos);
    EXPECT_NE(ranges[0], ranges[1]);
    // the second request starts inside one of the first request's ranges
    const std::uint64_t resumedAt = std::stoull(ranges[1].substr(6));
    bool inside = false;
    std::size_t at = 6;
    while (at < ranges[0].size())
    {
        const std::size_t comma = std::min(ranges[0].find(',', at), ranges[0].size());
        const std::string part = ranges[0].substr(at, comma - at);
        const std::uint64_t first = std::stoull(part);
        const std::uint64_t last = std::stoull(part.substr(part.find('-') + 1));
        inside = inside || (resumedAt > first && resumedAt <= last);
        at = comma + 1;
    }
    EXPECT_TRUE(inside) << ranges[0] << " then " << ranges[1];
}

TEST_F(ChunkAssemblerTest, BytesThatContradictTheIndexMakeTheFileComeWhole)
{
    std::string other = m_new;
    // spoil the first chunk that must be fetched, on the server
    for (std::size_t i = 0; i < m_plan.local.size(); ++i)
    {
        if (!m_plan.local[i])
        {
            const std::size_t at = static_cast<std::size_t>(m_index.chunks()[i].offset) + 5;
            other[at] = static_cast<char>(other[at] ^ 1);
            break;
        }
    }
    ASSERT_TRUE(qortest::writeTextFile(m_temp / "served/new.bin", other));
    qortest::ServerProcess web({"nginx", "--root", m_temp / "served"});
    ASSERT_TRUE(web.started()) << web.failure();
    const ChunkAssembler::Result result = assemble(web.url());
    EXPECT_TRUE(result.fetchWhole);
    EXPECT_NE(result.reason.find("do not match"), std::string::npos) << result.reason;
}

TEST_F(ChunkAssemblerTest, AFailedAssemblyIsKeptAndItsVerifiedChunksServeTheNextTry)
{
    const std::string assembly = ChunkAssembler::assemblyPath(m_temp / "extract/2.0.0", "new.bin");
    {
        // three cuts: the tries run out with part of the chunks in place
        qortest::ServerProcess faults(
            {"faults", "--root", m_temp / "served", "--multirange", "--rule",
             R"({"path":"/new.bin","kind":"drop","after":70000,"times":3})"});
        ASSERT_TRUE(faults.started()) << faults.failure();
        const ChunkAssembler::Result failed = assemble(faults.url());
        EXPECT_FALSE(failed.fetch.ok());
        EXPECT_FALSE(failed.fetchWhole);
        ASSERT_GT(failed.networkBytes, 0U);
        ASSERT_LT(failed.networkBytes, m_plan.fetchBytes);
    }
    ASSERT_TRUE(fs::exists(assembly));
    // what the next run finds in place: whole chunks only, checked
    std::vector<unsigned char> buffer;
    std::uint64_t inPlace = 0;
    for (std::size_t i = 0; i < m_index.chunks().size(); ++i)
    {
        const Chunk& chunk = m_index.chunks()[i];
        if (!m_plan.local[i] && ChunkSources::readVerified({assembly, chunk.offset, chunk.length},
                                                           chunk.sha256, buffer))
        {
            m_plan.local[i] = ChunkSources::Location{assembly, chunk.offset, chunk.length};
            m_plan.fetchBytes -= chunk.length;
            inPlace += chunk.length;
        }
    }
    EXPECT_GT(inPlace, 0U);
    qortest::ServerProcess web({"nginx", "--root", m_temp / "served"});
    ASSERT_TRUE(web.started()) << web.failure();
    const ChunkAssembler::Result resumed = assemble(web.url());
    ASSERT_TRUE(resumed.fetch.ok());
    EXPECT_EQ(assembled(), m_new);
    EXPECT_EQ(resumed.networkBytes, m_plan.fetchBytes);
    EXPECT_FALSE(fs::exists(assembly));
}

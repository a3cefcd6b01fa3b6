#include "pelvane/chunks/FetchPlanner.h"

#include <algorithm>
#include <unordered_map>

namespace pelvane
{
std::vector<std::vector<bool>> FetchPlanner::superseded(const std::vector<ManifestVersion>& updates)
{
    std::vector<std::vector<bool>> result(updates.size());
    // the newest update that brings each path
    std::unordered_map<std::string, std::size_t> lastUpdateOf;
    for (std::size_t u = 0; u < updates.size(); ++u)
    {
        for (const ManifestFile& file : updates[u].files)
        {
            lastUpdateOf[file.path] = u;
        }
    }
    for (std::size_t u = 0; u < updates.size(); ++u)
    {
        for (const ManifestFile& file : updates[u].files)
        {
            result[u].push_back(lastUpdateOf[file.path] != u);
        }
    }
    return result;
}

ChunkPlan FetchPlanner::planChunks(const ChunkIndex& index, const ChunkSources& sources)
{
    ChunkPlan plan;
    plan.local.reserve(index.chunks().size());
    for (const Chunk& chunk : index.chunks())
    {
        const ChunkSources::Location* found = sources.find(chunk.sha256);
        if (found != nullptr && found->length == chunk.length)
        {
            plan.local.emplace_back(*found);
            plan.localBytes += chunk.length;
        }
        else
        {
            plan.local.emplace_back(std::nullopt);
            plan.fetchBytes += chunk.length;
        }
    }
    return plan;
}

std::vector<ByteRange> FetchPlanner::merge(std::vector<ByteRange> ranges)
{
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : ranges)
    {
        if (!merged.empty() && range.first <= merged.back().last + 1)
        {
            merged.back().last = std::max(merged.back().last, range.last);
        }
        else
        {
            merged.push_back(range);
        }
    }
    return merged;
}
} // namespace pelvane

#include "pelvane/session/UpdatePlanner.h"

#include <algorithm>

namespace pelvane
{
const char* fileWayName(FileWay way)
{
    switch (way)
    {
    case FileWay::Local:
        return "local copy";
    case FileWay::Delta:
        return "delta";
    case FileWay::Chunks:
        return "chunks";
    case FileWay::Bundled:
        return "compressed in the bundle";
    case FileWay::Compressed:
        return "compressed";
    case FileWay::Whole:
        return "whole";
    }
    return "?";
}

std::uint64_t WayCost::cost() const
{
    return bytes + requests * UpdatePlanner::REQUEST_COST_BYTES;
}

std::vector<WayCost> UpdatePlanner::rank(const Options& options)
{
    std::vector<WayCost> ways;
    if (options.wholeOnDisk)
    {
        // nothing travels and nothing needs decoding
        return {{FileWay::Whole, 0, 0}};
    }
    if (options.local)
    {
        ways.push_back({FileWay::Local, 0, 0});
    }
    if (options.deltaBytes)
    {
        ways.push_back({FileWay::Delta, *options.deltaBytes, 0});
    }
    if (options.chunkBytes)
    {
        const std::uint64_t requests =
            (options.chunkRanges + RANGES_PER_REQUEST - 1) / RANGES_PER_REQUEST;
        ways.push_back({FileWay::Chunks, *options.chunkBytes, requests});
    }
    if (options.bundledBytes)
    {
        ways.push_back({FileWay::Bundled, *options.bundledBytes, 0});
    }
    if (options.compressedBytes)
    {
        ways.push_back({FileWay::Compressed, *options.compressedBytes, 1});
    }
    ways.push_back({FileWay::Whole, options.wholeBytes, options.wholeBytes > 0 ? 1U : 0U});
    // stable: equal costs keep the order above
    std::stable_sort(ways.begin(), ways.end(),
                     [](const WayCost& a, const WayCost& b) { return a.cost() < b.cost(); });
    return ways;
}
} // namespace pelvane

// The ranking of a file's ways: bytes plus a fixed cost per request of its
// own, cheapest first, the whole file always last to fall back to.
#include "pelvane/session/UpdatePlanner.h"

#include <gtest/gtest.h>

using pelvane::FileWay;
using pelvane::UpdatePlanner;

namespace
{
std::vector<FileWay> order(const UpdatePlanner::Options& options)
{
    std::vector<FileWay> ways;
    for (const pelvane::WayCost& way : UpdatePlanner::rank(options))
    {
        ways.push_back(way.way);
    }
    return ways;
}
} // namespace

TEST(UpdatePlannerTest, WaysAreRankedByBytesAndRequests)
{
    UpdatePlanner::Options options;
    options.wholeBytes = 1000000;
    options.compressedBytes = 300000;
    options.bundledBytes = 320000;
    options.deltaBytes = 2000;
    // 130 ranges: three requests of their own
    options.chunkBytes = 2000 + 2 * UpdatePlanner::REQUEST_COST_BYTES;
    options.chunkRanges = 130;
    EXPECT_EQ(order(options), (std::vector<FileWay>{FileWay::Delta, FileWay::Chunks,
                                                    FileWay::Compressed, FileWay::Bundled,
                                                    FileWay::Whole}));
    // a bundle piece needs no request of its own: it beats a slightly smaller object
    options.bundledBytes = 300000 + UpdatePlanner::REQUEST_COST_BYTES - 1;
    options.local = true;
    EXPECT_EQ(order(options), (std::vector<FileWay>{FileWay::Local, FileWay::Delta, FileWay::Chunks,
                                                    FileWay::Bundled, FileWay::Compressed,
                                                    FileWay::Whole}));
    // a verified copy already in Extract: nothing else is worth looking at
    options.wholeOnDisk = true;
    EXPECT_EQ(order(options), (std::vector<FileWay>{FileWay::Whole}));
}

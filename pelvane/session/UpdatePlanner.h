// The choice of how each file of a run arrives, cheapest first. A way costs
// the bytes it makes travel plus REQUEST_COST_BYTES for every request of its
// own; pieces of the version's bundle (deltas, small compressed objects)
// ride on the run's few bundle requests and count no request. The ways in
// the order they are tried when costs are equal:
//
//   Local       a file held here (Target, the base store, an earlier update
//               of the run) with the file's SHA-256: no byte travels
//   Delta       a delta from a file held here with the delta's source hash
//   Chunks      local chunks plus the missing ones by ranges
//   Bundled     the compressed object in the bundle
//   Compressed  the compressed object zst/<path>
//   Whole       the file as published (always there: the last resort)
//
// The ranking is the fallback order too: a way that fails to verify hands
// the file to the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelvane
{
enum class FileWay
{
    Local,
    Delta,
    Chunks,
    Bundled,
    Compressed,
    Whole,
};

const char* fileWayName(FileWay way);

struct WayCost
{
    FileWay way = FileWay::Whole;
    std::uint64_t bytes = 0;    // bytes that travel
    std::uint64_t requests = 0; // requests of its own
    std::uint64_t cost() const;
};

class UpdatePlanner
{
public:
    // What a request of its own costs against bytes: its headers both ways
    // (about 1 KiB) and, mostly, a round trip with nothing on the wire;
    // 16 KiB is one round trip of 50 ms at about 2.6 Mbit/s, a slow link
    // where requests matter most.
    static constexpr std::uint64_t REQUEST_COST_BYTES = 16384;
    // A chunk request names at most this many ranges.
    static constexpr std::size_t RANGES_PER_REQUEST = 64;

    // What is possible for one file; unset: that way is not open to it.
    struct Options
    {
        bool local = false;
        std::optional<std::uint64_t> deltaBytes;
        std::optional<std::uint64_t> chunkBytes;
        std::size_t chunkRanges = 0;
        std::optional<std::uint64_t> bundledBytes;
        std::optional<std::uint64_t> compressedBytes; // what is left to fetch of it
        std::uint64_t wholeBytes = 0;                 // what is left to fetch of the file
        bool wholeOnDisk = false; // a verified copy in Extract: the whole way fetches nothing
    };

    // Every open way, cheapest first; Whole is always among them.
    static std::vector<WayCost> rank(const Options& options);
};
} // namespace pelvane

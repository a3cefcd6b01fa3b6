// What a run over several versions must fetch: files that a later version
// of the same run replaces are not fetched at all, and of a chunked file
// only the chunks that no local copy holds, merged into as few byte ranges
// as possible.
#pragma once

#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/chunks/ChunkSources.h"
#include "pelvane/net/ByteRange.h"
#include "pelvane/trust/Manifest.h"

#include <optional>
#include <vector>

namespace pelvane
{
struct ChunkPlan
{
    // per chunk of the index: where a local copy may be; empty: fetch it
    std::vector<std::optional<ChunkSources::Location>> local;
    std::uint64_t fetchBytes = 0;
    std::uint64_t localBytes = 0;
};

class FetchPlanner
{
public:
    // [update][file]: true when a later update of the run brings the same path.
    static std::vector<std::vector<bool>> superseded(const std::vector<ManifestVersion>& updates);
    static ChunkPlan planChunks(const ChunkIndex& index, const ChunkSources& sources);
    // Ascending, overlapping and adjacent ranges joined.
    static std::vector<ByteRange> merge(std::vector<ByteRange> ranges);
};
} // namespace pelvane

// Builds one file of an update from chunks: local copies first (each read
// back and checked against the index's SHA-256), then the missing chunks by
// range requests (each checked as it completes), then the whole file against
// the manifest's SHA-256. Anything that does not add up (a fetched chunk of
// other bytes, a server that ignores ranges, a file that does not verify)
// asks the caller to fetch the file whole, with the reason.
//
// It assembles in the file's assembly path (ExtractLayout) and renames the
// verified file to its verified path, where the whole-file path would put it.
// A run that fails or is canceled keeps the assembly: the chunks in it that
// still verify are local for the next run.
#pragma once

#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/chunks/FetchPlanner.h"
#include "pelvane/net/RangeFetcher.h"
#include "pelvane/trust/Manifest.h"

#include "platform/FileDescriptor.h"

#include <functional>
#include <string>
#include <vector>

namespace pelvane
{
class ChunkAssembler
{
public:
    // Told how many bytes of this file came over the network so far.
    using Progress = std::function<void(std::uint64_t networkBytes)>;

    struct Result
    {
        Outcome fetch;
        bool fetchWhole = false; // fall back to a whole download
        std::string reason;
        std::uint64_t localBytes = 0;
        std::uint64_t networkBytes = 0;
    };

    ChunkAssembler(RangeFetcher& ranges, const CancelToken& cancel);

    // `fileUrls`: the file on each mirror in the order to try; a mirror that
    // fails mid-file leaves the chunks still missing to the next one.
    // `framed`: the URLs name the file's framed object, and the missing
    // chunks come as their compressed frames (the index gives where).
    Result assemble(const std::vector<std::string>& fileUrls, const std::string& versionFolder,
                    const ManifestFile& file, const ChunkIndex& index, const ChunkPlan& plan,
                    const Progress& progress, bool framed = false);

    // ExtractLayout's assembly path, for callers that hold only the folder.
    static std::string assemblyPath(const std::string& versionFolder, const std::string& path);

private:
    // The missing chunks from the mirrors in turn; `refused` when a server
    // will not serve ranges.
    Outcome fetchMissing(const std::vector<std::string>& fileUrls, const ManifestFile& file,
                         RangeSink& receiver, bool& refused);
    // Closes, hashes and renames the assembly; `mismatch` when it does not
    // hash to the manifest's SHA-256.
    Outcome verifyAndPlace(platform::FileDescriptor& out, const std::string& assembly,
                           const std::string& finalPath, const ManifestFile& file, bool& mismatch);

    RangeFetcher& m_ranges;
    const CancelToken& m_cancel;
};
} // namespace pelvane

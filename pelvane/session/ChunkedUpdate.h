// The plan of one download run and the way each of its files is fetched:
// files that a later update of the run replaces are skipped; a file with a
// chunk index and a local copy worth reading (Target, the base store, or
// files fetched earlier in the run; at the same path, or for a renamed or
// new file the related files RelatedFiles names) is assembled from local
// chunks plus range requests; everything else is fetched whole as before. The plan
// fixes how many bytes each update takes from the network, so that the
// status's blocks count what really travels.
#pragma once

#include "pelvane/chunks/ChunkAssembler.h"
#include "pelvane/chunks/ChunkSources.h"
#include "pelvane/chunks/FetchPlanner.h"
#include "pelvane/chunks/RelatedFiles.h"
#include "pelvane/files/BaseStore.h"
#include "pelvane/files/FileDownloader.h"
#include "pelvane/net/RangeFetcher.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/session/UpdateWays.h"

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace pelvane
{
class ChunkedUpdate
{
public:
    // Index files above this are not worth their memory; the file comes whole.
    static constexpr std::uint64_t MAX_INDEX_BYTES = 16U * 1024U * 1024U;
    static constexpr const char* DISABLE_VARIABLE = "PELVANE_CHUNKS";
    // A file whose bundle piece is smaller gets no chunk index: its chunks
    // would come raw, against a compressed piece that costs no request.
    // postgresql-15 with no delta fetched 341 such indexes (345 KB, 341
    // requests) to spare 122 KB on one file. Four average chunks.
    static constexpr std::uint64_t BUNDLED_INDEX_BYTES = 256U * 1024U;
    // What a run chunks beyond the same paths, for files no local copy holds
    // at their own path (RelatedFiles picks the files): about a second of
    // local reading, and a bound on the files opened.
    static constexpr std::uint64_t MAX_RELATED_BYTES = 512U * 1024U * 1024U;
    static constexpr std::size_t MAX_RELATED_FILES = 1000;

    ChunkedUpdate(const UpdateConfig& config, const std::vector<ManifestVersion>& updates,
                  HttpFetcher& fetcher, const CancelToken& cancel);

    // Runs fetch(fetcher, i) for i in 0..count-1, a few at a time, each
    // with a fetcher of its own; fails only when a fetch does (canceled).
    using Parallel = std::function<Outcome(
        std::size_t count, const std::function<Outcome(HttpFetcher&, std::size_t)>& fetch)>;

    // Fetches the chunk indexes worth having (through `parallel` when
    // given) and reads the local copies. Fails only when canceled:
    // whatever goes wrong here means whole files.
    Outcome prepare(const Parallel& parallel = {});

    bool superseded(std::size_t update, std::size_t file) const;
    std::uint64_t plannedBytes(std::size_t update) const;
    std::uint64_t plannedBytes(std::size_t update, std::size_t file) const;

    // A whole download of the file, across the mirrors.
    using WholeDownload = std::function<Outcome(const FileDownloader::Progress&)>;

    // Brings one file into Extract by its ways (UpdateWays); `extraBytes`
    // learns of bytes beyond the plan (a fallback). Thread-safe for different
    // files, each with a range fetcher of its own (none: the plan's).
    Outcome download(std::size_t update, std::size_t file, const WholeDownload& whole,
                     const FileDownloader::Progress& progress,
                     const std::function<void(std::uint64_t)>& extraBytes,
                     RangeFetcher* ranges = nullptr);
    // For the range fetchers of parallel transfers: what one learns about
    // the servers' ranges, all know.
    RangeSupport& rangeSupport() { return m_learned; }
    // The files of the same update whose verified copies the file's chunks
    // are read from: in parallel, it starts after they are done.
    const std::vector<std::size_t>& readsFrom(std::size_t update, std::size_t file) const
    {
        return m_work[update][file].readsFrom;
    }
    // The file of readsFrom that brings the bundle piece this file decodes
    // first, and whether the piece is there already (then it need not wait).
    std::optional<std::size_t> piecesFrom(std::size_t update, std::size_t file) const
    {
        return m_ways.bundleCarrier(update, file);
    }
    bool pieceReady(std::size_t update, std::size_t file) const
    {
        return m_ways.pieceReady(update, file);
    }
    void onPieceHeld(std::function<void()> held) { m_ways.onPieceHeld(std::move(held)); }

    // The updates without the files that later ones replace, for Target.
    std::vector<ManifestVersion> placedUpdates() const;
    const RangeFetcher& ranges() const { return m_ranges; }

private:
    struct FileWork
    {
        bool superseded = false;
        std::optional<ChunkIndex> index;
        std::optional<ChunkPlan> plan; // set: assemble from chunks
        std::uint64_t planned = 0;
        std::uint64_t alreadyOnDisk = 0; // a verified copy or a partial file to resume
        std::vector<std::size_t> readsFrom;
    };
    bool chunkable(const ManifestFile& file) const;
    bool wantsIndex(std::size_t update, const ManifestFile& file, bool severalChunkable) const;
    // Marks the chunks that a .chunked file of an earlier run holds, verified,
    // at their own offsets as local.
    bool takeChunksInPlace(const std::string& assembly, const ChunkIndex& index, ChunkPlan& plan);
    // The index of one file from the first mirror that has a good one.
    Outcome fetchIndex(const VersionNumber& version, const ManifestFile& file, ChunkIndex& index,
                       HttpFetcher& fetcher);
    Outcome fetchIndexFrom(const std::string& url, const ManifestFile& file, ChunkIndex& index,
                           HttpFetcher& fetcher);
    // What each file needs: skipped, reused, resumed or fetched, and the
    // indexes worth having; `wanted` gathers their chunks.
    Outcome planFiles(std::unordered_set<std::string>& wanted, const Parallel& parallel);
    // Reads Target's and the base store's copies for the wanted chunks;
    // false when canceled.
    bool scanLocalCopies(const std::unordered_set<std::string>& wanted);
    // Then, for files that no local copy holds at their path, the local
    // files RelatedFiles names, within the caps; false when canceled.
    bool scanRelatedFiles(const std::unordered_set<std::string>& wanted);
    // Target or the base store holds a file at `path`.
    bool heldAtPath(const std::string& path) const;
    // The chunks of one indexed file that are local; false when canceled.
    bool planChunks(std::size_t update, std::size_t file);
    // Fills readsFrom from the plans.
    void noteReads();
    static void addReadFrom(FileWork& work, std::size_t file);
    // Each file's ways, ranked with what its chunk plan offers.
    void chooseWays();
    // The missing chunks can come as frames of the file's framed object.
    static bool framedChunks(const ManifestFile& file, const ChunkIndex& index);

    const UpdateConfig& m_config;
    const std::vector<ManifestVersion>& m_updates;
    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
    BaseStore m_base;
    RangeSupport m_learned;
    RangeFetcher m_ranges;
    ChunkSources m_sources;
    const RelatedFiles* m_related = nullptr; // the ways', set by planFiles
    UpdateWays m_ways; // the choice of each file's way, cheapest first
    std::vector<std::vector<FileWork>> m_work;
    bool m_enabled = true;
};
} // namespace pelvane

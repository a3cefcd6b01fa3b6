// The ways of every file of a run (UpdatePlanner ranks them) and their
// execution: before the run, the delta indexes of each version's bundle
// (one multi-range request per version) and the local files by SHA-256;
// per file, its ways cheapest first, each judged by the file's SHA-256, a
// failure handing the file to the next way. The pieces of a version's
// bundle that its files' first ways need (deltas, small compressed
// objects) come together the first time one of them is needed.
//
// A way that cannot make the right file (a delta whose source is not the
// one held, a corrupt delta or object, a cut one) is logged and the next
// way is tried; only a cancel, a full disk, a bomb (code 9, EFBIG) or the
// last way's failure end the file.
#pragma once

#include "pelvane/base/SafeFiles.h"
#include "pelvane/files/FileDownloader.h"
#include "pelvane/net/RangeFetcher.h"
#include "pelvane/session/BundlePieces.h"
#include "pelvane/session/LocalCopies.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/session/UpdatePlanner.h"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace pelvane
{
class UpdateWays
{
public:
    UpdateWays(const UpdateConfig& config, const std::vector<ManifestVersion>& updates,
               RangeFetcher& ranges, const CancelToken& cancel);
    ~UpdateWays();
    UpdateWays(const UpdateWays&) = delete;
    UpdateWays& operator=(const UpdateWays&) = delete;

    // Delta indexes and local copies for the files not `superseded`
    // ([update][file]). A superseded file comes after all when a delta to
    // it and one from it to its later version (a chain over two versions)
    // cost less than the later file's other ways: survey clears its flag.
    // Fails only when canceled or the disk fails.
    Outcome survey(std::vector<std::vector<bool>>& superseded);
    // The file needs no chunk index: a local copy or a delta serves it.
    bool settled(std::size_t update, std::size_t file) const;
    // What survey() found in Target and the base store.
    const LocalCopies& localCopies() const { return m_local; }
    // The local files related by name or removal to the run's files (after
    // survey()).
    const RelatedFiles& related() const { return *m_related; }
    // Beyond the survey, a run hashes at most this much of the files related
    // to its renamed ones, looking for the sources their deltas name.
    static constexpr std::uint64_t MAX_SOURCE_HASH_BYTES = 1024U * 1024U * 1024U;

    // What the chunk way would fetch, when it is open to the file.
    struct ChunkOffer
    {
        std::uint64_t bytes = 0;
        std::size_t ranges = 0;
    };
    // Ranks the file's ways and logs the choice. `onDisk`: bytes of the
    // file already in Extract (a verified copy or a partial one to resume).
    void choose(std::size_t update, std::size_t file, std::optional<ChunkOffer> chunks,
                std::uint64_t onDisk);
    // After every choose(): the bytes each file makes travel (the first file
    // of a version that needs its bundle carries all the bundle's pieces).
    std::uint64_t plannedBytes(std::size_t update, std::size_t file) const;
    // The other file of the update this file's first way reads (the one that
    // fetches the bundle's pieces, or the one it is a copy of): in parallel,
    // this one starts after it, or as soon as pieceReady() says so.
    std::optional<std::size_t> startsAfter(std::size_t update, std::size_t file) const;
    // The file that fetches the bundle's pieces, when this file's first way
    // decodes one and it is another file.
    std::optional<std::size_t> bundleCarrier(std::size_t update, std::size_t file) const;
    // The bundle's piece that the file's first way decodes is held (or the
    // fetch that was to bring it has ended): the file need not wait for the
    // one that fetches the bundle. Thread-safe.
    bool pieceReady(std::size_t update, std::size_t file) const;
    // Called, on the fetching thread, each time a piece of a bundle is held.
    void onPieceHeld(std::function<void()> held) { m_pieceHeld = std::move(held); }

    using Progress = std::function<void(std::uint64_t bytesOfFile)>;
    // Runs the chunk way; sets `fellBack` when the file should go on to the
    // next way, and `networkBytes` to what it fetched.
    using ChunkRun = std::function<Outcome(const Progress&, bool& fellBack,
                                           std::uint64_t& networkBytes)>;
    using WholeRun = std::function<Outcome(const Progress&)>;

    // Brings the file into Extract by its ways in turn. `extraBytes` learns
    // of bytes beyond the plan (a fallback). Thread-safe for different files,
    // each with a range fetcher of its own (`lane`; none: the run's).
    Outcome download(std::size_t update, std::size_t file, const Progress& progress,
                     const std::function<void(std::uint64_t)>& extraBytes,
                     const ChunkRun& chunks, const WholeRun& whole, RangeFetcher* lane = nullptr);

private:
    struct DeltaOffer
    {
        BundlePieces::Piece piece;
        std::string sourceSha256;
        std::string sourcePath; // a local file, or one an earlier update brings
    };
    struct FileState
    {
        std::optional<std::string> localPath;
        std::optional<std::size_t> copyOf; // the file of the same update localPath belongs to
        std::optional<DeltaOffer> delta;
        std::vector<WayCost> ways;
        std::uint64_t planned = 0;
    };
    struct VersionState;

    // A file that no local file holds at its path (renamed, moved) may
    // have a delta from its old name, which the survey passed over (another
    // path, another size): its related files are hashed, most likely first,
    // until one holds a source its deltas name. False when canceled.
    bool hashRenamedSources(const std::vector<std::vector<bool>>& superseded);
    Outcome fetchDeltaIndexes(std::size_t update);
    // Those of every update that has deltas, in order.
    Outcome fetchAllDeltaIndexes();
    // The smallest delta of the file whose source is held before update
    // `heldBefore` comes, or, with `onlySource`, the one from that SHA-256.
    std::optional<DeltaOffer> bestDelta(std::size_t update, std::size_t file,
                                        std::size_t heldBefore,
                                        const std::string& onlySource) const;
    void chain(std::size_t update, std::size_t file, std::vector<std::vector<bool>>& superseded);
    std::optional<BundlePieces::Piece> bundledPiece(std::size_t update, std::size_t file) const;
    // The piece of the bundle that the file's first way decodes, if it decodes one.
    std::optional<BundlePieces::Piece> firstWayPiece(std::size_t update, std::size_t file) const;
    // Makes sure the piece is held: the version's planned pieces the first
    // time, then this one alone if it is still missing.
    Outcome needPiece(std::size_t update, const BundlePieces::Piece& piece, const Progress& progress,
                      std::uint64_t& bytes, RangeFetcher& lane);
    // needPiece, then a copy of the piece's bytes (empty: not held).
    Outcome heldPiece(std::size_t update, const BundlePieces::Piece& piece,
                      const Progress& progress, std::uint64_t& travelled, RangeFetcher& lane,
                      std::vector<unsigned char>& bytes);
    // One way; `next` is set when the file should go on to the next way.
    Outcome runWay(std::size_t update, std::size_t file, const WayCost& way,
                   const Progress& progress, const ChunkRun& chunks, const WholeRun& whole,
                   bool& next, std::uint64_t& travelled, RangeFetcher& lane);
    Outcome fromLocal(std::size_t update, std::size_t file, bool& next);
    Outcome fromDelta(std::size_t update, std::size_t file, const Progress& progress, bool& next,
                      std::uint64_t& travelled, RangeFetcher& lane);
    Outcome fromBundled(std::size_t update, std::size_t file, const Progress& progress,
                        bool& next, std::uint64_t& travelled, RangeFetcher& lane);
    Outcome fromCompressed(std::size_t update, std::size_t file, const Progress& progress,
                           bool& next, std::uint64_t& travelled, RangeFetcher& lane);
    // Decodes a compressed object into the file's work path and places it.
    Outcome decodeObject(std::size_t update, std::size_t file,
                         std::span<const unsigned char> object, const ObjectRef& expected,
                         bool& next);
    // Moves the file's work path to its verified path.
    Outcome place(std::size_t update, std::size_t file);

    const UpdateConfig& m_config;
    const std::vector<ManifestVersion>& m_updates;
    RangeFetcher& m_ranges;
    const CancelToken& m_cancel;
    std::function<void()> m_pieceHeld;
    LocalCopies m_local;
    safefiles::FolderMemo m_folders; // made in Extract by this run
    std::optional<RelatedFiles> m_related; // set by survey
    std::unordered_map<std::string, std::size_t> m_broughtBy; // SHA-256: the update that brings it
    std::vector<std::unique_ptr<VersionState>> m_versions;
    std::vector<std::vector<FileState>> m_files;
    bool m_remote = true; // every mirror is http(s): bundles and deltas pay
};
} // namespace pelvane

#include "pelvane/session/UpdateWays.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/DeltaCodec.h"
#include "pelvane/deltas/DeltaSection.h"
#include "pelvane/deltas/ObjectDecoder.h"
#include "pelvane/files/BaseStore.h"
#include "pelvane/files/ExtractLayout.h"
#include "pelvane/net/MirrorWalk.h"

#include "platform/FileDescriptor.h"
#include "platform/MappedFile.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace pelvane
{
namespace
{
using platform::SystemCalls;

bool isHttp(const std::string& url)
{
    const auto starts = [&url](const char* scheme)
    {
        const std::string prefix(scheme);
        return url.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), url.begin(),
                          [](char a, char b) { return a == std::tolower(b); });
    };
    return starts("http://") || starts("https://");
}

// The part of a file a way writes: opened for reading and writing, emptied.
Outcome openWork(const ExtractLayout& layout, const std::string& path, int& fd,
                 safefiles::FolderMemo& made)
{
    if (const int error = layout.makeFoldersFor(path, &made))
    {
        return Outcome::disk(error);
    }
    const std::string work = layout.workPath(path);
    safefiles::removeTree(work);
    fd = SystemCalls::open(work, SystemCalls::OpenMode::ReadWriteCreateNoFollow, 0644);
    return fd >= 0 ? Outcome{} : Outcome::disk(errno);
}

// A codec's failure: the file goes on to its next way unless the failure is
// one no other way cures.
Outcome judged(const deltas::CodecStatus& status, bool& next)
{
    next = false;
    if (status.ok() || status.error == deltas::CodecError::Canceled ||
        status.error == deltas::CodecError::Disk)
    {
        return status.outcome();
    }
    next = true;
    return status.outcome();
}
} // namespace

struct UpdateWays::VersionState
{
    explicit VersionState(const std::string& file) : pieces(file) {}
    BundlePieces pieces;
    std::vector<std::string> urls; // the bundle on each mirror
    std::vector<deltas::DeltaIndex> indexes; // one per delta section, as listed
    std::vector<BundlePieces::Piece> planned; // what the files' first ways need
    std::uint64_t plannedBytes = 0;
    std::optional<std::size_t> carrier; // the first file that needs them
    // the carrier's fetch of the planned pieces: the others wait for their
    // own piece, or for the fetch's end, not for the carrier's file
    std::mutex lock;
    std::condition_variable changed;
    bool plannedStarted = false;
    bool plannedEnded = false;
    std::mutex fetching; // a piece missing after the planned fetch, one at a time
};

UpdateWays::UpdateWays(const UpdateConfig& config, const std::vector<ManifestVersion>& updates,
                       RangeFetcher& ranges, const CancelToken& cancel)
    : m_config(config), m_updates(updates), m_ranges(ranges),
      m_cancel(cancel)
{
    // a file:// repository is local already: decoding would buy nothing
    m_remote = !config.mirrors.empty() &&
               std::all_of(config.mirrors.begin(), config.mirrors.end(), isHttp);
}

UpdateWays::~UpdateWays() = default;

Outcome UpdateWays::fetchDeltaIndexes(std::size_t update)
{
    const ManifestVersion& version = m_updates[update];
    VersionState& state = *m_versions[update];
    std::vector<BundlePieces::Piece> indexes;
    for (const DeltaRef& section : version.deltas)
    {
        indexes.push_back({section.offset, section.index.size, section.index.sha256});
    }
    if (indexes.empty())
    {
        return {};
    }
    if (const Outcome fetched = state.pieces.fetch(m_ranges, state.urls, indexes, [](std::uint64_t) {});
        !fetched.ok())
    {
        return fetched;
    }
    std::vector<unsigned char> bytes;
    for (std::size_t s = 0; s < version.deltas.size(); ++s)
    {
        const DeltaRef& section = version.deltas[s];
        deltas::DeltaIndex index;
        state.pieces.copy(indexes[s], bytes);
        const deltas::CodecStatus read = deltas::readDeltaIndex(
            bytes,
            {section.index.size, section.index.sha256, section.size,
             static_cast<std::uint32_t>(version.files.size())},
            index);
        if (!read.ok())
        {
            PELVANE_LOG_INFO("No deltas from " << section.from.text() << " for "
                                               << version.number.text() << " ("
                                               << read.describe() << ")");
            index.entries.clear();
        }
        else
        {
            PELVANE_LOG_INFO("Deltas from " << section.from.text() << " to "
                                            << version.number.text() << ": "
                                            << index.entries.size() << " files");
        }
        state.indexes.push_back(std::move(index));
    }
    return {};
}

Outcome UpdateWays::survey(std::vector<std::vector<bool>>& superseded)
{
    m_versions.clear();
    m_files.assign(m_updates.size(), {});
    LocalCopies::Wanted wanted;
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        const ManifestVersion& version = m_updates[u];
        m_files[u].resize(version.files.size());
        const ExtractLayout layout(m_config.versionFolder(version.number));
        m_versions.push_back(std::make_unique<VersionState>(layout.bundlePath()));
        for (const std::string& mirror : m_config.mirrors)
        {
            m_versions[u]->urls.push_back(
                m_config.repository().bundle(version.number.text()).url(mirror));
        }
        for (std::size_t f = 0; f < version.files.size(); ++f)
        {
            if (!superseded[u][f])
            {
                wanted.sizes.insert(version.files[f].size);
                wanted.paths.insert(version.files[f].path);
            }
        }
    }
    std::vector<std::string> roots{m_config.target};
    const BaseStore base(m_config.productCode, m_config.channelName());
    if (base.enabled())
    {
        roots.push_back(base.folder() + "/files");
    }
    // the local files are hashed while the delta indexes travel
    bool surveyed = false;
    std::thread surveying([&] { surveyed = m_local.survey(roots, wanted, m_cancel); });
    const Outcome indexed = fetchAllDeltaIndexes();
    surveying.join();
    if (!indexed.ok())
    {
        return indexed;
    }
    if (!surveyed || !hashRenamedSources(superseded))
    {
        return Outcome::canceled();
    }
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        const ManifestVersion& version = m_updates[u];
        const ExtractLayout layout(m_config.versionFolder(version.number));
        // a file the update holds twice travels once: the later ones copy it
        std::unordered_map<std::string, std::size_t> firstWith;
        for (std::size_t f = 0; f < version.files.size(); ++f)
        {
            if (superseded[u][f])
            {
                continue;
            }
            const ManifestFile& entry = version.files[f];
            FileState& state = m_files[u][f];
            if (const std::string* held = m_local.find(entry.sha256))
            {
                state.localPath = *held;
            }
            else if (const auto same = firstWith.find(entry.sha256); same != firstWith.end())
            {
                state.localPath = layout.verifiedPath(version.files[same->second].path);
                state.copyOf = same->second;
            }
            else
            {
                firstWith.emplace(entry.sha256, f);
            }
            state.delta = bestDelta(u, f, u, {});
            if (!state.localPath)
            {
                chain(u, f, superseded);
            }
        }
        // what this update brings is local for the later ones
        for (std::size_t f = 0; f < version.files.size(); ++f)
        {
            if (!superseded[u][f])
            {
                m_local.add(version.files[f].sha256, layout.verifiedPath(version.files[f].path));
                m_broughtBy.emplace(version.files[f].sha256, u);
            }
        }
    }
    PELVANE_LOG_INFO("Local files looked at by their SHA-256: " << m_local.hashedFiles());
    return {};
}

bool UpdateWays::hashRenamedSources(const std::vector<std::vector<bool>>& superseded)
{
    std::unordered_set<std::string> kept;
    std::unordered_set<std::string> brought;
    for (const ManifestVersion& version : m_updates)
    {
        for (const ManifestFile& file : version.files)
        {
            kept.insert(file.path);
            brought.insert(file.sha256);
        }
    }
    m_related.emplace(m_local.listed(), kept, !m_updates.empty() && m_updates.front().complete);
    std::unordered_set<std::string> heldPaths;
    for (const LocalFile& file : m_local.listed())
    {
        heldPaths.insert(file.relative);
    }
    std::uint64_t hashed = 0;
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            const ManifestFile& entry = m_updates[u].files[f];
            if (superseded[u][f] || heldPaths.count(entry.path) != 0 ||
                m_local.find(entry.sha256) != nullptr)
            {
                continue;
            }
            // the sources its deltas name that nothing here or in the run holds
            std::unordered_set<std::string> sources;
            for (const deltas::DeltaIndex& index : m_versions[u]->indexes)
            {
                const deltas::DeltaEntry* delta = index.find(static_cast<std::uint32_t>(f));
                if (delta != nullptr && m_local.find(delta->sourceSha256) == nullptr &&
                    brought.count(delta->sourceSha256) == 0)
                {
                    sources.insert(delta->sourceSha256);
                }
            }
            if (sources.empty())
            {
                continue;
            }
            for (const LocalFile* candidate : m_related->candidates(entry.path, entry.size, 1))
            {
                if (hashed + candidate->size > MAX_SOURCE_HASH_BYTES)
                {
                    PELVANE_LOG_INFO("Not hashing " << candidate->full << " for " << entry.path
                                                    << ": the run has hashed " << hashed
                                                    << " bytes of related files");
                    return !m_cancel.canceled();
                }
                hashed += candidate->size;
                const std::string sha256 = m_local.hashListed(*candidate, m_cancel);
                if (m_cancel.canceled())
                {
                    return false;
                }
                if (sources.count(sha256) != 0)
                {
                    PELVANE_LOG_INFO("Delta source for " << entry.path << " of "
                                                         << m_updates[u].number.text() << ": "
                                                         << candidate->full);
                    break;
                }
            }
        }
    }
    return true;
}

Outcome UpdateWays::fetchAllDeltaIndexes()
{
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        const ManifestVersion& version = m_updates[u];
        if (!m_remote || !version.bundleSize || version.deltas.empty())
        {
            continue;
        }
        if (const int error = safefiles::makeFolderPath(
                ExtractLayout(m_config.versionFolder(version.number)).folder()))
        {
            return Outcome::disk(error);
        }
        if (const Outcome fetched = fetchDeltaIndexes(u); !fetched.ok())
        {
            return fetched;
        }
    }
    return {};
}

std::optional<UpdateWays::DeltaOffer> UpdateWays::bestDelta(std::size_t update, std::size_t file,
                                                           std::size_t heldBefore,
                                                           const std::string& onlySource) const
{
    const ManifestVersion& version = m_updates[update];
    std::optional<DeltaOffer> best;
    for (std::size_t s = 0; s < m_versions[update]->indexes.size(); ++s)
    {
        const deltas::DeltaEntry* delta =
            m_versions[update]->indexes[s].find(static_cast<std::uint32_t>(file));
        if (delta == nullptr || (!onlySource.empty() && delta->sourceSha256 != onlySource))
        {
            continue;
        }
        const std::string* source = onlySource.empty() ? m_local.find(delta->sourceSha256) : &onlySource;
        const auto brought = m_broughtBy.find(delta->sourceSha256);
        if (source == nullptr || (onlySource.empty() && brought != m_broughtBy.end() &&
                                  brought->second >= heldBefore))
        {
            continue; // not held, or not before this update comes
        }
        if (!best || delta->size < best->piece.size)
        {
            best = DeltaOffer{{version.deltas[s].offset + delta->offset, delta->size, delta->sha256},
                              delta->sourceSha256,
                              *source};
        }
    }
    return best;
}

void UpdateWays::chain(std::size_t update, std::size_t file,
                       std::vector<std::vector<bool>>& superseded)
{
    const ManifestFile& entry = m_updates[update].files[file];
    FileState& state = m_files[update][file];
    // what the file costs without a chain
    std::uint64_t alternative = entry.size + UpdatePlanner::REQUEST_COST_BYTES;
    if (state.delta)
    {
        alternative = std::min(alternative, state.delta->piece.size);
    }
    if (entry.compressed)
    {
        alternative = std::min(alternative, entry.compressed->size + UpdatePlanner::REQUEST_COST_BYTES);
    }
    if (entry.bundled)
    {
        alternative = std::min(alternative, entry.bundled->size);
    }
    for (std::size_t middle = 0; middle < update; ++middle)
    {
        const std::vector<ManifestFile>& files = m_updates[middle].files;
        const auto found = std::find_if(files.begin(), files.end(), [&](const ManifestFile& f)
                                        { return f.path == entry.path; });
        if (found == files.end())
        {
            continue;
        }
        const std::size_t step = static_cast<std::size_t>(found - files.begin());
        if (!superseded[middle][step])
        {
            continue; // brought anyway: its file is a plain source
        }
        const std::optional<DeltaOffer> first = bestDelta(middle, step, middle, {});
        if (!first)
        {
            continue;
        }
        const ExtractLayout layout(m_config.versionFolder(m_updates[middle].number));
        std::optional<DeltaOffer> second = bestDelta(update, file, update, found->sha256);
        if (!second || first->piece.size + second->piece.size >= alternative)
        {
            continue;
        }
        second->sourcePath = layout.verifiedPath(entry.path);
        PELVANE_LOG_INFO("Chain for " << entry.path << ": deltas to "
                                      << m_updates[middle].number.text() << " and to "
                                      << m_updates[update].number.text() << ", "
                                      << first->piece.size + second->piece.size << " bytes");
        superseded[middle][step] = false;
        m_files[middle][step].delta = first;
        state.delta = second;
        alternative = first->piece.size + second->piece.size;
    }
}

bool UpdateWays::settled(std::size_t update, std::size_t file) const
{
    const FileState& state = m_files[update][file];
    return state.localPath.has_value() || state.delta.has_value();
}

std::optional<BundlePieces::Piece> UpdateWays::bundledPiece(std::size_t update,
                                                            std::size_t file) const
{
    const ManifestFile& entry = m_updates[update].files[file];
    if (!entry.bundled || !m_remote)
    {
        return std::nullopt;
    }
    return BundlePieces::Piece{entry.bundled->offset, entry.bundled->size, entry.bundled->sha256};
}

void UpdateWays::choose(std::size_t update, std::size_t file, std::optional<ChunkOffer> chunks,
                        std::uint64_t onDisk)
{
    const ManifestVersion& version = m_updates[update];
    const ManifestFile& entry = version.files[file];
    FileState& state = m_files[update][file];
    const ExtractLayout layout(m_config.versionFolder(version.number));
    UpdatePlanner::Options options;
    std::uint64_t verifiedSize = 0;
    options.wholeOnDisk =
        safefiles::regularFileSize(layout.verifiedPath(entry.path), verifiedSize) == 0;
    options.local = state.localPath.has_value();
    if (state.delta)
    {
        options.deltaBytes = state.delta->piece.size;
    }
    if (chunks)
    {
        options.chunkBytes = chunks->bytes;
        options.chunkRanges = chunks->ranges;
    }
    if (const auto piece = bundledPiece(update, file))
    {
        options.bundledBytes = piece->size;
    }
    if (entry.compressed && m_remote)
    {
        // a compressed object on its way from an earlier run goes on from there
        const ExtractLayout objects(layout.compressedFolder());
        std::uint64_t kept = 0;
        if (safefiles::regularFileSize(objects.verifiedPath(entry.path), kept) != 0 &&
            (!safefiles::pathExists(objects.metaPath(entry.path)) ||
             safefiles::regularFileSize(objects.partPath(entry.path), kept) != 0))
        {
            kept = 0;
        }
        options.compressedBytes = entry.compressed->size - std::min(kept, entry.compressed->size);
    }
    options.wholeBytes = entry.size - std::min(onDisk, entry.size);
    state.ways = UpdatePlanner::rank(options);
    const WayCost& first = state.ways.front();
    state.planned = first.bytes;
    if (const std::optional<BundlePieces::Piece> piece = firstWayPiece(update, file))
    {
        VersionState& bundle = *m_versions[update];
        bundle.planned.push_back(*piece);
        bundle.plannedBytes += first.bytes;
        if (!bundle.carrier)
        {
            bundle.carrier = file;
        }
    }
    std::string others;
    for (std::size_t i = 1; i < state.ways.size(); ++i)
    {
        others += std::string(i == 1 ? "" : ", ") + fileWayName(state.ways[i].way) + " " +
                  std::to_string(state.ways[i].bytes);
    }
    PELVANE_LOG_INFO("Way for " << entry.path << " of " << version.number.text() << ": "
                                << fileWayName(first.way) << ", " << first.bytes << " bytes"
                                << (others.empty() ? "" : " (then " + others + ")"));
}

std::uint64_t UpdateWays::plannedBytes(std::size_t update, std::size_t file) const
{
    const FileState& state = m_files[update][file];
    if (state.ways.empty())
    {
        return 0;
    }
    const FileWay first = state.ways.front().way;
    if (first != FileWay::Delta && first != FileWay::Bundled)
    {
        return state.planned;
    }
    // the first file of the version that needs the bundle brings all its pieces
    const VersionState& bundle = *m_versions[update];
    return bundle.carrier == file ? bundle.plannedBytes : 0;
}

std::optional<std::size_t> UpdateWays::startsAfter(std::size_t update, std::size_t file) const
{
    const FileState& state = m_files[update][file];
    if (state.ways.empty())
    {
        return std::nullopt;
    }
    const FileWay first = state.ways.front().way;
    if (first == FileWay::Local)
    {
        return state.copyOf;
    }
    return bundleCarrier(update, file);
}

std::optional<BundlePieces::Piece> UpdateWays::firstWayPiece(std::size_t update,
                                                             std::size_t file) const
{
    const FileState& state = m_files[update][file];
    if (state.ways.empty())
    {
        return std::nullopt;
    }
    switch (state.ways.front().way)
    {
    case FileWay::Delta:
        return state.delta->piece;
    case FileWay::Bundled:
        return bundledPiece(update, file);
    default:
        return std::nullopt;
    }
}

std::optional<std::size_t> UpdateWays::bundleCarrier(std::size_t update, std::size_t file) const
{
    if (!firstWayPiece(update, file))
    {
        return std::nullopt;
    }
    const std::optional<std::size_t> carrier = m_versions[update]->carrier;
    return carrier == file ? std::nullopt : carrier;
}

bool UpdateWays::pieceReady(std::size_t update, std::size_t file) const
{
    const std::optional<BundlePieces::Piece> piece = firstWayPiece(update, file);
    if (!piece)
    {
        return false;
    }
    VersionState& version = *m_versions[update];
    {
        const std::lock_guard<std::mutex> lock(version.lock);
        if (version.plannedEnded)
        {
            return true;
        }
    }
    return version.pieces.held(*piece);
}

Outcome UpdateWays::needPiece(std::size_t update, const BundlePieces::Piece& piece,
                              const Progress& progress, std::uint64_t& bytes, RangeFetcher& lane)
{
    VersionState& state = *m_versions[update];
    std::uint64_t fetched = 0; // by this file's own fetches
    const auto counted = [&](std::uint64_t more) { progress(bytes + fetched + more); };
    bool carries = false;
    {
        std::unique_lock<std::mutex> lock(state.lock);
        carries = !state.plannedStarted;
        state.plannedStarted = true;
        while (!carries && !state.plannedEnded && !state.pieces.held(piece))
        {
            if (m_cancel.canceled())
            {
                return Outcome::canceled();
            }
            state.changed.wait_for(lock, std::chrono::milliseconds(50));
        }
    }
    Outcome result;
    if (carries)
    {
        // the files waiting here and those the scheduler holds back look again
        const auto announce = [&]
        {
            state.changed.notify_all();
            if (m_pieceHeld)
            {
                m_pieceHeld();
            }
        };
        std::uint64_t planned = 0;
        result = state.pieces.fetch(
            lane, state.urls, state.planned,
            [&](std::uint64_t more)
            {
                planned = more;
                counted(more);
            },
            announce);
        fetched += planned;
        {
            const std::lock_guard<std::mutex> lock(state.lock);
            state.plannedEnded = true;
        }
        announce();
    }
    if (result.ok() && !state.pieces.held(piece))
    {
        const std::lock_guard<std::mutex> one(state.fetching);
        std::uint64_t alone = 0;
        result = state.pieces.fetch(lane, state.urls, {piece},
                                    [&](std::uint64_t more)
                                    {
                                        alone = more;
                                        counted(more);
                                    });
        fetched += alone;
    }
    bytes += fetched;
    return result;
}

Outcome UpdateWays::heldPiece(std::size_t update, const BundlePieces::Piece& piece,
                              const Progress& progress, std::uint64_t& travelled,
                              RangeFetcher& lane, std::vector<unsigned char>& bytes)
{
    if (const Outcome fetched = needPiece(update, piece, progress, travelled, lane); !fetched.ok())
    {
        return fetched;
    }
    // a copy, so that files decode their pieces in parallel while later
    // pieces are still coming
    m_versions[update]->pieces.copy(piece, bytes);
    return {};
}

Outcome UpdateWays::place(std::size_t update, std::size_t file)
{
    const ExtractLayout layout(m_config.versionFolder(m_updates[update].number));
    const std::string& path = m_updates[update].files[file].path;
    if (SystemCalls::rename(layout.workPath(path), layout.verifiedPath(path)) != 0)
    {
        return Outcome::disk(errno);
    }
    return {};
}

Outcome UpdateWays::fromLocal(std::size_t update, std::size_t file, bool& next)
{
    const ManifestFile& entry = m_updates[update].files[file];
    const ExtractLayout layout(m_config.versionFolder(m_updates[update].number));
    const std::string& source = *m_files[update][file].localPath;
    if (const int error = layout.makeFoldersFor(entry.path, &m_folders))
    {
        return Outcome::disk(error);
    }
    const std::string work = layout.workPath(entry.path);
    if (const int error = safefiles::linkOrCopyFile(source, work, &m_cancel.flag()))
    {
        if (error == ECANCELED)
        {
            return Outcome::canceled();
        }
        next = true;
        return Outcome::disk(error);
    }
    // judged as it is now, not as it was when the run looked at it
    Sha256 digest;
    int error = 0;
    std::uint64_t size = 0;
    if (safefiles::regularFileSize(work, size) == 0 && size == entry.size &&
        hashFilePrefix(work, size, digest, &m_cancel.flag(), error) &&
        digestsEqual(entry.sha256, digest.finishHex()))
    {
        PELVANE_LOG_INFO("Taken from " << source << ": " << entry.path);
        return place(update, file);
    }
    SystemCalls::unlink(work);
    if (m_cancel.canceled())
    {
        return Outcome::canceled();
    }
    PELVANE_LOG_WARN("Local copy " << source << " of " << entry.path << " changed");
    next = true;
    return Outcome::failure(API_HASH);
}

Outcome UpdateWays::fromDelta(std::size_t update, std::size_t file, const Progress& progress,
                              bool& next, std::uint64_t& travelled, RangeFetcher& lane)
{
    const ManifestFile& entry = m_updates[update].files[file];
    const DeltaOffer& delta = *m_files[update][file].delta;
    std::vector<unsigned char> bytes;
    if (const Outcome held = heldPiece(update, delta.piece, progress, travelled, lane, bytes);
        !held.ok() || bytes.empty())
    {
        next = held.ok();
        return held.ok() ? Outcome::failure(API_HASH) : held;
    }
    const ExtractLayout layout(m_config.versionFolder(m_updates[update].number));
    int fd = -1;
    if (const Outcome opened = openWork(layout, entry.path, fd, m_folders); !opened.ok())
    {
        return opened;
    }
    platform::FileDescriptor out(fd);
    const deltas::CodecStatus applied = deltas::applyDelta(
        delta.sourcePath, bytes, out.get(), {delta.sourceSha256, entry.size, entry.sha256, true},
        &m_cancel.flag());
    out.close();
    if (applied.ok())
    {
        return place(update, file);
    }
    safefiles::removeTree(layout.workPath(entry.path));
    PELVANE_LOG_WARN("Delta for " << entry.path << " from " << delta.sourcePath << " not used: "
                                  << applied.describe());
    return judged(applied, next);
}

Outcome UpdateWays::decodeObject(std::size_t update, std::size_t file,
                                 std::span<const unsigned char> object, const ObjectRef& expected,
                                 bool& next)
{
    const ManifestFile& entry = m_updates[update].files[file];
    const ExtractLayout layout(m_config.versionFolder(m_updates[update].number));
    int fd = -1;
    if (const Outcome opened = openWork(layout, entry.path, fd, m_folders); !opened.ok())
    {
        return opened;
    }
    platform::FileDescriptor out(fd);
    deltas::ObjectDecoder decoder;
    deltas::CodecStatus status = decoder.open(
        out.get(), {expected.size, expected.sha256, entry.size, entry.sha256}, &m_cancel.flag());
    if (status.ok())
    {
        status = decoder.feed(object.data(), object.size());
    }
    if (status.ok())
    {
        status = decoder.finish();
    }
    out.close();
    if (status.ok())
    {
        return place(update, file);
    }
    safefiles::removeTree(layout.workPath(entry.path));
    PELVANE_LOG_WARN("Compressed object of " << entry.path << " not used: " << status.describe());
    const Outcome result = judged(status, next);
    if (status.error == deltas::CodecError::TooLarge)
    {
        // the signed bytes themselves decode beyond the file: a bomb
        PELVANE_LOG_ERROR("Compressed object of " << entry.path << " decodes beyond its "
                                                  << entry.size << " bytes");
        next = false;
    }
    return result;
}

Outcome UpdateWays::fromBundled(std::size_t update, std::size_t file, const Progress& progress,
                                bool& next, std::uint64_t& travelled, RangeFetcher& lane)
{
    const BundlePieces::Piece piece = *bundledPiece(update, file);
    std::vector<unsigned char> bytes;
    if (const Outcome held = heldPiece(update, piece, progress, travelled, lane, bytes);
        !held.ok() || bytes.empty())
    {
        next = held.ok();
        return held.ok() ? Outcome::failure(API_HASH) : held;
    }
    return decodeObject(update, file, bytes, {piece.size, piece.sha256}, next);
}

Outcome UpdateWays::fromCompressed(std::size_t update, std::size_t file, const Progress& progress,
                                   bool& next, std::uint64_t& travelled, RangeFetcher& lane)
{
    const ManifestVersion& version = m_updates[update];
    const ManifestFile& entry = version.files[file];
    const ExtractLayout objects(
        ExtractLayout(m_config.versionFolder(version.number)).compressedFolder());
    // the object is fetched like a file of its own: resume, validators,
    // retries, mirrors and its SHA-256 as for any file
    ManifestFile object;
    object.path = entry.path;
    object.size = entry.compressed->size;
    object.sha256 = entry.compressed->sha256;
    if (const int error = safefiles::makeFolderPath(objects.folder()))
    {
        return Outcome::disk(error);
    }
    const std::vector<std::string>& mirrors = m_config.mirrors;
    std::uint64_t got = 0;
    FileDownloader downloader(lane.fetcher(), lane.cancel());
    MirrorWalk walk(mirrors.size(), MirrorWalk::MoveOn::CurableFailure);
    const Outcome fetched = walk.run(
        [&](std::size_t mirror)
        {
            return downloader.download(
                m_config.repository().compressed(version.number.text(), entry.path).url(
                    mirrors[mirror]),
                objects.folder(), object,
                [&](std::uint64_t bytes)
                {
                    got = bytes;
                    progress(travelled + bytes);
                });
        },
        [&](std::size_t mirror, const Outcome& failure)
        {
            PELVANE_LOG_WARN("Mirror " << mirrors[mirror] << " failed for the compressed object of "
                                       << entry.path << " (" << apiErrorName(failure.apiError)
                                       << ", curl " << failure.primary << ", HTTP "
                                       << failure.secondary << "), trying " << mirrors[mirror + 1]);
        });
    travelled += got;
    if (!fetched.ok())
    {
        next = !fetched.is(API_CANCELED) && !fetched.is(API_DISK);
        return fetched;
    }
    const std::string kept = objects.verifiedPath(entry.path);
    platform::MappedFile map;
    if (const int error = map.mapForReading(kept))
    {
        return Outcome::disk(error);
    }
    const Outcome decoded = decodeObject(update, file, {map.data(), static_cast<std::size_t>(map.size())},
                                         *entry.compressed, next);
    map.unmap();
    if (decoded.ok() || next)
    {
        // decoded, or of no use: either way the copy goes
        safefiles::removeTree(kept);
    }
    return decoded;
}

Outcome UpdateWays::runWay(std::size_t update, std::size_t file, const WayCost& way,
                           const Progress& progress, const ChunkRun& chunks, const WholeRun& whole,
                           bool& next, std::uint64_t& travelled, RangeFetcher& lane)
{
    next = false;
    switch (way.way)
    {
    case FileWay::Local:
        return fromLocal(update, file, next);
    case FileWay::Delta:
        return fromDelta(update, file, progress, next, travelled, lane);
    case FileWay::Bundled:
        return fromBundled(update, file, progress, next, travelled, lane);
    case FileWay::Compressed:
        return fromCompressed(update, file, progress, next, travelled, lane);
    case FileWay::Chunks:
    {
        const std::uint64_t before = travelled;
        std::uint64_t network = 0;
        const Outcome result = chunks([&](std::uint64_t bytes) { progress(before + bytes); },
                                      next, network);
        travelled += network;
        return result;
    }
    case FileWay::Whole:
        break;
    }
    const std::uint64_t before = travelled;
    return whole([&](std::uint64_t bytes) { progress(before + bytes); });
}

Outcome UpdateWays::download(std::size_t update, std::size_t file, const Progress& progress,
                             const std::function<void(std::uint64_t)>& extraBytes,
                             const ChunkRun& chunks, const WholeRun& whole, RangeFetcher* lane)
{
    RangeFetcher& fetcher = lane != nullptr ? *lane : m_ranges;
    const FileState& state = m_files[update][file];
    const ManifestFile& entry = m_updates[update].files[file];
    std::uint64_t travelled = 0;
    std::uint64_t planned = plannedBytes(update, file);
    Outcome result;
    for (std::size_t i = 0; i < state.ways.size(); ++i)
    {
        const WayCost& way = state.ways[i];
        if (i > 0)
        {
            PELVANE_LOG_WARN("Fetching " << entry.path << " " << fileWayName(way.way) << " instead ("
                                         << way.bytes << " bytes)");
            // the plan grows by what this way adds beyond what has travelled
            const std::uint64_t total = travelled + way.bytes;
            if (total > planned)
            {
                extraBytes(total - planned);
                planned = total;
            }
        }
        bool next = false;
        result = runWay(update, file, way, progress, chunks, whole, next, travelled, fetcher);
        if (result.ok() || !next || i + 1 == state.ways.size())
        {
            return result;
        }
    }
    return result;
}
} // namespace pelvane

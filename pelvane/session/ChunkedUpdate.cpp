#include "pelvane/session/ChunkedUpdate.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ContentChunker.h"
#include "pelvane/files/ExtractLayout.h"
#include "pelvane/net/MirrorWalk.h"

#include "platform/SystemCalls.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace pelvane
{
namespace
{
bool isHttp(const std::string& url)
{
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0 ||
           url.rfind("HTTP://", 0) == 0 || url.rfind("HTTPS://", 0) == 0;
}

bool regularFile(const std::string& path)
{
    std::uint64_t size = 0;
    return safefiles::regularFileSize(path, size) == 0;
}
} // namespace

ChunkedUpdate::ChunkedUpdate(const UpdateConfig& config,
                             const std::vector<ManifestVersion>& updates, HttpFetcher& fetcher,
                             const CancelToken& cancel)
    : m_config(config), m_updates(updates), m_fetcher(fetcher), m_cancel(cancel),
      m_base(config.productCode, config.channelName()), m_ranges(fetcher, cancel, &m_learned),
      m_ways(config, updates, m_ranges, cancel)
{
    const char* setting = std::getenv(DISABLE_VARIABLE);
    const bool disabled =
        setting != nullptr && (std::strcmp(setting, "0") == 0 || std::strcmp(setting, "off") == 0);
    // a file:// repository is local already: ranges would buy nothing
    m_enabled = !disabled && !config.mirrors.empty() &&
                std::all_of(config.mirrors.begin(), config.mirrors.end(), isHttp);
}

bool ChunkedUpdate::superseded(std::size_t update, std::size_t file) const
{
    return m_work[update][file].superseded;
}

std::uint64_t ChunkedUpdate::plannedBytes(std::size_t update, std::size_t file) const
{
    return m_work[update][file].planned;
}

std::uint64_t ChunkedUpdate::plannedBytes(std::size_t update) const
{
    std::uint64_t total = 0;
    for (const FileWork& work : m_work[update])
    {
        total += work.planned;
    }
    return total;
}

bool ChunkedUpdate::chunkable(const ManifestFile& file) const
{
    return m_enabled && file.chunks && file.chunks->size <= MAX_INDEX_BYTES &&
           file.size >= ContentChunker::MIN_SIZE;
}

bool ChunkedUpdate::wantsIndex(std::size_t update, const ManifestFile& file,
                               bool severalChunkable) const
{
    if (!chunkable(file))
    {
        return false;
    }
    const ExtractLayout layout(m_config.versionFolder(m_updates[update].number));
    if (regularFile(layout.verifiedPath(file.path)) || regularFile(layout.metaPath(file.path)))
    {
        return false; // reused or resumed as a whole file
    }
    if (regularFile(layout.assemblyPath(file.path)))
    {
        return true; // what a cut run assembled
    }
    if (file.bundled && file.bundled->size < BUNDLED_INDEX_BYTES)
    {
        return false;
    }
    // an index pays only when some local copy may hold part of the file
    if (heldAtPath(file.path) || !m_related->candidates(file.path, file.size).empty())
    {
        return true;
    }
    // or another file of the run, unless the file rides in the bundle: it
    // costs no request there, its index would cost one, and a first install
    // of a release of small files made a round trip for each of them
    return severalChunkable && !file.bundled;
}

bool ChunkedUpdate::heldAtPath(const std::string& path) const
{
    return regularFile(m_config.target + "/" + path) ||
           (m_base.enabled() && regularFile(m_base.filePath(path)));
}

Outcome ChunkedUpdate::fetchIndex(const VersionNumber& version, const ManifestFile& file,
                                  ChunkIndex& index, HttpFetcher& fetcher)
{
    MirrorWalk walk(m_config.mirrors.size(), MirrorWalk::MoveOn::AnyFailure);
    const Outcome fetched = walk.run(
        [&](std::size_t mirror)
        {
            return fetchIndexFrom(
                m_config.repository().chunkIndex(version.text(), file.path).url(
                    m_config.mirrors[mirror]),
                file, index, fetcher);
        });
    if (!fetched.ok() && !fetched.is(API_CANCELED))
    {
        PELVANE_LOG_INFO("No usable chunk index for " << file.path << "; it comes whole");
    }
    return fetched;
}

Outcome ChunkedUpdate::fetchIndexFrom(const std::string& url, const ManifestFile& file,
                                      ChunkIndex& index, HttpFetcher& fetcher)
{
    std::string bytes;
    const FetchResult fetched =
        fetcher.fetchText(url, static_cast<std::size_t>(file.chunks->size), bytes,
                            Deadline::after(m_config.transfer.limits.metadataDeadline));
    if (fetched.is(API_CANCELED))
    {
        return fetched;
    }
    std::string problem;
    if (!fetched.ok())
    {
        problem = "HTTP " + std::to_string(fetched.secondary) + ", curl " +
                  std::to_string(fetched.primary);
    }
    else if (bytes.size() != file.chunks->size ||
             !digestsEqual(file.chunks->sha256, sha256Hex(bytes)))
    {
        problem = "it does not match the file list";
    }
    else if (auto parsed = ChunkIndex::parse(bytes, problem))
    {
        if (parsed->fileSize() == file.size)
        {
            index = std::move(*parsed);
            return {};
        }
        problem = "it is for a file of another size";
    }
    PELVANE_LOG_INFO("No chunk index for " << file.path << " at " << url << " (" << problem << ")");
    return fetched.ok() ? Outcome::failure(API_BAD_MANIFEST) : Outcome(fetched);
}

Outcome ChunkedUpdate::planFiles(std::unordered_set<std::string>& wanted,
                                 const Parallel& parallel)
{
    const auto take = [&](FileWork& work, ChunkIndex& index)
    {
        for (const Chunk& chunk : index.chunks())
        {
            wanted.insert(chunk.sha256);
        }
        work.index = std::move(index);
    };
    std::vector<std::pair<std::size_t, std::size_t>> toFetch; // with `parallel`
    std::vector<std::vector<bool>> superseded = FetchPlanner::superseded(m_updates);
    if (const Outcome surveyed = m_ways.survey(superseded); !surveyed.ok())
    {
        return surveyed;
    }
    m_related = &m_ways.related();
    m_work.assign(m_updates.size(), {});
    std::size_t chunkableFiles = 0;
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            chunkableFiles += !superseded[u][f] && chunkable(m_updates[u].files[f]) ? 1U : 0U;
        }
    }
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        const ExtractLayout layout(m_config.versionFolder(m_updates[u].number));
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            const ManifestFile& file = m_updates[u].files[f];
            FileWork& work = m_work[u].emplace_back();
            work.superseded = superseded[u][f];
            if (work.superseded)
            {
                PELVANE_LOG_INFO("Not fetching " << file.path << " of "
                                                 << m_updates[u].number.text()
                                                 << ": a later update replaces it");
                continue;
            }
            std::uint64_t onDisk = 0;
            if (safefiles::regularFileSize(layout.verifiedPath(file.path), onDisk) == 0 ||
                (regularFile(layout.metaPath(file.path)) &&
                 safefiles::regularFileSize(layout.partPath(file.path), onDisk) == 0))
            {
                work.alreadyOnDisk = std::min(onDisk, file.size);
            }
            work.planned = file.size - work.alreadyOnDisk;
            if (m_ways.settled(u, f) || !wantsIndex(u, file, chunkableFiles > 1))
            {
                continue;
            }
            if (parallel)
            {
                toFetch.emplace_back(u, f);
                continue;
            }
            ChunkIndex index;
            const Outcome fetched = fetchIndex(m_updates[u].number, file, index, m_fetcher);
            if (fetched.is(API_CANCELED))
            {
                return fetched;
            }
            if (fetched.ok())
            {
                take(work, index);
            }
        }
    }
    if (toFetch.empty())
    {
        return {};
    }
    // the indexes a few at a time; what they bring is taken in run order
    std::vector<ChunkIndex> indexes(toFetch.size());
    std::vector<bool> fetched(toFetch.size(), false);
    const Outcome all = parallel(toFetch.size(),
                                 [&](HttpFetcher& fetcher, std::size_t i)
                                 {
                                     const auto [u, f] = toFetch[i];
                                     const Outcome one = fetchIndex(
                                         m_updates[u].number, m_updates[u].files[f], indexes[i],
                                         fetcher);
                                     fetched[i] = one.ok();
                                     return one.is(API_CANCELED) ? one : Outcome();
                                 });
    if (!all.ok())
    {
        return all;
    }
    for (std::size_t i = 0; i < toFetch.size(); ++i)
    {
        if (fetched[i])
        {
            take(m_work[toFetch[i].first][toFetch[i].second], indexes[i]);
        }
    }
    return {};
}

bool ChunkedUpdate::scanLocalCopies(const std::unordered_set<std::string>& wanted)
{
    // Local copies of the same paths: Target and the base store, each inode once.
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            if (!m_work[u][f].index)
            {
                continue;
            }
            const std::string& path = m_updates[u].files[f].path;
            std::vector<std::string> candidates = {m_config.target + "/" + path};
            if (m_base.enabled())
            {
                candidates.push_back(m_base.filePath(path));
            }
            for (const std::string& candidate : candidates)
            {
                if (regularFile(candidate) && !m_sources.scanFile(candidate, wanted, m_cancel))
                {
                    return false;
                }
            }
        }
    }
    return scanRelatedFiles(wanted);
}

bool ChunkedUpdate::scanRelatedFiles(const std::unordered_set<std::string>& wanted)
{
    std::uint64_t bytes = 0;
    std::size_t files = 0;
    bool capLogged = false;
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            const ManifestFile& entry = m_updates[u].files[f];
            const std::optional<ChunkIndex>& index = m_work[u][f].index;
            if (!index || heldAtPath(entry.path))
            {
                continue; // the same path's copy was read
            }
            const auto missing = [&]
            {
                return std::any_of(index->chunks().begin(), index->chunks().end(),
                                   [&](const Chunk& chunk)
                                   {
                                       const ChunkSources::Location* at = m_sources.find(chunk.sha256);
                                       return at == nullptr || at->length != chunk.length;
                                   });
            };
            for (const LocalFile* candidate : m_related->candidates(entry.path, entry.size))
            {
                if (!missing())
                {
                    break;
                }
                if (m_sources.chunked(candidate->device, candidate->inode))
                {
                    continue;
                }
                if (files >= MAX_RELATED_FILES || bytes + candidate->size > MAX_RELATED_BYTES)
                {
                    if (!capLogged)
                    {
                        PELVANE_LOG_INFO("Not chunking " << candidate->full << " for "
                                                         << entry.path << ": the run has chunked "
                                                         << files << " files, " << bytes
                                                         << " bytes beyond the same paths");
                        capLogged = true;
                    }
                    continue;
                }
                ++files;
                bytes += candidate->size;
                const std::size_t before = m_sources.size();
                if (!m_sources.scanFile(candidate->full, wanted, m_cancel))
                {
                    return false;
                }
                PELVANE_LOG_INFO("Chunks for " << entry.path << " looked for in "
                                               << candidate->full << ": "
                                               << m_sources.size() - before << " found");
            }
        }
    }
    return true;
}

bool ChunkedUpdate::planChunks(std::size_t update, std::size_t file)
{
    FileWork& work = m_work[update][file];
    const ManifestFile& entry = m_updates[update].files[file];
    const ExtractLayout layout(m_config.versionFolder(m_updates[update].number));
    const std::string assembly = layout.assemblyPath(entry.path);
    ChunkPlan plan = FetchPlanner::planChunks(*work.index, m_sources);
    if (!takeChunksInPlace(assembly, *work.index, plan))
    {
        return false;
    }
    // a chunk that the file holds more than once travels once
    std::unordered_map<std::string, std::uint64_t> firstFetched;
    for (std::size_t i = 0; i < work.index->chunks().size(); ++i)
    {
        const Chunk& chunk = work.index->chunks()[i];
        if (plan.local[i] || firstFetched.emplace(chunk.sha256, chunk.offset).second)
        {
            continue;
        }
        plan.local[i] = ChunkSources::Location{assembly, firstFetched[chunk.sha256], chunk.length};
        plan.fetchBytes -= chunk.length;
        plan.localBytes += chunk.length;
    }
    m_sources.addIndexed(layout.verifiedPath(entry.path), *work.index);
    PELVANE_LOG_INFO("Plan for " << entry.path << " of " << m_updates[update].number.text() << ": "
                                 << plan.localBytes << " bytes local, " << plan.fetchBytes
                                 << " to fetch");
    if (plan.localBytes > 0)
    {
        work.planned = plan.fetchBytes;
        work.plan = std::move(plan);
    }
    return true;
}

Outcome ChunkedUpdate::prepare(const Parallel& parallel)
{
    std::unordered_set<std::string> wanted;
    if (const Outcome planned = planFiles(wanted, parallel); !planned.ok() || wanted.empty())
    {
        if (planned.ok())
        {
            chooseWays();
        }
        return planned;
    }
    if (!scanLocalCopies(wanted))
    {
        return Outcome::canceled();
    }
    // In run order: a chunk fetched by an earlier file is local for later ones.
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            if (m_work[u][f].index && !planChunks(u, f))
            {
                return Outcome::canceled();
            }
        }
    }
    noteReads();
    chooseWays();
    return {};
}

void ChunkedUpdate::noteReads()
{
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        const ExtractLayout layout(m_config.versionFolder(m_updates[u].number));
        std::unordered_map<std::string, std::size_t> fileAt;
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            fileAt.emplace(layout.verifiedPath(m_updates[u].files[f].path), f);
        }
        for (std::size_t f = 0; f < m_work[u].size(); ++f)
        {
            FileWork& work = m_work[u][f];
            if (!work.plan)
            {
                continue;
            }
            for (const std::optional<ChunkSources::Location>& local : work.plan->local)
            {
                const auto found = local ? fileAt.find(local->file) : fileAt.end();
                if (found != fileAt.end() && found->second != f)
                {
                    addReadFrom(work, found->second);
                }
            }
        }
    }
}

void ChunkedUpdate::addReadFrom(FileWork& work, std::size_t file)
{
    if (std::find(work.readsFrom.begin(), work.readsFrom.end(), file) == work.readsFrom.end())
    {
        work.readsFrom.push_back(file);
    }
}

bool ChunkedUpdate::framedChunks(const ManifestFile& file, const ChunkIndex& index)
{
    return file.framed && index.framed() && index.compressedSize() == file.framed->size;
}

void ChunkedUpdate::chooseWays()
{
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            const FileWork& work = m_work[u][f];
            if (work.superseded)
            {
                continue;
            }
            std::optional<UpdateWays::ChunkOffer> offer;
            if (work.plan)
            {
                const bool framed = framedChunks(m_updates[u].files[f], *work.index);
                offer = UpdateWays::ChunkOffer{framed ? 0 : work.plan->fetchBytes, 0};
                bool previousMissing = false;
                for (std::size_t i = 0; i < work.plan->local.size(); ++i)
                {
                    const bool missing = !work.plan->local[i];
                    offer->ranges += missing && !previousMissing ? 1U : 0U;
                    offer->bytes +=
                        framed && missing ? work.index->chunks()[i].compressedLength : 0U;
                    previousMissing = missing;
                }
            }
            m_ways.choose(u, f, offer, work.alreadyOnDisk);
        }
    }
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            FileWork& work = m_work[u][f];
            if (work.superseded)
            {
                continue;
            }
            work.planned = m_ways.plannedBytes(u, f);
            if (const std::optional<std::size_t> before = m_ways.startsAfter(u, f))
            {
                addReadFrom(work, *before);
            }
        }
    }
}

bool ChunkedUpdate::takeChunksInPlace(const std::string& assembly, const ChunkIndex& index,
                                      ChunkPlan& plan)
{
    std::uint64_t size = 0;
    if (safefiles::regularFileSize(assembly, size) != 0 || size != index.fileSize())
    {
        safefiles::removeTree(assembly); // another build's, or cut short: nothing to take
        return true;
    }
    std::vector<unsigned char> buffer;
    std::uint64_t kept = 0;
    for (std::size_t i = 0; i < index.chunks().size(); ++i)
    {
        if (m_cancel.canceled())
        {
            return false;
        }
        const Chunk& chunk = index.chunks()[i];
        const ChunkSources::Location here{assembly, chunk.offset, chunk.length};
        if (!ChunkSources::readVerified(here, chunk.sha256, buffer))
        {
            continue;
        }
        if (!plan.local[i])
        {
            plan.fetchBytes -= chunk.length;
            plan.localBytes += chunk.length;
        }
        plan.local[i] = here;
        kept += chunk.length;
    }
    PELVANE_LOG_INFO("Resuming " << assembly << ": " << kept << " bytes already in place");
    return true;
}

Outcome ChunkedUpdate::download(std::size_t update, std::size_t file, const WholeDownload& whole,
                                const FileDownloader::Progress& progress,
                                const std::function<void(std::uint64_t)>& extraBytes,
                                RangeFetcher* ranges)
{
    const ManifestVersion& version = m_updates[update];
    const ManifestFile& entry = version.files[file];
    const FileWork& work = m_work[update][file];
    // bytes already on disk before the run travel no more
    const std::uint64_t skipped = work.alreadyOnDisk;
    const auto wholeRun = [&](const FileDownloader::Progress& wayProgress)
    {
        return whole([&](std::uint64_t bytesOfFile)
                     { wayProgress(bytesOfFile > skipped ? bytesOfFile - skipped : 0); });
    };
    const auto chunksRun = [&](const FileDownloader::Progress& wayProgress, bool& fellBack,
                               std::uint64_t& networkBytes) -> Outcome
    {
        // compressed chunks when the file has a framed object its index describes
        const bool framed = framedChunks(entry, *work.index);
        std::vector<std::string> urls;
        for (const std::string& mirror : m_config.mirrors)
        {
            const RepositoryLayout layout = m_config.repository();
            urls.push_back((framed ? layout.framed(version.number.text(), entry.path)
                                   : layout.file(version.number.text(), entry.path))
                               .url(mirror));
        }
        RangeFetcher& fetcher = ranges != nullptr ? *ranges : m_ranges;
        ChunkAssembler assembler(fetcher, fetcher.cancel());
        const ChunkAssembler::Result assembled = assembler.assemble(
            urls, m_config.versionFolder(version.number), entry, *work.index, *work.plan,
            wayProgress, framed);
        networkBytes = assembled.networkBytes;
        if (!assembled.fetchWhole)
        {
            // local chunks that no longer verified came over the network too
            if (assembled.networkBytes > work.planned)
            {
                extraBytes(assembled.networkBytes - work.planned);
            }
            return assembled.fetch;
        }
        PELVANE_LOG_WARN("Fetching " << entry.path << " whole: " << assembled.reason);
        fellBack = true;
        return Outcome::failure(API_HASH);
    };
    return m_ways.download(update, file, progress, extraBytes, chunksRun, wholeRun, ranges);
}

std::vector<ManifestVersion> ChunkedUpdate::placedUpdates() const
{
    std::vector<ManifestVersion> placed;
    for (std::size_t u = 0; u < m_updates.size(); ++u)
    {
        ManifestVersion version = m_updates[u];
        version.files.clear();
        for (std::size_t f = 0; f < m_updates[u].files.size(); ++f)
        {
            if (!m_work[u][f].superseded)
            {
                version.files.push_back(m_updates[u].files[f]);
            }
        }
        placed.push_back(std::move(version));
    }
    return placed;
}
} // namespace pelvane

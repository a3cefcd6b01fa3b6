#include "publisher/HistoryFiles.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/JsonFields.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

namespace publisher
{
namespace
{
using pelvane::ChannelHistory;
using pelvane::ChannelVersion;

bool sameEntry(const ChannelVersion& a, const ChannelVersion& b)
{
    return a.number == b.number && a.notes == b.notes && a.complete == b.complete &&
           a.fileCount == b.fileCount && a.totalSize == b.totalSize &&
           a.list.size == b.list.size && a.list.sha256 == b.list.sha256;
}

// The bytes one entry adds to a history object's JSON.
std::size_t entryBytes(const ChannelVersion& version)
{
    return pelvane::ChannelManifest::serializeVersions({version})
               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
               .size();
}

// Room in an object for its product, channel and link, beside the entries.
constexpr std::size_t OBJECT_FRAME_BYTES = 4096;
} // namespace

HistoryFiles::HistoryFiles(std::string repository, pelvane::RepositoryLayout layout,
                           std::string product, std::string channel)
    : m_repository(std::move(repository)), m_layout(std::move(layout)),
      m_product(std::move(product)), m_channel(std::move(channel))
{
}

std::size_t HistoryFiles::listedCount(const std::vector<ChannelVersion>& all)
{
    if (all.size() <= ChannelHistory::LISTED)
    {
        return all.size();
    }
    // the oldest version listed is a complete one, so that a client that
    // knows no history and is older than every version listed still starts
    // its run from a whole tree
    for (std::size_t first = all.size() - ChannelHistory::LISTED + 1; first-- > 0;)
    {
        if (all[first].complete)
        {
            return all.size() - first;
        }
    }
    return all.size();
}

std::string HistoryFiles::read(pelvane::ChannelManifest& top)
{
    m_chain.clear();
    pelvane::HistoryChain chain(m_product, m_channel, top);
    while (chain.next())
    {
        const pelvane::ObjectRef ref = *chain.next();
        const std::string path = m_layout.history(ref.sha256).path(m_repository);
        std::string bytes;
        std::string problem = "it is missing, unreadable or longer than named";
        if (pelvane::safefiles::readSmallFile(path, bytes, static_cast<std::size_t>(ref.size)) !=
                0 ||
            !chain.take(bytes, problem))
        {
            return "history object " + path + " refused: " + problem;
        }
    }
    std::vector<ChannelVersion> older = chain.releaseVersions();
    // the chain's batches, oldest first, to keep the unchanged ones when writing
    std::size_t at = 0;
    for (auto link = chain.links().rbegin(); link != chain.links().rend(); ++link)
    {
        Stored stored{link->ref, {older.begin() + static_cast<std::ptrdiff_t>(at),
                                  older.begin() + static_cast<std::ptrdiff_t>(at + link->versions)}};
        at += link->versions;
        m_chain.push_back(std::move(stored));
    }
    top.prependOlder(std::move(older));
    top.setHistory(std::nullopt);
    return {};
}

std::string HistoryFiles::write(pelvane::ChannelManifest& all, std::ostream& output)
{
    const std::vector<ChannelVersion>& versions = all.versions();
    const std::size_t movable = versions.size() - listedCount(versions);
    // the objects whose versions and predecessors are unchanged stay
    std::size_t kept = 0;
    std::size_t start = 0;
    while (kept < m_chain.size() && start + m_chain[kept].versions.size() <= movable &&
           std::equal(m_chain[kept].versions.begin(), m_chain[kept].versions.end(),
                      versions.begin() + static_cast<std::ptrdiff_t>(start), sameEntry))
    {
        start += m_chain[kept].versions.size();
        ++kept;
    }
    m_chain.resize(kept);
    std::size_t written = 0;
    while (start < movable)
    {
        // a batch of LISTED entries, fewer when their notes fill an object
        std::size_t end = start;
        std::size_t bytes = OBJECT_FRAME_BYTES;
        while (end < movable && end - start < ChannelHistory::LISTED &&
               bytes + entryBytes(versions[end]) <= ChannelHistory::MAX_OBJECT_BYTES)
        {
            bytes += entryBytes(versions[end]) + 1;
            ++end;
        }
        const bool full = end - start == ChannelHistory::LISTED || end < movable;
        if (!full || end == start)
        {
            break; // the rest stays listed until a whole batch is there
        }
        pelvane::HistoryObject object;
        object.versions.assign(versions.begin() + static_cast<std::ptrdiff_t>(start),
                               versions.begin() + static_cast<std::ptrdiff_t>(end));
        if (!m_chain.empty())
        {
            object.previous = m_chain.back().ref;
        }
        const std::string encoded = ChannelHistory::encode(m_product, m_channel, object);
        if (encoded.empty() || encoded.size() > ChannelHistory::MAX_OBJECT_BYTES)
        {
            return "cannot encode a history object";
        }
        pelvane::ObjectRef ref{encoded.size(), pelvane::sha256Hex(encoded)};
        const std::string path = m_layout.history(ref.sha256).path(m_repository);
        if (pelvane::safefiles::makeFolderPath(m_layout.historyFolder().path(m_repository)) != 0 ||
            pelvane::safefiles::writeFileAtomically(path, encoded) != 0)
        {
            return "cannot write " + path;
        }
        m_chain.push_back({std::move(ref), std::move(object.versions)});
        ++written;
        start = end;
    }
    all.dropOldest(start);
    all.setHistory(m_chain.empty() ? std::nullopt
                                   : std::optional<pelvane::ObjectRef>(m_chain.back().ref));
    if (written > 0)
    {
        std::size_t inHistory = 0;
        for (const Stored& stored : m_chain)
        {
            inHistory += stored.versions.size();
        }
        output << "History: " << inHistory << " older versions in " << m_chain.size()
               << " objects (" << written << " new), " << all.versions().size()
               << " versions listed\n";
    }
    return {};
}

std::string HistoryFiles::removeUnused(std::ostream& output)
{
    namespace fs = std::filesystem;
    std::set<std::string> names;
    for (const Stored& stored : m_chain)
    {
        names.insert(stored.ref.sha256 + pelvane::RepositoryLayout::HISTORY_SUFFIX);
    }
    const std::string folder = m_layout.historyFolder().path(m_repository);
    std::error_code error;
    std::size_t removed = 0;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error))
    {
        const std::string name = entry->path().filename().string();
        const std::string suffix = pelvane::RepositoryLayout::HISTORY_SUFFIX;
        // only what this class writes: <64 hex>.json.zst
        if (names.count(name) != 0 || name.size() != 64 + suffix.size() ||
            name.compare(64, suffix.size(), suffix) != 0 ||
            !pelvane::jsonfields::isLowerHex(std::string_view(name).substr(0, 64), 64))
        {
            continue;
        }
        if (pelvane::safefiles::removeTree(entry->path().string()) != 0)
        {
            return "cannot delete " + entry->path().string();
        }
        ++removed;
    }
    if (m_chain.empty())
    {
        fs::remove(folder, error); // only when empty
    }
    if (removed > 0)
    {
        output << "History: " << removed << " objects no longer named deleted\n";
    }
    return {};
}
} // namespace publisher

#include "pelvane/session/LocalCopies.h"

#include "pelvane/base/Sha256.h"
#include "platform/SystemCalls.h"

#include <atomic>
#include <optional>
#include <thread>

namespace pelvane
{
namespace
{
using platform::SystemCalls;
// deeper trees than a release path allows are not release trees
constexpr int MAX_DEPTH = 64;
} // namespace

bool LocalCopies::survey(const std::vector<std::string>& roots, const Wanted& wanted,
                         const CancelToken& cancel)
{
    std::vector<Candidate> candidates;
    for (const std::string& root : roots)
    {
        if (!walk(root, {}, wanted, cancel, 0, candidates))
        {
            return false;
        }
    }
    // two hashers: the files are many and small, the machine has cores to spare
    std::vector<std::string> digests(candidates.size());
    std::atomic<std::size_t> next{0};
    const auto hashAll = [&]
    {
        for (std::size_t i = next++; i < candidates.size() && !cancel.canceled(); i = next++)
        {
            Sha256 digest;
            int error = 0;
            if (hashFilePrefix(candidates[i].path, candidates[i].size, digest, &cancel.flag(),
                               error))
            {
                digests[i] = digest.finishHex();
            }
        }
    };
    std::optional<std::thread> helper;
    if (candidates.size() > 1)
    {
        try
        {
            helper.emplace(hashAll);
        }
        catch (...)
        {
        }
    }
    hashAll();
    if (helper)
    {
        helper->join();
    }
    if (cancel.canceled())
    {
        return false;
    }
    // in walk order, so that the first root's copy of a content wins
    for (std::size_t i = 0; i < candidates.size(); ++i)
    {
        if (!digests[i].empty())
        {
            ++m_hashed;
            m_bySha.emplace(std::move(digests[i]), std::move(candidates[i].path));
        }
    }
    return true;
}

bool LocalCopies::walk(const std::string& root, const std::string& relative, const Wanted& wanted,
                       const CancelToken& cancel, int depth, std::vector<Candidate>& candidates)
{
    if (depth > MAX_DEPTH)
    {
        return true;
    }
    std::vector<SystemCalls::Entry> entries;
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    if (SystemCalls::listDirectory(folder, entries) != 0)
    {
        return true;
    }
    for (const SystemCalls::Entry& entry : entries)
    {
        if (cancel.canceled())
        {
            return false;
        }
        const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
        const std::string full = root + "/" + path;
        SystemCalls::Info info;
        // links are never followed: they may lead out of the tree
        if (SystemCalls::linkStatus(full, info) != 0)
        {
            continue;
        }
        if (info.type == SystemCalls::Type::Directory)
        {
            if (!walk(root, path, wanted, cancel, depth + 1, candidates))
            {
                return false;
            }
            continue;
        }
        if (info.type == SystemCalls::Type::File)
        {
            m_listed.push_back({path, full, info.size, info.device, info.inode});
        }
        if (info.type != SystemCalls::Type::File ||
            (wanted.sizes.count(info.size) == 0 && wanted.paths.count(path) == 0) ||
            !m_seenInodes.insert(std::to_string(info.device) + ":" + std::to_string(info.inode))
                 .second)
        {
            continue;
        }
        candidates.push_back({full, info.size});
    }
    return true;
}

std::string LocalCopies::hashListed(const LocalFile& file, const CancelToken& cancel)
{
    if (!m_seenInodes.insert(std::to_string(file.device) + ":" + std::to_string(file.inode)).second)
    {
        return {};
    }
    Sha256 digest;
    int error = 0;
    if (!hashFilePrefix(file.full, file.size, digest, &cancel.flag(), error))
    {
        return {};
    }
    std::string sha256 = digest.finishHex();
    ++m_hashed;
    m_bySha.emplace(sha256, file.full);
    return sha256;
}

void LocalCopies::add(const std::string& sha256, const std::string& path)
{
    m_bySha.emplace(sha256, path);
}

const std::string* LocalCopies::find(const std::string& sha256) const
{
    const auto found = m_bySha.find(sha256);
    return found == m_bySha.end() ? nullptr : &found->second;
}
} // namespace pelvane

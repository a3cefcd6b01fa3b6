#include "pelvane/session/LocalCopies.h"

#include "pelvane/base/Sha256.h"
#include "platform/SystemCalls.h"

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
    for (const std::string& root : roots)
    {
        if (!walk(root, {}, wanted, cancel, 0))
        {
            return false;
        }
    }
    return true;
}

bool LocalCopies::walk(const std::string& root, const std::string& relative, const Wanted& wanted,
                       const CancelToken& cancel, int depth)
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
            if (!walk(root, path, wanted, cancel, depth + 1))
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
        Sha256 digest;
        int error = 0;
        if (!hashFilePrefix(full, info.size, digest, &cancel.flag(), error))
        {
            if (cancel.canceled())
            {
                return false;
            }
            continue;
        }
        ++m_hashed;
        m_bySha.emplace(digest.finishHex(), full);
    }
    return true;
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

#include "pelvane/files/BaseStore.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/base/XdgFolder.h"

#include "platform/SystemCalls.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelvane
{
namespace
{
std::string cacheHome()
{
    return xdgFolder("XDG_CACHE_HOME", ".cache");
}
} // namespace

BaseStore::BaseStore(const std::string& product, const std::string& channel)
{
    const char* setting = std::getenv("PELVANE_BASE_STORE");
    if (setting != nullptr && (std::strcmp(setting, "0") == 0 || std::strcmp(setting, "off") == 0))
    {
        m_enabled = false;
    }
    if (const char* cap = std::getenv("PELVANE_BASE_STORE_MAX_MIB"); cap != nullptr && *cap != 0)
    {
        char* end = nullptr;
        const unsigned long long mib = std::strtoull(cap, &end, 10);
        if (end != nullptr && *end == '\0' && mib < (1ULL << 40))
        {
            m_capBytes = mib * 1024 * 1024;
        }
        else
        {
            PELVANE_LOG_WARN("PELVANE_BASE_STORE_MAX_MIB is not a number of MiB: " << cap);
        }
    }
    const std::string home = cacheHome();
    if (home.empty())
    {
        m_enabled = false;
        return;
    }
    m_folder = home + "/pelvane/base/" + sha256Hex(product + "\n" + channel).substr(0, 16);
}

std::string BaseStore::replacedFolder() const
{
    return m_folder + ".old";
}

void BaseStore::removeReplaced(const CancelToken& cancel) const
{
    if (!m_folder.empty())
    {
        safefiles::removeTree(replacedFolder(), &cancel.flag());
    }
}

std::string BaseStore::filePath(const std::string& path) const
{
    return m_folder + "/files/" + path;
}

void BaseStore::keep(const std::string& target, const std::vector<std::string>& paths,
                     const std::string& version, const CancelToken& cancel) const
{
    if (!m_enabled)
    {
        return;
    }
    std::uint64_t total = 0;
    for (const std::string& path : paths)
    {
        std::uint64_t size = 0;
        if (safefiles::regularFileSize(target + "/" + path, size) == 0)
        {
            total += size;
        }
    }
    if (total > m_capBytes)
    {
        PELVANE_LOG_INFO("Base store not kept: " << total / (1024 * 1024)
                                                 << " MiB is over its cap of "
                                                 << m_capBytes / (1024 * 1024) << " MiB");
        safefiles::removeTree(m_folder);
        return;
    }
    const std::string fresh = m_folder + ".new";
    const std::string replaced = replacedFolder();
    int error = safefiles::removeTree(fresh);
    if (error == 0)
    {
        error = safefiles::removeTree(replaced); // one whose removal was cut short
    }
    // the cache folder itself may sit behind a link (a moved home): no safe walk here
    if (error == 0)
    {
        error = safefiles::makeFolderPath(fresh + "/files");
    }
    safefiles::FolderMemo made;
    for (const std::string& path : paths)
    {
        if (error != 0)
        {
            break;
        }
        std::uint64_t size = 0;
        if (safefiles::regularFileSize(target + "/" + path, size) != 0)
        {
            continue; // a later version replaced it with a folder
        }
        error = safefiles::makeParentDirectories(fresh + "/files", path, false, &made);
        if (error == 0)
        {
            error = safefiles::linkOrCopyFile(target + "/" + path, fresh + "/files/" + path,
                                              &cancel.flag());
        }
    }
    if (error == 0)
    {
        error = safefiles::writeFileAtomically(fresh + "/version.txt", version + "\n");
    }
    // the old store is set aside, not removed: freeing its files can take
    // seconds on a busy disk, and removeReplaced does it once the run is over
    const bool existed = safefiles::pathExists(m_folder);
    if (error == 0 && existed && platform::SystemCalls::rename(m_folder, replaced) != 0)
    {
        error = errno;
    }
    if (error == 0 && platform::SystemCalls::rename(fresh, m_folder) != 0)
    {
        error = errno;
        if (existed)
        {
            platform::SystemCalls::rename(replaced, m_folder);
        }
    }
    if (error != 0)
    {
        PELVANE_LOG_WARN("Base store not kept in " << m_folder << ": errno " << error);
        safefiles::removeTree(fresh);
        return;
    }
    PELVANE_LOG_INFO("Base store keeps " << version << " (" << paths.size() << " files) in "
                                         << m_folder);
}
} // namespace pelvane

// The library's copy of the last successfully downloaded version of one
// product and channel, kept so that a later update can take unchanged
// chunks from it even when Target was changed or removed. It lives in
//   $XDG_CACHE_HOME/pelvane/base/<first 16 hex of SHA-256("product\nchannel")>/
// ($XDG_CACHE_HOME unset or relative: ~/.cache), as files/<path> plus a
// version.txt. Files are hard links to Target where the file system allows,
// copies otherwise. PELVANE_BASE_STORE=0 turns it off (nothing read or
// kept); PELVANE_BASE_STORE_MAX_MIB caps what it keeps (default 4096): a
// version larger than the cap is not kept at all.
#pragma once

#include "pelvane/base/CancelToken.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelvane
{
class BaseStore
{
public:
    static constexpr std::uint64_t DEFAULT_MAX_MIB = 4096;

    BaseStore(const std::string& product, const std::string& channel);

    bool enabled() const { return m_enabled; }
    std::uint64_t capBytes() const { return m_capBytes; }
    const std::string& folder() const { return m_folder; }
    // Where the stored copy of `path` would be (it may not exist).
    std::string filePath(const std::string& path) const;

    // Replaces the store with Target's copies of `paths`; logs and keeps
    // nothing when they exceed the cap. Never fails the update.
    void keep(const std::string& target, const std::vector<std::string>& paths,
              const std::string& version, const CancelToken& cancel) const;
    // Removes the store that keep() replaced; a cancel leaves the rest to
    // the next keep().
    void removeReplaced(const CancelToken& cancel) const;

private:
    std::string replacedFolder() const;
    std::string m_folder;
    bool m_enabled = true;
    std::uint64_t m_capBytes = DEFAULT_MAX_MIB * 1024 * 1024;
};
} // namespace pelvane

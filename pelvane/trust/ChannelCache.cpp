#include "pelvane/trust/ChannelCache.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/base/XdgFolder.h"
#include "pelvane/trust/ChannelEnvelope.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <filesystem>

namespace pelvane
{
namespace
{
constexpr const char* META_SUFFIX = ".meta";

// Validators go back out as request headers: nothing that could end a header line.
bool safeHeaderValue(const std::string& value)
{
    if (value.size() > ChannelCache::MAX_VALIDATOR_BYTES)
    {
        return false;
    }
    for (const char c : value)
    {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        {
            return false;
        }
    }
    return true;
}
} // namespace

std::string ChannelCache::defaultFolder()
{
    const std::string folder = xdgFolder("XDG_STATE_HOME", ".local/state");
    return folder.empty() ? std::string() : folder + "/pelvane/channels";
}

ChannelCache::ChannelCache(const std::string& folder, const std::string& product,
                           const std::string& channel)
    : m_folder(folder),
      m_path(folder.empty() ? std::string()
                            : folder + "/" + sha256Hex(product + "\n" + channel).substr(0, 16) +
                                  ".qor")
{
}

std::optional<ChannelCache::Entry> ChannelCache::read() const
{
    if (m_path.empty() || !safefiles::pathExists(m_path + META_SUFFIX))
    {
        return std::nullopt;
    }
    Entry entry;
    std::string metaText;
    if (safefiles::readSmallFile(m_path, entry.bytes, ChannelEnvelope::MAX_BYTES) != 0 ||
        safefiles::readSmallFile(m_path + META_SUFFIX, metaText, MAX_META_BYTES) != 0)
    {
        PELVANE_LOG_WARN("Cached channel file unreadable, not used: " << m_path);
        return std::nullopt;
    }
    const nlohmann::json meta = nlohmann::json::parse(metaText, nullptr, false);
    const auto text = [&meta](const char* name)
    {
        const auto found = meta.is_object() ? meta.find(name) : meta.end();
        return found != meta.end() && found->is_string() ? found->get<std::string>()
                                                         : std::string();
    };
    entry.mirror = text("mirror");
    entry.etag = text("etag");
    entry.lastModified = text("lastModified");
    // a .qor and a record of two different writes must not pair up
    if (!meta.is_object() || !digestsEqual(text("sha256"), sha256Hex(entry.bytes)) ||
        !safeHeaderValue(entry.etag) || !safeHeaderValue(entry.lastModified) ||
        (entry.etag.empty() && entry.lastModified.empty()))
    {
        PELVANE_LOG_WARN("Cached channel file does not match its record, not used: " << m_path);
        return std::nullopt;
    }
    return entry;
}

int ChannelCache::write(const Entry& entry) const
{
    if (m_path.empty())
    {
        return ENOENT;
    }
    std::error_code error;
    if (std::filesystem::create_directories(m_folder, error))
    {
        std::filesystem::permissions(m_folder, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
    }
    if (error)
    {
        return error.value();
    }
    const nlohmann::json meta = {{"mirror", entry.mirror},
                                 {"etag", entry.etag},
                                 {"lastModified", entry.lastModified},
                                 {"sha256", sha256Hex(entry.bytes)}};
    // the bytes first: a record names the bytes it belongs to, so a crash
    // between the two writes leaves a pair that read() refuses
    if (const int failed = safefiles::writeFileAtomically(m_path, entry.bytes, 0600))
    {
        return failed;
    }
    return safefiles::writeFileAtomically(
        m_path + META_SUFFIX, meta.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
        0600);
}

void ChannelCache::drop() const
{
    if (!m_path.empty())
    {
        safefiles::removeTree(m_path + META_SUFFIX);
        safefiles::removeTree(m_path);
    }
}
} // namespace pelvane

#include "pelvane/trust/ChannelManifest.h"

#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/JsonFields.h"
#include "pelvane/trust/UtcTime.h"

#include <algorithm>

namespace pelvane
{
namespace
{
using nlohmann::json;
namespace field = jsonfields;

bool parseVersion(const json& item, ChannelVersion& version, std::string& error)
{
    std::string text;
    if (!item.is_object() || !field::text(item, "version", text, 64))
    {
        error = "version entry without a version";
        return false;
    }
    auto number = VersionNumber::parse(text);
    if (!number)
    {
        error = "bad version number";
        return false;
    }
    version.number = *number;
    if (item.contains("notes") &&
        !field::text(item, "notes", version.notes, ChannelManifest::MAX_NOTES_BYTES))
    {
        error = "bad notes of " + text;
        return false;
    }
    if (const auto complete = item.find("complete"); complete != item.end())
    {
        if (!complete->is_boolean())
        {
            error = "bad complete flag of " + text;
            return false;
        }
        version.complete = complete->get<bool>();
    }
    const auto list = item.find("list");
    if (!field::count(item, "fileCount", version.fileCount,
                      ChannelManifest::MAX_FILES_PER_VERSION) ||
        !field::count(item, "totalSize", version.totalSize,
                      ChannelManifest::MAX_FILES_PER_VERSION * ChannelManifest::MAX_FILE_SIZE) ||
        list == item.end() ||
        !field::objectRef(*list, version.list, ChannelManifest::MAX_LIST_BYTES))
    {
        error = "bad counts or file list reference of " + text;
        return false;
    }
    return true;
}
} // namespace

std::optional<ChannelManifest> ChannelManifest::parse(std::string_view payload, std::string& error)
{
    const json root =
        field::parseObject(payload, ChannelEnvelope::MAX_BYTES, MAX_DEPTH, "channel", error);
    if (root.is_discarded())
    {
        return std::nullopt;
    }
    if (field::formatOf(root) != FORMAT)
    {
        error = "unknown channel format";
        return std::nullopt;
    }
    ChannelManifest manifest;
    if (!field::count(root, "serial", manifest.m_serial, UINT64_MAX) || manifest.m_serial == 0)
    {
        error = "missing or bad serial";
        return std::nullopt;
    }
    std::string expires;
    std::optional<std::int64_t> expiresAt;
    if (!field::text(root, "expires", expires, 32) || !(expiresAt = parseUtc(expires)))
    {
        error = "missing or bad expiry (YYYY-MM-DDTHH:MM:SSZ)";
        return std::nullopt;
    }
    manifest.m_expires = *expiresAt;
    if (!field::text(root, "product", manifest.m_product, 256) ||
        !field::text(root, "channel", manifest.m_channel, 512))
    {
        error = "missing product or channel";
        return std::nullopt;
    }
    const auto versions = root.find("versions");
    if (versions == root.end())
    {
        error = "bad version list";
        return std::nullopt;
    }
    if (!parseVersions(*versions, MAX_VERSIONS, manifest.m_versions, error))
    {
        return std::nullopt;
    }
    if (!field::optionalObjectRef(root, "history", manifest.m_history, MAX_HISTORY_BYTES))
    {
        error = "bad history reference";
        return std::nullopt;
    }
    return manifest;
}

bool ChannelManifest::parseVersions(const json& array, std::size_t maxCount,
                                    std::vector<ChannelVersion>& versions, std::string& error)
{
    if (!array.is_array() || array.size() > maxCount)
    {
        error = "bad version list";
        return false;
    }
    ChannelManifest sorted;
    for (const json& item : array)
    {
        ChannelVersion version;
        if (!parseVersion(item, version, error))
        {
            return false;
        }
        if (sorted.find(version.number) != nullptr)
        {
            error = "duplicate version " + version.number.text();
            return false;
        }
        sorted.put(std::move(version));
    }
    versions = std::move(sorted.m_versions);
    return true;
}

json ChannelManifest::serializeVersions(const std::vector<ChannelVersion>& versions)
{
    json array = json::array();
    for (const ChannelVersion& version : versions)
    {
        array.push_back({{"version", version.number.text()},
                         {"notes", version.notes},
                         {"complete", version.complete},
                         {"fileCount", version.fileCount},
                         {"totalSize", version.totalSize},
                         {"list", {{"size", version.list.size}, {"sha256", version.list.sha256}}}});
    }
    return array;
}

std::string ChannelManifest::serialize() const
{
    json root = {{"format", FORMAT},
                 {"product", m_product},
                 {"channel", m_channel},
                 {"serial", m_serial},
                 {"expires", formatUtc(m_expires)},
                 {"versions", serializeVersions(m_versions)}};
    if (m_history)
    {
        root["history"] = {{"size", m_history->size}, {"sha256", m_history->sha256}};
    }
    // compact: every client fetches these bytes on every run that finds
    // something new; invalid UTF-8 in notes is replaced instead of throwing
    return root.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

const ChannelVersion* ChannelManifest::find(const VersionNumber& number) const
{
    for (const ChannelVersion& version : m_versions)
    {
        if (version.number == number)
        {
            return &version;
        }
    }
    return nullptr;
}

void ChannelManifest::put(ChannelVersion version)
{
    for (ChannelVersion& existing : m_versions)
    {
        if (existing.number == version.number)
        {
            existing = std::move(version);
            return;
        }
    }
    const auto position = std::upper_bound(m_versions.begin(), m_versions.end(), version,
                                           [](const ChannelVersion& a, const ChannelVersion& b)
                                           { return a.number < b.number; });
    m_versions.insert(position, std::move(version));
}

std::vector<ChannelVersion> ChannelManifest::keepNewest(std::size_t keep)
{
    std::vector<ChannelVersion> dropped;
    if (m_versions.size() > keep)
    {
        const auto end = m_versions.end() - static_cast<std::ptrdiff_t>(keep);
        dropped.assign(std::make_move_iterator(m_versions.begin()), std::make_move_iterator(end));
        m_versions.erase(m_versions.begin(), end);
    }
    return dropped;
}

void ChannelManifest::prependOlder(std::vector<ChannelVersion> older)
{
    older.insert(older.end(), std::make_move_iterator(m_versions.begin()),
                 std::make_move_iterator(m_versions.end()));
    m_versions = std::move(older);
}

void ChannelManifest::dropOldest(std::size_t count)
{
    m_versions.erase(m_versions.begin(),
                     m_versions.begin() +
                         static_cast<std::ptrdiff_t>(std::min(count, m_versions.size())));
}
} // namespace pelvane

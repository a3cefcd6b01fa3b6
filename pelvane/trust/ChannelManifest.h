// The payload of channel.qor, the channel's signed top level: which versions
// there are, with their notes and counts, and the size and SHA-256 of each
// version's file list; nothing per file, so that it stays small however
// large the releases are, and only the newest versions: the older entries
// live in history objects (ChannelHistory) that `history` names by size
// and SHA-256, so that it stays small however many versions there are.
// `serial` grows with every publication and
// `expires` bounds how long a copy may be replayed. Shared by the library
// (which reads it) and qor-publish (which writes it); the signed envelope
// around it is ChannelEnvelope's.
#pragma once

#include "pelvane/trust/Manifest.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane
{
struct ChannelVersion
{
    VersionNumber number;
    std::string notes;
    bool complete = false; // its files are the whole release tree
    std::uint64_t fileCount = 0;
    std::uint64_t totalSize = 0;
    ObjectRef list; // <version>/list.json.zst
};

class ChannelManifest
{
public:
    // Bounds that keep a hostile top level from exhausting memory or time.
    static constexpr std::size_t MAX_DEPTH = 16;
    static constexpr std::size_t MAX_VERSIONS = 1000;
    static constexpr std::size_t MAX_NOTES_BYTES = 64U * 1024U;
    static constexpr std::uint64_t MAX_FILES_PER_VERSION = 50000;
    static constexpr std::uint64_t MAX_FILE_SIZE = ManifestFile::MAX_SIZE;
    static constexpr std::uint64_t MAX_LIST_BYTES = 64U * 1024U * 1024U;
    static constexpr std::uint64_t MAX_HISTORY_BYTES = 1024U * 1024U; // one history object
    static constexpr int FORMAT = 3;

    // Empty with `error` set when the payload is not a valid top level.
    static std::optional<ChannelManifest> parse(std::string_view payload, std::string& error);
    std::string serialize() const;
    // The "versions" array of the top level and of the history objects:
    // at most `maxCount` entries, unique, returned ascending.
    static bool parseVersions(const nlohmann::json& array, std::size_t maxCount,
                              std::vector<ChannelVersion>& versions, std::string& error);
    static nlohmann::json serializeVersions(const std::vector<ChannelVersion>& versions);

    const std::string& product() const { return m_product; }
    const std::string& channel() const { return m_channel; }
    void setProduct(std::string product) { m_product = std::move(product); }
    void setChannel(std::string channel) { m_channel = std::move(channel); }
    std::uint64_t serial() const { return m_serial; }
    void setSerial(std::uint64_t serial) { m_serial = serial; }
    // Seconds since 1970-01-01 UTC.
    std::int64_t expires() const { return m_expires; }
    void setExpires(std::int64_t expires) { m_expires = expires; }

    // Ascending by version number.
    const std::vector<ChannelVersion>& versions() const { return m_versions; }
    const ChannelVersion* find(const VersionNumber& number) const;
    // Adds the version, or replaces one with the same number.
    void put(ChannelVersion version);
    // Drops all but the newest `keep` versions; returns the dropped ones.
    std::vector<ChannelVersion> keepNewest(std::size_t keep);
    // Adds versions that are all older than every one held (ascending).
    void prependOlder(std::vector<ChannelVersion> older);
    // Drops the oldest `count` versions (moved to a history object).
    void dropOldest(std::size_t count);

    // The newest history object: the entries older than those listed here.
    const std::optional<ObjectRef>& history() const { return m_history; }
    void setHistory(std::optional<ObjectRef> history) { m_history = std::move(history); }

private:
    std::string m_product;
    std::string m_channel;
    std::vector<ChannelVersion> m_versions;
    std::optional<ObjectRef> m_history;
    std::uint64_t m_serial = 0;
    std::int64_t m_expires = 0;
};
} // namespace pelvane

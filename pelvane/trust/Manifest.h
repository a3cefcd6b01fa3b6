// The list of versions an update repository offers for one product and
// channel, shared by the library (which reads it) and qor-publish (which
// writes it). The bytes of manifest.json are authenticated by
// manifest.json.sig (see ManifestSignature); `serial` grows with every
// publication and `expires` bounds how long a copy may be replayed.
#pragma once

#include "pelvane/trust/VersionNumber.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane
{
// The file's chunk index, published as <path>.cidx beside it (optional).
struct ChunkIndexRef
{
    std::uint64_t size = 0;
    std::string sha256; // 64 lowercase hex digits
};

struct ManifestFile
{
    std::string path; // relative, '/'-separated, checked by isSafeRelativePath
    std::uint64_t size = 0;
    std::string sha256; // 64 lowercase hex digits
    std::optional<ChunkIndexRef> chunks = std::nullopt;
};

struct ManifestVersion
{
    VersionNumber number;
    std::string notes;
    std::vector<ManifestFile> files;

    std::uint64_t totalSize() const;
};

class Manifest
{
public:
    // Bounds that keep a hostile manifest from exhausting memory or time.
    static constexpr std::size_t MAX_BYTES = 8U * 1024U * 1024U;
    static constexpr std::size_t MAX_DEPTH = 16;
    static constexpr std::size_t MAX_VERSIONS = 1000;
    static constexpr std::size_t MAX_FILES_PER_VERSION = 50000;
    static constexpr std::size_t MAX_NOTES_BYTES = 64U * 1024U;
    static constexpr std::uint64_t MAX_FILE_SIZE = 1ULL << 40;
    static constexpr int FORMAT = 2;
    static constexpr int OLD_SHARED_KEY_FORMAT = 1;
    static constexpr const char* FILE_NAME = "manifest.json";
    static constexpr const char* SIGNATURE_SUFFIX = ".sig";

    // Empty with `error` set when the text is not a valid manifest.
    static std::optional<Manifest> parse(std::string_view bytes, std::string& error);
    std::string serialize() const;

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
    const std::vector<ManifestVersion>& versions() const { return m_versions; }
    const ManifestVersion* find(const VersionNumber& number) const;
    // Adds the version, or replaces one with the same number.
    void put(ManifestVersion version);

    // "2027-01-31T12:00:00Z" and back; empty when not that form or no such date.
    static std::optional<std::int64_t> parseUtc(std::string_view text);
    static std::string formatUtc(std::int64_t secondsSinceEpoch);

private:
    std::string m_product;
    std::string m_channel;
    std::vector<ManifestVersion> m_versions;
    std::uint64_t m_serial = 0;
    std::int64_t m_expires = 0;
};
} // namespace pelvane

#include "pelvane/trust/RepositoryLayout.h"

namespace pelvane
{
namespace
{
constexpr const char* FILES = "files";
constexpr const char* COMPRESSED = "zst";
constexpr const char* FRAMED = "zsf";
constexpr const char* CHUNK_INDEXES = "cidx";
constexpr const char* BUNDLE = "bundle";
constexpr const char* INCOMING_SUFFIX = ".incoming";

std::string joined(const std::string& base, const std::vector<std::string>& parts,
                   std::string (*transform)(const std::string&))
{
    std::string result = base;
    for (const std::string& part : parts)
    {
        result += "/" + transform(part);
    }
    return result;
}

std::string asIs(const std::string& part)
{
    return part;
}
} // namespace

std::string RepositoryLayout::Place::url(const std::string& mirror) const
{
    return joined(mirror, m_parts, &RepositoryLayout::escape);
}

std::string RepositoryLayout::Place::path(const std::string& repository) const
{
    return joined(repository, m_parts, &asIs);
}

RepositoryLayout::RepositoryLayout(std::string product, std::string application,
                                   std::string language)
    : m_channel{std::move(product), std::move(application), std::move(language)}
{
}

RepositoryLayout::Place RepositoryLayout::channelFolder() const
{
    return Place(m_channel);
}

RepositoryLayout::Place RepositoryLayout::channel() const
{
    std::vector<std::string> parts = m_channel;
    parts.emplace_back(CHANNEL_FILE);
    return Place(std::move(parts));
}

RepositoryLayout::Place RepositoryLayout::formerManifest() const
{
    std::vector<std::string> parts = m_channel;
    parts.emplace_back(FORMER_MANIFEST_FILE);
    return Place(std::move(parts));
}

RepositoryLayout::Place RepositoryLayout::historyFolder() const
{
    std::vector<std::string> parts = m_channel;
    parts.emplace_back(HISTORY_FOLDER);
    return Place(std::move(parts));
}

RepositoryLayout::Place RepositoryLayout::history(const std::string& sha256) const
{
    std::vector<std::string> parts = m_channel;
    parts.emplace_back(HISTORY_FOLDER);
    parts.push_back(sha256 + HISTORY_SUFFIX);
    return Place(std::move(parts));
}

RepositoryLayout::Place RepositoryLayout::versionFolder(const std::string& version) const
{
    std::vector<std::string> parts = m_channel;
    parts.push_back(version);
    return Place(std::move(parts));
}

RepositoryLayout::Place RepositoryLayout::incomingFolder(const std::string& version) const
{
    std::vector<std::string> parts = m_channel;
    parts.push_back(version + INCOMING_SUFFIX);
    return Place(std::move(parts));
}

RepositoryLayout::Place RepositoryLayout::list(const std::string& version) const
{
    return below(version, LIST_FILE, {});
}

RepositoryLayout::Place RepositoryLayout::file(const std::string& version,
                                               const std::string& path) const
{
    return below(version, FILES, path);
}

RepositoryLayout::Place RepositoryLayout::compressed(const std::string& version,
                                                     const std::string& path) const
{
    return below(version, COMPRESSED, path);
}

RepositoryLayout::Place RepositoryLayout::framed(const std::string& version,
                                                 const std::string& path) const
{
    return below(version, FRAMED, path);
}

RepositoryLayout::Place RepositoryLayout::chunkIndex(const std::string& version,
                                                     const std::string& path) const
{
    return below(version, CHUNK_INDEXES, path);
}

RepositoryLayout::Place RepositoryLayout::bundle(const std::string& version) const
{
    return below(version, BUNDLE, {});
}

RepositoryLayout::Place RepositoryLayout::below(const std::string& version, const char* folder,
                                                const std::string& path) const
{
    std::vector<std::string> parts = m_channel;
    parts.push_back(version);
    for (std::string& part : inVersion(folder, path))
    {
        parts.push_back(std::move(part));
    }
    return Place(std::move(parts));
}

std::vector<std::string> RepositoryLayout::inVersion(const char* folder, const std::string& path)
{
    std::vector<std::string> parts{folder};
    // a release path keeps its folders: one part per '/'
    for (std::size_t start = 0; !path.empty() && start <= path.size();)
    {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
        {
            end = path.size();
        }
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string RepositoryLayout::listIn(const std::string& versionFolder)
{
    return Place(inVersion(LIST_FILE, {})).path(versionFolder);
}

std::string RepositoryLayout::fileIn(const std::string& versionFolder, const std::string& path)
{
    return Place(inVersion(FILES, path)).path(versionFolder);
}

std::string RepositoryLayout::compressedIn(const std::string& versionFolder,
                                           const std::string& path)
{
    return Place(inVersion(COMPRESSED, path)).path(versionFolder);
}

std::string RepositoryLayout::framedIn(const std::string& versionFolder, const std::string& path)
{
    return Place(inVersion(FRAMED, path)).path(versionFolder);
}

std::string RepositoryLayout::chunkIndexIn(const std::string& versionFolder,
                                           const std::string& path)
{
    return Place(inVersion(CHUNK_INDEXES, path)).path(versionFolder);
}

std::string RepositoryLayout::bundleIn(const std::string& versionFolder)
{
    return Place(inVersion(BUNDLE, {})).path(versionFolder);
}

std::string RepositoryLayout::escape(const std::string& part)
{
    // RFC 3986 unreserved characters stay, everything else is %XX
    static const char* const HEX = "0123456789ABCDEF";
    std::string result;
    result.reserve(part.size());
    for (const char c : part)
    {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~')
        {
            result += c;
        }
        else
        {
            result += '%';
            result += HEX[byte >> 4];
            result += HEX[byte & 0x0F];
        }
    }
    return result;
}
} // namespace pelvane

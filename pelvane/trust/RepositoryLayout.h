// Every name of a channel in an update repository, for the library (as URLs
// below a mirror) and for qor-publish (as paths below the repository folder):
//
//   <Product>/<Application>/<Language>/channel.qor              signed top level
//   <Product>/<Application>/<Language>/<version>/list.json.zst  the version's file list
//   <Product>/<Application>/<Language>/<version>/files/<path>   each file as published
//   <Product>/<Application>/<Language>/<version>/zst/<path>     its compressed object
//   <Product>/<Application>/<Language>/<version>/zsf/<path>     the same, one frame per chunk
//   <Product>/<Application>/<Language>/<version>/cidx/<path>    its chunk index
//   <Product>/<Application>/<Language>/<version>/bundle         delta sections, small objects
//   <Product>/<Application>/<Language>/history/<sha256>.json.zst  older entries of channel.qor
//
// Generated objects live in folders of their own, so no release file name is
// reserved. Nothing else in the library or the publisher joins these names.
#pragma once

#include <string>
#include <vector>

namespace pelvane
{
class RepositoryLayout
{
public:
    static constexpr const char* CHANNEL_FILE = "channel.qor";
    static constexpr const char* LIST_FILE = "list.json.zst";
    static constexpr const char* HISTORY_FOLDER = "history";
    static constexpr const char* HISTORY_SUFFIX = ".json.zst";
    // what a format 2 repository held instead of channel.qor
    static constexpr const char* FORMER_MANIFEST_FILE = "manifest.json";

    // One object of the channel: the parts of its path below the repository root.
    class Place
    {
    public:
        explicit Place(std::vector<std::string> parts) : m_parts(std::move(parts)) {}
        // Below a mirror's base URL (no trailing '/'), each part escaped.
        std::string url(const std::string& mirror) const;
        // Below a repository folder, as a file-system path.
        std::string path(const std::string& repository) const;

    private:
        std::vector<std::string> m_parts;
    };

    RepositoryLayout(std::string product, std::string application, std::string language);

    Place channelFolder() const;
    Place channel() const;
    Place formerManifest() const;
    Place historyFolder() const;
    // A history object, named by the SHA-256 of its bytes.
    Place history(const std::string& sha256) const;
    Place versionFolder(const std::string& version) const;
    // Where qor-publish builds a version folder before it is renamed into place.
    Place incomingFolder(const std::string& version) const;
    Place list(const std::string& version) const;
    Place file(const std::string& version, const std::string& path) const;
    Place compressed(const std::string& version, const std::string& path) const;
    Place framed(const std::string& version, const std::string& path) const;
    Place chunkIndex(const std::string& version, const std::string& path) const;
    Place bundle(const std::string& version) const;

    // The same objects below one version's own folder, for qor-publish, which
    // builds a version apart before it moves the folder into place.
    static std::string listIn(const std::string& versionFolder);
    static std::string fileIn(const std::string& versionFolder, const std::string& path);
    static std::string compressedIn(const std::string& versionFolder, const std::string& path);
    static std::string framedIn(const std::string& versionFolder, const std::string& path);
    static std::string chunkIndexIn(const std::string& versionFolder, const std::string& path);
    static std::string bundleIn(const std::string& versionFolder);

    // The escaped form of one URL path part ("a b" -> "a%20b").
    static std::string escape(const std::string& part);

private:
    Place below(const std::string& version, const char* folder, const std::string& path) const;
    // {folder, the parts of path}: an object's place within its version
    static std::vector<std::string> inVersion(const char* folder, const std::string& path);

    std::vector<std::string> m_channel;
};
} // namespace pelvane

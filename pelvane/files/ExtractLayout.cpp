#include "pelvane/files/ExtractLayout.h"

#include "pelvane/base/SafeFiles.h"

namespace pelvane
{
namespace
{
constexpr const char* VERIFIED = "files/";
constexpr const char* PARTIAL = "partial/";
} // namespace

std::string ExtractLayout::versionFolder(const std::string& extract, const std::string& version)
{
    return extract + "/" + version;
}

std::string ExtractLayout::stagingPath(const std::string& target)
{
    return target + ".pelvane-staging";
}

std::string ExtractLayout::previousPath(const std::string& target)
{
    return target + ".pelvane-previous";
}

ExtractLayout::ExtractLayout(std::string versionFolder) : m_folder(std::move(versionFolder)) {}

std::string ExtractLayout::verifiedPath(const std::string& path) const
{
    return m_folder + "/" + VERIFIED + path;
}

std::string ExtractLayout::partPath(const std::string& path) const
{
    return m_folder + "/" + PARTIAL + path + ".part";
}

std::string ExtractLayout::metaPath(const std::string& path) const
{
    return partPath(path) + ".meta";
}

std::string ExtractLayout::assemblyPath(const std::string& path) const
{
    return m_folder + "/" + PARTIAL + path + ".chunked";
}

std::string ExtractLayout::workPath(const std::string& path) const
{
    return m_folder + "/" + PARTIAL + path + ".work";
}

std::string ExtractLayout::compressedFolder() const
{
    return m_folder + "/zst";
}

std::string ExtractLayout::bundlePath() const
{
    return m_folder + "/bundle";
}

int ExtractLayout::makeFoldersFor(const std::string& path, safefiles::FolderMemo* made) const
{
    const int error = safefiles::makeParentDirectories(m_folder, VERIFIED + path, false, made);
    return error != 0 ? error
                      : safefiles::makeParentDirectories(m_folder, PARTIAL + path, false, made);
}
} // namespace pelvane

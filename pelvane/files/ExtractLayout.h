// Every name of the layout the library works in, in one place:
//
//   Extract/<version>/files/<path>               verified against the manifest
//   Extract/<version>/partial/<path>.part        a whole download under way
//   Extract/<version>/partial/<path>.part.meta   its server's validator (ETag, Last-Modified)
//   Extract/<version>/partial/<path>.chunked     a file being assembled from chunks
//   Extract/<version>/partial/<path>.work        a file being written from a local copy,
//                                                a delta or a compressed object
//   Extract/<version>/zst/                       compressed objects, laid out like the
//                                                version folder (files/, partial/)
//   Extract/<version>/bundle                     the pieces of the version's bundle fetched
//   <Target>.pelvane-staging                     the next Target while it is built
//   <Target>.pelvane-previous                    the old Target, set aside for the swap
//
// An object names the places of one version folder; the two Target siblings
// need no version.
#pragma once

#include "pelvane/base/SafeFiles.h"

#include <string>

namespace pelvane
{
class ExtractLayout
{
public:
    static std::string versionFolder(const std::string& extract, const std::string& version);
    static std::string stagingPath(const std::string& target);
    static std::string previousPath(const std::string& target);

    explicit ExtractLayout(std::string versionFolder);

    const std::string& folder() const { return m_folder; }
    std::string verifiedPath(const std::string& path) const;
    std::string partPath(const std::string& path) const;
    std::string metaPath(const std::string& path) const;
    std::string assemblyPath(const std::string& path) const;
    std::string workPath(const std::string& path) const;
    // The folder whose own layout holds the compressed objects while they come.
    std::string compressedFolder() const;
    std::string bundlePath() const;

    // Creates the folders that hold `path` below files/ and partial/; 0 or an
    // errno. `made`: the folders of Extract that this run has made already.
    int makeFoldersFor(const std::string& path, safefiles::FolderMemo* made = nullptr) const;

private:
    std::string m_folder;
};
} // namespace pelvane

// Brings one file of one version into Extract, verified: reuses a complete
// earlier copy, resumes a partial one (range guarded by the validator the
// server gave last time, kept in a .part.meta file), retries transient
// failures, and downloads once more from the start when a resumed file does
// not hash right.
// Where each of those files lies is ExtractLayout's.
#pragma once

#include "pelvane/net/HttpFetcher.h"
#include "pelvane/trust/Manifest.h"

#include <functional>
#include <string>

namespace pelvane
{
class Sha256Pipeline;

class FileDownloader
{
public:
    // Told how many bytes of the current file are on disk so far.
    using Progress = std::function<void(std::uint64_t bytesOfFile)>;

    FileDownloader(HttpFetcher& fetcher, const CancelToken& cancel);

    Outcome download(const std::string& fileUrl, const std::string& versionFolder,
                     const ManifestFile& file, const Progress& progress);

    // ExtractLayout's verified path, for callers that hold only the folder.
    static std::string verifiedPath(const std::string& versionFolder, const std::string& path);

private:
    struct Paths
    {
        std::string verified;
        std::string part;
        std::string meta;
    };
    Outcome reuseVerified(const std::string& finalPath, const ManifestFile& file, bool& reused);
    // The bytes of the .part file worth resuming (hashed into `digest`) and
    // the validator that makes the resume safe; whatever is not is removed.
    Outcome resumable(const Paths& paths, const ManifestFile& file, Sha256Pipeline& digest,
                      std::uint64_t& onDisk, std::string& ifRange);
    FetchResult fetchOnce(const std::string& fileUrl, const Paths& paths, const ManifestFile& file,
                          Sha256Pipeline& digest, std::uint64_t& onDisk, const std::string& ifRange,
                          const Progress& progress);
    Outcome finishFile(const Paths& paths);

    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
};
} // namespace pelvane

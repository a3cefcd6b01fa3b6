// Brings one file of one version into Extract, verified: reuses a complete
// earlier copy, resumes a partial one (range guarded by the validator the
// server gave last time, kept in a .part.meta file), retries transient
// failures, and downloads once more from the start when a resumed file does
// not hash right.
// Where each of those files lies is ExtractLayout's.
#pragma once

#include "pelvane/net/HttpFetcher.h"
#include "pelvane/net/RetryPolicy.h"
#include "pelvane/trust/Manifest.h"

#include <functional>
#include <string>

namespace pelvane
{
class FileDownloader
{
public:
    // Told how many bytes of the current file are on disk so far.
    using Progress = std::function<void(std::uint64_t bytesOfFile)>;

    FileDownloader(HttpFetcher& fetcher, const CancelToken& cancel);

    FetchResult download(const std::string& fileUrl, const std::string& versionFolder,
                         const ManifestFile& file, const Progress& progress);

    // ExtractLayout's verified path, for callers that hold only the folder.
    static std::string verifiedPath(const std::string& versionFolder, const std::string& path);

private:
    FetchResult reuseVerified(const std::string& finalPath, const ManifestFile& file, bool& reused);
    FetchResult finishFile(const std::string& partPath, const std::string& metaPath,
                           const std::string& finalPath);

    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
    RetryPolicy m_retry;
};
} // namespace pelvane

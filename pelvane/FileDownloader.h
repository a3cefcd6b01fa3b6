// Brings one file of one version into Extract, verified: reuses a complete
// earlier copy, resumes a partial one (range guarded by the validator the
// server gave last time, kept in a .part.meta file), retries transient
// failures, and downloads once more from the start when a resumed file does
// not hash right.
//
// Layout under Extract: <version>/files/<path> for verified files,
// <version>/partial/<path>.part and .part.meta while a file is incomplete.
#pragma once

#include "pelvane/HttpFetcher.h"
#include "pelvane/Manifest.h"
#include "pelvane/RetryPolicy.h"

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

    static std::string verifiedPath(const std::string& versionFolder, const std::string& path);
    static std::string partialPath(const std::string& versionFolder, const std::string& path);

private:
    FetchResult reuseVerified(const std::string& finalPath, const ManifestFile& file, bool& reused);
    FetchResult finishFile(const std::string& partPath, const std::string& finalPath);

    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
    RetryPolicy m_retry;
};
} // namespace pelvane

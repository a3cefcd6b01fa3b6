#include "pelvane/files/FileDownloader.h"

#include "pelvane/files/ExtractLayout.h"

#include "platform/CrashPoint.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/base/Sha256Pipeline.h"
#include "pelvane/net/Retries.h"

#include "platform/SystemCalls.h"

#include <cerrno>
#include <sstream>

namespace pelvane
{
namespace
{
using platform::SystemCalls;

// The validator is what makes a resume safe: without one a partial file is
// thrown away.
struct Validator
{
    std::string etag;
    std::string lastModified;
    std::string url;
    std::string ifRange() const { return !etag.empty() ? etag : lastModified; }
};

bool readValidator(const std::string& metaPath, Validator& validator)
{
    std::string content;
    if (safefiles::readSmallFile(metaPath, content, 4096) != 0)
    {
        return false;
    }
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line))
    {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos)
        {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "etag")
        {
            validator.etag = value;
        }
        else if (key == "last-modified")
        {
            validator.lastModified = value;
        }
        else if (key == "url")
        {
            validator.url = value;
        }
    }
    return !validator.ifRange().empty();
}

bool headerValueSafe(const std::string& value)
{
    for (const char c : value)
    {
        if (c == '\r' || c == '\n' || c == '\0')
        {
            return false;
        }
    }
    return value.size() < 512;
}

// Writes the body into the .part file and hashes it on the way.
class PartFileSink : public FetchSink
{
public:
    PartFileSink(std::string partPath, std::string metaPath, std::string url,
                 std::uint64_t expectedSize, Sha256Pipeline& digest, std::uint64_t& bytesOnDisk,
                 const FileDownloader::Progress& progress)
        : m_partPath(std::move(partPath)), m_metaPath(std::move(metaPath)), m_url(std::move(url)),
          m_expectedSize(expectedSize), m_digest(digest), m_bytesOnDisk(bytesOnDisk),
          m_progress(progress)
    {
    }
    ~PartFileSink() override
    {
        if (m_fd >= 0)
        {
            SystemCalls::close(m_fd);
        }
    }
    PartFileSink(const PartFileSink&) = delete;
    PartFileSink& operator=(const PartFileSink&) = delete;

    int start(std::uint64_t offset, const std::string& etag,
              const std::string& lastModified) override
    {
        if (m_fd < 0)
        {
            m_fd = SystemCalls::open(m_partPath, SystemCalls::OpenMode::WriteCreateNoFollow, 0644);
            if (m_fd < 0)
            {
                return errno;
            }
        }
        if (offset == 0)
        {
            // a full answer: whatever was there is not part of it
            m_digest.reset();
            m_bytesOnDisk = 0;
            SystemCalls::Info info;
            if (SystemCalls::status(m_fd, info) != 0)
            {
                return errno;
            }
            // Only a file that holds bytes is cut: ext4 takes a truncation to
            // zero as a rewrite in place and pushes the whole file to disk when
            // it is closed (about a second for 1 GiB); a new file needs none.
            if (info.size > 0 && SystemCalls::truncate(m_fd, 0) != 0)
            {
                return errno;
            }
        }
        if (SystemCalls::seek(m_fd, offset) != 0)
        {
            return errno;
        }
        std::string meta;
        if (headerValueSafe(etag) && headerValueSafe(lastModified) &&
            (!etag.empty() || !lastModified.empty()))
        {
            meta = "etag=" + etag + "\nlast-modified=" + lastModified + "\nurl=" + m_url + "\n";
            // only a hint for resuming, which the hash judges anyway: no
            // flush of its own (one flush before Target is swapped covers
            // the run)
            return safefiles::writeFileAtomically(m_metaPath, meta, 0644, false);
        }
        return safefiles::removeTree(m_metaPath);
    }

    int write(const char* data, std::size_t size) override
    {
        if (m_bytesOnDisk + size > m_expectedSize)
        {
            return TOO_LONG;
        }
        if (SystemCalls::writeAll(m_fd, data, size) != 0)
        {
            return errno;
        }
        m_digest.update(data, size);
        m_bytesOnDisk += size;
        m_progress(m_bytesOnDisk);
        return 0;
    }

    int close()
    {
        if (m_fd < 0)
        {
            return 0;
        }
        const int fd = m_fd;
        m_fd = -1;
        return SystemCalls::close(fd) == 0 ? 0 : errno;
    }

private:
    std::string m_partPath;
    std::string m_metaPath;
    std::string m_url;
    std::uint64_t m_expectedSize;
    Sha256Pipeline& m_digest;
    std::uint64_t& m_bytesOnDisk;
    const FileDownloader::Progress& m_progress;
    int m_fd = -1;
};
} // namespace

FileDownloader::FileDownloader(HttpFetcher& fetcher, const CancelToken& cancel)
    : m_fetcher(fetcher), m_cancel(cancel)
{
}

std::string FileDownloader::verifiedPath(const std::string& versionFolder, const std::string& path)
{
    return ExtractLayout(versionFolder).verifiedPath(path);
}

Outcome FileDownloader::reuseVerified(const std::string& finalPath, const ManifestFile& file,
                                      bool& reused)
{
    reused = false;
    std::uint64_t size = 0;
    if (safefiles::regularFileSize(finalPath, size) != 0)
    {
        return Outcome::disk(safefiles::removeTree(finalPath));
    }
    if (size == file.size)
    {
        Sha256 digest;
        int errorNumber = 0;
        if (hashFilePrefix(finalPath, size, digest, &m_cancel.flag(), errorNumber) &&
            digestsEqual(file.sha256, digest.finishHex()))
        {
            reused = true;
            return {};
        }
        if (m_cancel.canceled())
        {
            return Outcome::canceled();
        }
    }
    PELVANE_LOG_INFO("Discarding a stale copy of " << file.path);
    return Outcome::disk(safefiles::removeTree(finalPath));
}

Outcome FileDownloader::resumable(const Paths& paths, const ManifestFile& file,
                                  Sha256Pipeline& digest, std::uint64_t& onDisk,
                                  std::string& ifRange)
{
    onDisk = 0;
    Validator validator;
    const bool partExists = safefiles::regularFileSize(paths.part, onDisk) == 0;
    if (!partExists || !readValidator(paths.meta, validator) || onDisk > file.size)
    {
        onDisk = 0;
        safefiles::removeTree(paths.part);
        safefiles::removeTree(paths.meta);
        return {};
    }
    int error = 0;
    if (onDisk > 0 && !hashFilePrefix(paths.part, onDisk, digest, &m_cancel.flag(), error))
    {
        if (m_cancel.canceled())
        {
            return Outcome::canceled();
        }
        onDisk = 0;
        digest.reset();
        safefiles::removeTree(paths.part);
    }
    ifRange = validator.ifRange();
    return {};
}

FetchResult FileDownloader::fetchOnce(const std::string& fileUrl, const Paths& paths,
                                      const ManifestFile& file, Sha256Pipeline& digest,
                                      std::uint64_t& onDisk, const std::string& ifRange,
                                      const Progress& progress)
{
    if (file.size == 0)
    {
        // nothing to fetch; an empty file is its own verified copy, flushed
        // with the rest of the run before the swap
        return Outcome::disk(safefiles::writeFileAtomically(paths.part, {}, 0644, false));
    }
    if (onDisk >= file.size)
    {
        return {};
    }
    const std::uint64_t resumedFrom = onDisk;
    PartFileSink sink(paths.part, paths.meta, fileUrl, file.size, digest, onDisk, progress);
    // Across mirrors too: replicas that keep modification times (rsync -a)
    // share nginx's validator and resume; others answer 200 and start over.
    FetchResult result =
        m_fetcher.fetch(fileUrl, sink, resumedFrom, resumedFrom > 0 ? ifRange : std::string());
    if (const int closeError = sink.close(); closeError != 0 && result.ok())
    {
        result = Outcome::disk(closeError);
    }
    return result;
}

Outcome FileDownloader::finishFile(const Paths& paths)
{
    if (SystemCalls::rename(paths.part, paths.verified) != 0)
    {
        return Outcome::disk(errno);
    }
    platform::crashPoint("file-verified");
    safefiles::removeTree(paths.meta);
    return {};
}

Outcome FileDownloader::download(const std::string& fileUrl, const std::string& versionFolder,
                                 const ManifestFile& file, const Progress& progress)
{
    const ExtractLayout layout(versionFolder);
    const Paths paths{layout.verifiedPath(file.path), layout.partPath(file.path),
                      layout.metaPath(file.path)};
    bool reused = false;
    if (const Outcome kept = reuseVerified(paths.verified, file, reused); !kept.ok() || reused)
    {
        if (reused)
        {
            progress(file.size);
        }
        return kept;
    }
    if (const int error = layout.makeFoldersFor(file.path))
    {
        return Outcome::disk(error);
    }
    Retries retries(m_cancel, Retries::Names{"Try", file.path, file.path});
    bool restartedAfterMismatch = false;
    for (;;)
    {
        // What can be kept from an earlier try or run?
        Sha256Pipeline digest;
        std::uint64_t onDisk = 0;
        std::string ifRange;
        if (const Outcome kept = resumable(paths, file, digest, onDisk, ifRange); !kept.ok())
        {
            return kept;
        }
        const std::uint64_t resumedFrom = onDisk;
        progress(onDisk);
        if (resumedFrom > 0)
        {
            PELVANE_LOG_INFO("Resuming " << file.path << " at byte " << resumedFrom << " from "
                                         << fileUrl);
        }
        FetchResult result = fetchOnce(fileUrl, paths, file, digest, onDisk, ifRange, progress);
        if (result.ok())
        {
            if (onDisk == file.size && digestsEqual(file.sha256, digest.finishHex()))
            {
                return finishFile(paths);
            }
            safefiles::removeTree(paths.part);
            safefiles::removeTree(paths.meta);
            progress(0);
            if (resumedFrom > 0 && !restartedAfterMismatch)
            {
                PELVANE_LOG_WARN("Resumed file does not verify, fetching it whole: " << file.path);
                restartedAfterMismatch = true;
                continue;
            }
            PELVANE_LOG_ERROR("Hash or size mismatch: " << file.path);
            result.apiError = API_HASH;
            return result;
        }
        if (result.restartFromZero)
        {
            safefiles::removeTree(paths.part);
            safefiles::removeTree(paths.meta);
        }
        if (!retries.tryAgain(result))
        {
            return result;
        }
    }
}
} // namespace pelvane

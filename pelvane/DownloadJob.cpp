#include "pelvane/DownloadJob.h"

#include "platform/CrashPoint.h"

#include "pelvane/FileDownloader.h"
#include "pelvane/PelvaneErrors.h"
#include "pelvane/PelvaneLog.h"
#include "pelvane/SafeFiles.h"
#include "pelvane/StatsReport.h"
#include "pelvane/TargetAssembler.h"

#include <chrono>
#include <ctime>
#include <filesystem>

namespace pelvane
{
DownloadJob::DownloadJob(UpdateConfig config, std::vector<ManifestVersion> updates,
                         ProgressState& progress, OutcomeState& outcome, CancelToken& cancel)
    : m_config(std::move(config)), m_updates(std::move(updates)), m_progress(progress),
      m_outcome(outcome), m_cancel(cancel)
{
}

FetchResult DownloadJob::downloadUpdates()
{
    safefiles::makeFolderPath(m_config.extract);
    HttpFetcher fetcher(m_config.transfer, m_cancel);
    FileDownloader downloader(fetcher, m_cancel);
    for (std::size_t index = 0; index < m_updates.size(); ++index)
    {
        const ManifestVersion& update = m_updates[index];
        m_progress.setUpdate(static_cast<std::int32_t>(index + 1),
                             ProgressState::blocksFor(update.totalSize()));
        PELVANE_LOG_INFO("Downloading update " << index + 1 << "/" << m_updates.size() << ": "
                                               << update.number.text());
        if (const int error = safefiles::makeDirectories(m_config.extract, update.number.text()))
        {
            FetchResult failed;
            failed.kind = FetchResult::Kind::Permanent;
            failed.apiError = API_DISK;
            failed.primary = error;
            return failed;
        }
        std::uint64_t bytesOfEarlierFiles = 0;
        for (const ManifestFile& file : update.files)
        {
            const auto progress = [&](std::uint64_t bytesOfFile)
            { m_progress.setBytesDone(bytesOfEarlierFiles + bytesOfFile); };
            FetchResult result = downloadFile(downloader, update, file, progress);
            if (!result.ok())
            {
                PELVANE_LOG_ERROR("Download of " << file.path
                                                 << " failed: " << apiErrorName(result.apiError));
                return result;
            }
            bytesOfEarlierFiles += file.size;
            m_progress.setBytesDone(bytesOfEarlierFiles);
        }
        m_progress.setBlock(ProgressState::blocksFor(update.totalSize()));
    }
    return {};
}

namespace
{
// What another mirror may cure: it is down, overloaded, lacks the file or
// serves other bytes. A full disk, a cancel or the proxy are the same everywhere.
bool worthAnotherMirror(const FetchResult& result)
{
    return result.kind == FetchResult::Kind::Transient ||
           (result.kind == FetchResult::Kind::Permanent &&
            (result.apiError == API_NETWORK || result.apiError == API_HTTP ||
             result.apiError == API_HASH || result.apiError == API_SERVER_AUTH));
}
} // namespace

FetchResult DownloadJob::downloadFile(FileDownloader& downloader, const ManifestVersion& update,
                                      const ManifestFile& file,
                                      const FileDownloader::Progress& progress)
{
    const std::string folder = m_config.versionFolder(update.number);
    FetchResult result;
    for (std::size_t index = 0; index < m_config.mirrors.size(); ++index)
    {
        const std::string& mirror = m_config.mirrors[index];
        // a partial file left by the previous mirror is resumed from this one
        result = downloader.download(m_config.fileUrl(mirror, update.number, file.path), folder,
                                     file, progress);
        if (result.ok())
        {
            if (m_config.mirrors.size() > 1)
            {
                PELVANE_LOG_INFO("Served by " << mirror << ": " << file.path);
            }
            return result;
        }
        if (!worthAnotherMirror(result) || index + 1 == m_config.mirrors.size())
        {
            return result;
        }
        PELVANE_LOG_WARN("Mirror " << mirror << " failed for " << file.path << " ("
                                   << apiErrorName(result.apiError) << ", curl " << result.primary
                                   << ", HTTP " << result.secondary << "), trying "
                                   << m_config.mirrors[index + 1]);
    }
    return result;
}

void DownloadJob::writeFlagFile()
{
    if (m_config.flagFile.empty())
    {
        return;
    }
    const std::filesystem::path flag(m_config.flagFile);
    if (flag.has_parent_path())
    {
        safefiles::makeFolderPath(flag.parent_path().string());
    }
    const std::string text =
        "product=" + m_config.productCode + "\nversion=" + m_updates.back().number.text() + "\n";
    if (const int error = safefiles::writeFileAtomically(m_config.flagFile, text))
    {
        // Target is complete; the next run only misses the hint to clean Extract
        PELVANE_LOG_WARN("Cannot write FlagFile " << m_config.flagFile << ": errno " << error);
    }
}

FetchResult DownloadJob::finish()
{
    std::vector<const ManifestVersion*> versions;
    std::vector<std::string> folders;
    for (const ManifestVersion& update : m_updates)
    {
        versions.push_back(&update);
        folders.push_back(m_config.versionFolder(update.number));
    }
    const std::filesystem::path target(m_config.target);
    if (target.has_parent_path())
    {
        safefiles::makeFolderPath(target.parent_path().string());
    }
    TargetAssembler assembler(m_config.target, m_cancel);
    const TargetAssembler::Outcome assembled = assembler.assemble(versions, folders);
    FetchResult result;
    if (!assembled.ok())
    {
        result.kind = FetchResult::Kind::Permanent;
        result.apiError = assembled.apiError;
        result.primary = assembled.errorNumber;
        return result;
    }
    if (!m_config.keepArchives)
    {
        // the update now lives in Target; Extract keeps no second copy
        for (const std::string& folder : folders)
        {
            safefiles::removeTree(folder);
            platform::crashPoint("extract-removed");
        }
    }
    platform::crashPoint("flag-write");
    writeFlagFile();
    return result;
}

void DownloadJob::run() noexcept
{
    const auto started = std::chrono::steady_clock::now();
    FetchResult result;
    try
    {
        result = downloadUpdates();
        if (result.ok() && m_cancel.canceled())
        {
            result.kind = FetchResult::Kind::Canceled;
            result.apiError = API_CANCELED;
        }
        if (result.ok())
        {
            result = finish();
        }
    }
    catch (...)
    {
        result.kind = FetchResult::Kind::Permanent;
        result.apiError = API_INTERNAL;
    }
    if (result.ok())
    {
        PELVANE_LOG_INFO("Update complete in Target: " << m_updates.back().number.text());
        m_outcome.success();
    }
    else
    {
        if (result.apiError == API_CANCELED)
        {
            PELVANE_LOG_INFO("Download canceled");
        }
        m_outcome.failure(result.apiError, result.primary, result.secondary);
    }
    m_progress.setStatus(STATUS_IDLE);

    try
    {
        StatsReport report;
        report.product = m_config.productCode;
        report.version = m_updates.back().number.text();
        report.result = result.ok() ? RESULT_SUCCESS : RESULT_FAILURE;
        report.apiError = result.apiError;
        report.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
        // not tied to the run's cancel: closeUpdInter right after a success must
        // not lose the note; the note's own limit bounds the wait
        const CancelToken neverCanceled;
        report.send(m_config.statsUrl, m_config.transfer, neverCanceled);
    }
    catch (...)
    {
    }
}
} // namespace pelvane

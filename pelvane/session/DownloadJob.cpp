#include "pelvane/session/DownloadJob.h"

#include "pelvane/files/BaseStore.h"
#include "pelvane/session/ChunkedUpdate.h"
#include "pelvane/session/FileListLoader.h"
#include "pelvane/session/FileScheduler.h"
#include "platform/CrashPoint.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/files/FileDownloader.h"
#include "pelvane/files/TargetAssembler.h"
#include "pelvane/net/MirrorWalk.h"
#include "pelvane/net/TransferPool.h"
#include "pelvane/session/StatsReport.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

namespace pelvane
{
DownloadJob::DownloadJob(UpdateConfig config, std::vector<ChannelVersion> run,
                         ProgressState& progress, OutcomeState& outcome, CancelToken& cancel,
                         std::shared_ptr<TransferPool> pool)
    : m_config(std::move(config)), m_run(std::move(run)), m_progress(progress),
      m_outcome(outcome), m_cancel(cancel), m_pool(std::move(pool))
{
}

// The fetchers of one file in flight: the run's own for one file at a
// time, fetchers of its own on the pool for parallel files.
struct DownloadJob::Lane
{
    Lane(HttpFetcher& shared, const CancelToken& cancel) : fetcher(shared), downloader(shared, cancel)
    {
    }
    Lane(const TransferSettings& settings, const CancelToken& stop, TransferPool& pool,
         ChunkedUpdate& plan)
        : own(std::in_place, settings, stop, &pool), fetcher(*own), downloader(*own, stop)
    {
        ranges.emplace(*own, stop, &plan.rangeSupport());
    }
    std::optional<HttpFetcher> own;
    HttpFetcher& fetcher;
    FileDownloader downloader;
    std::optional<RangeFetcher> ranges; // none: the plan's
};

Outcome DownloadJob::downloadUpdates()
{
    safefiles::makeFolderPath(m_config.extract);
    const int connections = m_config.transfer.limits.connections;
    std::shared_ptr<TransferPool> pool = m_pool;
    if (!pool && connections > 1)
    {
        pool = std::make_shared<TransferPool>(connections);
    }
    HttpFetcher fetcher(m_config.transfer, m_cancel, pool.get());
    if (const Outcome listed = FileListLoader(m_config, fetcher, m_cancel).load(m_run, m_updates);
        !listed.ok())
    {
        return listed;
    }
    ChunkedUpdate plan(m_config, m_updates, fetcher, m_cancel);
    FileScheduler scheduler(m_cancel, m_progress);
    plan.onPieceHeld([&scheduler] { scheduler.wake(); });
    // lane 0 goes on with the run's own fetcher (a lone file asks as it
    // always did, credentials learned included); the others are the pool's
    std::vector<std::unique_ptr<Lane>> lanes;
    lanes.push_back(std::make_unique<Lane>(fetcher, m_cancel));
    for (int lane = 0; pool && lane < pool->maxTransfers(); ++lane)
    {
        lanes.push_back(std::make_unique<Lane>(m_config.transfer, scheduler.stop(), *pool, plan));
    }
    ChunkedUpdate::Parallel indexes;
    if (pool)
    {
        indexes = [&](std::size_t count,
                      const std::function<Outcome(HttpFetcher&, std::size_t)>& fetch)
        {
            return scheduler.run(std::vector<FileScheduler::File>(count), lanes.size() - 1,
                                 [&](std::size_t lane, std::size_t i, const FileScheduler::Report&)
                                 { return fetch(lanes[lane]->fetcher, i); },
                                 false);
        };
    }
    if (const Outcome prepared = plan.prepare(indexes); !prepared.ok())
    {
        return prepared;
    }
    for (std::size_t index = 0; index < m_updates.size(); ++index)
    {
        const ManifestVersion& update = m_updates[index];
        // the blocks of an update count the bytes it takes from the network
        m_progress.setUpdate(static_cast<std::int32_t>(index + 1),
                             ProgressState::blocksFor(plan.plannedBytes(index)));
        PELVANE_LOG_INFO("Downloading update " << index + 1 << "/" << m_updates.size() << ": "
                                               << update.number.text());
        if (const int error = safefiles::makeDirectories(m_config.extract, update.number.text()))
        {
            return Outcome::disk(error);
        }
        std::vector<std::size_t> fileOf; // the scheduler's files: those fetched
        std::vector<std::size_t> taskOf(update.files.size(), 0);
        std::vector<FileScheduler::File> files;
        for (std::size_t f = 0; f < update.files.size(); ++f)
        {
            if (plan.superseded(index, f))
            {
                continue;
            }
            taskOf[f] = fileOf.size();
            fileOf.push_back(f);
            FileScheduler::File& task = files.emplace_back();
            task.plannedBytes = plan.plannedBytes(index, f);
            for (const std::size_t before : plan.readsFrom(index, f))
            {
                task.after.push_back(taskOf[before]);
            }
            if (const std::optional<std::size_t> carrier = plan.piecesFrom(index, f))
            {
                // decoded as soon as its piece of the bundle has come
                task.earlyAfter = taskOf[*carrier];
                task.early = [&plan, index, f] { return plan.pieceReady(index, f); };
            }
        }
        const auto work = [&](std::size_t lane, std::size_t task, const FileScheduler::Report& report)
        {
            const ManifestFile& file = update.files[fileOf[task]];
            Lane& on = *lanes[lane];
            const auto whole = [&](const FileDownloader::Progress& wholeProgress)
            { return downloadFile(on.downloader, update, file, wholeProgress); };
            const Outcome result = plan.download(index, fileOf[task], whole, report.progress,
                                                 report.extra, on.ranges ? &*on.ranges : nullptr);
            // a file stopped because another failed has not failed itself
            if (!result.ok() && (!result.is(API_CANCELED) || m_cancel.canceled()))
            {
                PELVANE_LOG_ERROR("Download of " << file.path
                                                 << " failed: " << apiErrorName(result.apiError));
            }
            return result;
        };
        if (const Outcome fetched = scheduler.run(files, lanes.size() - 1, work); !fetched.ok())
        {
            return fetched;
        }
    }
    m_placed = plan.placedUpdates();
    return {};
}

Outcome DownloadJob::downloadFile(FileDownloader& downloader, const ManifestVersion& update,
                                  const ManifestFile& file,
                                  const FileDownloader::Progress& progress)
{
    const std::string folder = m_config.versionFolder(update.number);
    const std::vector<std::string>& mirrors = m_config.mirrors;
    MirrorWalk walk(mirrors.size(), MirrorWalk::MoveOn::CurableFailure);
    return walk.run(
        [&](std::size_t mirror)
        {
            // a partial file left by the previous mirror is resumed from this one
            const Outcome result = downloader.download(
                m_config.repository().file(update.number.text(), file.path).url(mirrors[mirror]),
                folder, file, progress);
            if (result.ok() && mirrors.size() > 1)
            {
                PELVANE_LOG_INFO("Served by " << mirrors[mirror] << ": " << file.path);
            }
            return result;
        },
        [&](std::size_t mirror, const Outcome& failure)
        {
            PELVANE_LOG_WARN("Mirror " << mirrors[mirror] << " failed for " << file.path << " ("
                                       << apiErrorName(failure.apiError) << ", curl "
                                       << failure.primary << ", HTTP " << failure.secondary
                                       << "), trying " << mirrors[mirror + 1]);
        });
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
        "product=" + m_config.productCode + "\nversion=" + m_run.back().number.text() + "\n";
    if (const int error = safefiles::writeFileAtomically(m_config.flagFile, text))
    {
        // Target is complete; the next run only misses the hint to clean Extract
        PELVANE_LOG_WARN("Cannot write FlagFile " << m_config.flagFile << ": errno " << error);
    }
}

Outcome DownloadJob::finish()
{
    std::vector<const ManifestVersion*> versions;
    std::vector<std::string> folders;
    for (const ManifestVersion& update : m_placed)
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
    if (const Outcome assembled = assembler.assemble(versions, folders); !assembled.ok())
    {
        return assembled;
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
    std::vector<std::string> paths;
    for (const ManifestVersion& update : m_placed)
    {
        for (const ManifestFile& file : update.files)
        {
            paths.push_back(file.path);
        }
    }
    BaseStore(m_config.productCode, m_config.channelName())
        .keep(m_config.target, paths, m_run.back().number.text(), m_cancel);
    return {};
}

void DownloadJob::run() noexcept
{
    const auto started = std::chrono::steady_clock::now();
    Outcome result;
    try
    {
        result = downloadUpdates();
        if (result.ok() && m_cancel.canceled())
        {
            result = Outcome::canceled();
        }
        if (result.ok())
        {
            result = finish();
        }
    }
    catch (...)
    {
        result = Outcome::internal();
    }
    if (result.ok())
    {
        PELVANE_LOG_INFO("Update complete in Target: " << m_run.back().number.text());
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
        report.version = m_run.back().number.text();
        report.result = result.ok() ? RESULT_SUCCESS : RESULT_FAILURE;
        report.apiError = result.apiError;
        report.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
        // not tied to the run's cancel: closeUpdInter right after a success must
        // not lose the note; the note's own limit bounds the wait
        const CancelToken neverCanceled;
        report.send(m_config.statsUrl, m_config.transfer, neverCanceled);
        if (result.ok())
        {
            // after the outcome: the caller need not wait for the disk to free them
            BaseStore(m_config.productCode, m_config.channelName()).removeReplaced(m_cancel);
        }
    }
    catch (...)
    {
    }
}
} // namespace pelvane

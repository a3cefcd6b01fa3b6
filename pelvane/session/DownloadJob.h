// The work behind downloadUntil, run on the library's own thread: the file
// lists of the run's versions, then every update in order into Extract, each file verified, then Target assembled,
// the FlagFile written and the outcome published; the statistics note goes
// last. The files of an update go out a few at a time over the run's pool
// of connections (PELVANE_CONNECTIONS; 1: one after the other, on this thread).
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/files/FileDownloader.h"
#include "pelvane/session/OutcomeState.h"
#include "pelvane/session/ProgressState.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/ChannelManifest.h"

#include <memory>
#include <vector>

namespace pelvane
{
class DownloadJob
{
public:
    // `run`: the versions to bring, oldest first, as channel.qor lists them.
    // `pool`: the session's connections (none: the job opens its own when
    // the settings allow more than one).
    DownloadJob(UpdateConfig config, std::vector<ChannelVersion> run, ProgressState& progress,
                OutcomeState& outcome, CancelToken& cancel,
                std::shared_ptr<TransferPool> pool = nullptr);

    void run() noexcept;

private:
    struct Lane;
    Outcome downloadUpdates();
    // One file from the mirrors in turn; the place to wrap other per-file fetchers.
    Outcome downloadFile(FileDownloader& downloader, const ManifestVersion& update,
                         const ManifestFile& file, const FileDownloader::Progress& progress);
    Outcome finish();
    void writeFlagFile();

    UpdateConfig m_config;
    std::vector<ChannelVersion> m_run;
    std::vector<ManifestVersion> m_updates; // m_run with their file lists
    std::vector<ManifestVersion> m_placed;  // the updates less the files later ones replace
    ProgressState& m_progress;
    OutcomeState& m_outcome;
    CancelToken& m_cancel;
    std::shared_ptr<TransferPool> m_pool;
};
} // namespace pelvane

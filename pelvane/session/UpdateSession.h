// The one update session of the process behind the nine entry points.
// Configuration calls are serialised by a mutex; the status, the result and
// closeDownload never wait for it, so a caller can poll and cancel while
// another thread is inside a slow call.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/session/OutcomeState.h"
#include "pelvane/session/ProgressState.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/ChannelManifest.h"

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pelvane
{
class TransferPool;
class UpdateSession
{
public:
    static UpdateSession& instance();
    ~UpdateSession();

    std::int32_t init(const InitArguments& arguments);
    std::int32_t close();
    std::int32_t versionCount(std::int32_t* count);
    std::int32_t versionInfo(std::int32_t index, char* version, std::int32_t versionCapacity,
                             char* notes, std::int32_t notesCapacity, std::int32_t* fileCount,
                             std::int32_t* sizeKiB, std::int32_t* updateCount);
    std::int32_t downloadUntil(const char* version);
    std::int32_t cancelDownload();
    std::int32_t status(std::int32_t* status, std::int32_t* nbUpdate, std::int32_t* currentUpdate,
                        std::int32_t* nbBlock, std::int32_t* currentBlock) const;
    std::int32_t result(std::int32_t* result) const;
    std::int32_t resultEx(std::int32_t* apiError, std::int32_t* primary,
                          std::int32_t* secondary) const;

    // Records a failure of the current call (used by the entry points when
    // an exception had to be stopped at the boundary).
    std::int32_t fail(std::int32_t apiError, std::int32_t primary = 0, std::int32_t secondary = 0);

private:
    UpdateSession();
    // With m_mutex held.
    std::int32_t loadManifest();
    std::vector<const ChannelVersion*> newerVersions() const;
    // The versions a run to newer[last] goes through, oldest first: from the
    // newest complete one at or below it on, else all of newer[0..last].
    static std::vector<const ChannelVersion*>
    runTo(const std::vector<const ChannelVersion*>& newer, std::size_t last);
    void stopWorker();

    mutable std::mutex m_mutex;
    std::optional<UpdateConfig> m_config;
    std::optional<ChannelManifest> m_manifest;
    std::size_t m_servingMirror = 0;
    // The connections of the manifest's load, kept for the download, so that
    // its first request does not wait for a new connection.
    std::shared_ptr<TransferPool> m_pool;
    ProgressState m_progress;
    OutcomeState m_outcome;
    CancelToken m_cancel;
    std::thread m_worker;
};
} // namespace pelvane

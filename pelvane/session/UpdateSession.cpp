#include "pelvane/session/UpdateSession.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/TransferPool.h"
#include "pelvane/session/DownloadJob.h"
#include "pelvane/session/ManifestLoader.h"
#include "pelvane/trust/ChannelCache.h"
#include "pelvane/trust/SerialStore.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace pelvane
{
namespace
{
// Copies as much of `text` as fits with its terminator, without cutting a
// UTF-8 sequence in two.
void copyTruncated(const std::string& text, char* buffer, std::int32_t capacity)
{
    std::size_t length = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
    if (length < text.size())
    {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        {
            --length;
        }
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

std::int32_t clampToInt32(std::uint64_t value)
{
    return static_cast<std::int32_t>(std::min<std::uint64_t>(value, INT32_MAX));
}
} // namespace

UpdateSession& UpdateSession::instance()
{
    static UpdateSession session;
    return session;
}

UpdateSession::UpdateSession()
{
    // the logger must outlive this object: the worker may log while it is joined
    libraryLogger();
}

UpdateSession::~UpdateSession()
{
    stopWorker();
}

void UpdateSession::stopWorker()
{
    if (m_worker.joinable())
    {
        m_cancel.cancel();
        m_worker.join();
    }
}

std::int32_t UpdateSession::fail(std::int32_t apiError, std::int32_t primary,
                                 std::int32_t secondary)
{
    m_outcome.failure(apiError, primary, secondary);
    return apiError;
}

std::int32_t UpdateSession::init(const InitArguments& arguments)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_progress.status() == STATUS_WORKING)
    {
        PELVANE_LOG_ERROR("initUpdInterEx refused: a download is running");
        return fail(API_BUSY);
    }
    stopWorker();
    std::string problem;
    std::optional<UpdateConfig> config = makeUpdateConfig(arguments, problem);
    if (!config)
    {
        PELVANE_LOG_ERROR("initUpdInterEx: " << problem);
        m_config.reset();
        m_manifest.reset();
        m_pool.reset();
        return fail(API_BAD_ARGUMENT);
    }
    m_config = std::move(config);
    m_manifest.reset();
    m_pool.reset(); // made for the settings of the last init
    m_progress.clear();
    PELVANE_LOG_INFO("Update interface ready for "
                     << m_config->productCode << " " << m_config->channelName() << " from "
                     << m_config->mirrors.front() << " (" << m_config->mirrors.size()
                     << " mirrors)");
    m_outcome.success();
    return API_OK;
}

std::int32_t UpdateSession::close()
{
    m_cancel.cancel(); // before the lock: a slow call holding it gives up sooner
    std::lock_guard<std::mutex> lock(m_mutex);
    stopWorker();
    m_config.reset();
    m_manifest.reset();
    m_pool.reset();
    m_progress.setStatus(STATUS_IDLE);
    return API_OK;
}

std::int32_t UpdateSession::loadManifest()
{
    if (m_manifest)
    {
        return API_OK;
    }
    m_cancel.reset();
    if (!m_pool && m_config->transfer.limits.connections > 1)
    {
        m_pool = std::make_shared<TransferPool>(m_config->transfer.limits.connections);
    }
    ManifestLoader loader(
        *m_config, m_cancel, SerialStore(SerialStore::defaultPath()),
        ChannelCache(ChannelCache::defaultFolder(), m_config->productCode, m_config->channelName()),
        m_pool.get());
    ManifestLoader::Loaded loaded = loader.load();
    if (!loaded.manifest)
    {
        return fail(loaded.outcome.apiError, loaded.outcome.primary, loaded.outcome.secondary);
    }
    m_manifest = std::move(loaded.manifest);
    m_servingMirror = loaded.mirror;
    PELVANE_LOG_INFO("Manifest loaded: " << m_manifest->versions().size() << " versions");
    return API_OK;
}

std::vector<const ChannelVersion*> UpdateSession::newerVersions() const
{
    std::vector<const ChannelVersion*> newer;
    for (const ChannelVersion& version : m_manifest->versions())
    {
        if (!m_config->installed || *m_config->installed < version.number)
        {
            newer.push_back(&version);
        }
    }
    return newer;
}

std::vector<const ChannelVersion*>
UpdateSession::runTo(const std::vector<const ChannelVersion*>& newer, std::size_t last)
{
    std::size_t first = 0;
    for (std::size_t i = last + 1; i-- > 0;)
    {
        if (newer[i]->complete)
        {
            // the whole tree: nothing older is needed, not even its file list
            first = i;
            break;
        }
    }
    return {newer.begin() + static_cast<std::ptrdiff_t>(first),
            newer.begin() + static_cast<std::ptrdiff_t>(last) + 1};
}

std::int32_t UpdateSession::versionCount(std::int32_t* count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count == nullptr)
    {
        return fail(API_BAD_ARGUMENT);
    }
    if (!m_config)
    {
        return fail(API_NOT_INITIALISED);
    }
    if (const std::int32_t loaded = loadManifest(); loaded != API_OK)
    {
        return loaded;
    }
    *count = clampToInt32(newerVersions().size());
    m_outcome.success();
    return API_OK;
}

std::int32_t UpdateSession::versionInfo(std::int32_t index, char* version,
                                        std::int32_t versionCapacity, char* notes,
                                        std::int32_t notesCapacity, std::int32_t* fileCount,
                                        std::int32_t* sizeKiB, std::int32_t* updateCount)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (version == nullptr || notes == nullptr || versionCapacity <= 0 || notesCapacity <= 0 ||
        fileCount == nullptr || sizeKiB == nullptr || updateCount == nullptr || index < 0)
    {
        return fail(API_BAD_ARGUMENT);
    }
    if (!m_config)
    {
        return fail(API_NOT_INITIALISED);
    }
    if (const std::int32_t loaded = loadManifest(); loaded != API_OK)
    {
        return loaded;
    }
    const std::vector<const ChannelVersion*> newer = newerVersions();
    if (static_cast<std::size_t>(index) >= newer.size())
    {
        return fail(API_UNKNOWN_VERSION);
    }
    // index 0 is the newest; what a run to it needs from Version on comes along
    const std::size_t position = newer.size() - 1 - static_cast<std::size_t>(index);
    const ChannelVersion& chosen = *newer[position];
    if (chosen.number.text().size() >= static_cast<std::size_t>(versionCapacity))
    {
        // a cut identifier would name another version
        return fail(API_BAD_ARGUMENT);
    }
    const std::vector<const ChannelVersion*> run = runTo(newer, position);
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    for (const ChannelVersion* update : run)
    {
        files += update->fileCount;
        bytes += update->totalSize;
    }
    copyTruncated(chosen.number.text(), version, versionCapacity);
    copyTruncated(chosen.notes, notes, notesCapacity);
    *fileCount = clampToInt32(files);
    *sizeKiB = clampToInt32((bytes + 1023) / 1024);
    *updateCount = clampToInt32(run.size());
    m_outcome.success();
    return API_OK;
}

std::int32_t UpdateSession::downloadUntil(const char* versionText)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (versionText == nullptr || ::strnlen(versionText, 65) > 64)
    {
        return fail(API_BAD_ARGUMENT);
    }
    if (!m_config)
    {
        return fail(API_NOT_INITIALISED);
    }
    if (m_progress.status() == STATUS_WORKING)
    {
        return fail(API_BUSY);
    }
    const std::optional<VersionNumber> until = VersionNumber::parse(versionText);
    if (!until)
    {
        return fail(API_BAD_ARGUMENT);
    }
    if (const std::int32_t loaded = loadManifest(); loaded != API_OK)
    {
        return loaded;
    }
    const std::vector<const ChannelVersion*> newer = newerVersions();
    const auto wanted = std::find_if(newer.begin(), newer.end(),
                                     [&](const ChannelVersion* version)
                                     { return version->number == *until; });
    if (wanted == newer.end())
    {
        PELVANE_LOG_ERROR("downloadUntil: no newer version " << versionText);
        return fail(API_UNKNOWN_VERSION);
    }
    std::vector<ChannelVersion> updates;
    for (const ChannelVersion* version :
         runTo(newer, static_cast<std::size_t>(wanted - newer.begin())))
    {
        updates.push_back(*version);
    }
    if (const auto skipped = static_cast<std::size_t>(wanted - newer.begin()) + 1 - updates.size())
    {
        PELVANE_LOG_INFO("Version " << updates.front().number.text() << " is complete: "
                                    << skipped << " older versions not needed");
    }
    stopWorker(); // a finished earlier run
    m_cancel.reset();
    m_progress.begin(clampToInt32(updates.size()),
                     ProgressState::blocksFor(updates.front().totalSize));
    // Nothing has failed while the download runs; the job writes the final
    // outcome before its status leaves 1, so a caller that judges the result
    // once the status is no longer 1 never sees this one.
    m_outcome.success();
    try
    {
        // files come first from the mirror that served the manifest, then the others in order
        UpdateConfig jobConfig = *m_config;
        std::rotate(jobConfig.mirrors.begin(),
                    jobConfig.mirrors.begin() +
                        static_cast<std::ptrdiff_t>(m_servingMirror % jobConfig.mirrors.size()),
                    jobConfig.mirrors.end());
        auto job = std::make_shared<DownloadJob>(std::move(jobConfig), std::move(updates),
                                                 m_progress, m_outcome, m_cancel, m_pool);
        m_worker = std::thread([job] { job->run(); });
    }
    catch (...)
    {
        m_progress.setStatus(STATUS_IDLE);
        return fail(API_INTERNAL);
    }
    return API_OK;
}

std::int32_t UpdateSession::cancelDownload()
{
    if (m_progress.status() == STATUS_WORKING)
    {
        PELVANE_LOG_INFO("Download cancel requested");
        m_cancel.cancel();
    }
    return API_OK;
}

std::int32_t UpdateSession::status(std::int32_t* status, std::int32_t* nbUpdate,
                                   std::int32_t* currentUpdate, std::int32_t* nbBlock,
                                   std::int32_t* currentBlock) const
{
    if (status == nullptr || nbUpdate == nullptr || currentUpdate == nullptr ||
        nbBlock == nullptr || currentBlock == nullptr)
    {
        return API_BAD_ARGUMENT; // a poll must not overwrite the download's outcome
    }
    m_progress.read(status, nbUpdate, currentUpdate, nbBlock, currentBlock);
    return API_OK;
}

std::int32_t UpdateSession::result(std::int32_t* result) const
{
    if (result == nullptr)
    {
        return API_BAD_ARGUMENT;
    }
    std::int32_t api = 0;
    std::int32_t primary = 0;
    std::int32_t secondary = 0;
    m_outcome.read(*result, api, primary, secondary);
    return API_OK;
}

std::int32_t UpdateSession::resultEx(std::int32_t* apiError, std::int32_t* primary,
                                     std::int32_t* secondary) const
{
    if (apiError == nullptr || primary == nullptr || secondary == nullptr)
    {
        return API_BAD_ARGUMENT;
    }
    std::int32_t result = 0;
    m_outcome.read(result, *apiError, *primary, *secondary);
    return API_OK;
}
} // namespace pelvane

#include "pelvane/session/FileListLoader.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/MirrorWalk.h"
#include "pelvane/net/Retries.h"

namespace pelvane
{
FileListLoader::FileListLoader(const UpdateConfig& config, HttpFetcher& fetcher,
                               const CancelToken& cancel)
    : m_config(config), m_fetcher(fetcher), m_cancel(cancel),
      m_trust(config.pin, config.productCode, config.channelName(), SerialStore(std::string()))
{
}

FetchResult FileListLoader::fetchBounded(HttpFetcher& fetcher, const UpdateConfig& config,
                                         const CancelToken& cancel, const std::string& url,
                                         std::size_t maxBytes, std::string& bytes)
{
    // like the top level: a trickling mirror cannot hold the tries for longer
    const Deadline deadline = Deadline::after(config.transfer.limits.metadataDeadline);
    Retries retries(cancel, std::nullopt, deadline);
    FetchResult fetched;
    do
    {
        fetched = fetcher.fetchText(url, maxBytes, bytes, deadline);
    } while (!fetched.ok() && retries.tryAgain(fetched));
    return fetched;
}

Outcome FileListLoader::loadFrom(std::size_t mirror, const ChannelVersion& entry,
                                 ManifestVersion& list)
{
    const std::string url =
        m_config.repository().list(entry.number.text()).url(m_config.mirrors[mirror]);
    std::string bytes;
    // never more than channel.qor says it has
    const FetchResult fetched = fetchBounded(m_fetcher, m_config, m_cancel, url,
                                             static_cast<std::size_t>(entry.list.size), bytes);
    if (!fetched.ok() && m_cancel.canceled())
    {
        return Outcome::canceled();
    }
    std::string problem;
    if (fetched.is(API_HASH))
    {
        problem = "it is longer than channel.qor says";
    }
    else if (!fetched.ok())
    {
        PELVANE_LOG_ERROR("File list not fetched from "
                          << url << ": " << apiErrorName(fetched.apiError) << ", curl "
                          << fetched.primary << ", HTTP " << fetched.secondary);
        return fetched;
    }
    if (problem.empty() && m_trust.acceptList(entry, bytes, list, problem))
    {
        PELVANE_LOG_INFO("File list of " << entry.number.text() << " from "
                                         << m_config.mirrors[mirror] << ": " << list.files.size()
                                         << " files, " << bytes.size() << " bytes");
        return {};
    }
    PELVANE_LOG_ERROR("File list of " << entry.number.text() << " from " << m_config.mirrors[mirror]
                                      << " refused: " << problem);
    return Outcome::failure(API_BAD_MANIFEST);
}

Outcome FileListLoader::load(const std::vector<ChannelVersion>& run,
                             std::vector<ManifestVersion>& lists)
{
    lists.assign(run.size(), {});
    for (std::size_t i = 0; i < run.size(); ++i)
    {
        MirrorWalk walk(m_config.mirrors.size(), MirrorWalk::MoveOn::AnyFailure);
        const Outcome loaded = walk.run(
            [&](std::size_t mirror) { return loadFrom(mirror, run[i], lists[i]); },
            [&](std::size_t mirror, const Outcome&)
            {
                PELVANE_LOG_WARN("Mirror " << m_config.mirrors[mirror]
                                           << " passed over for the file list of "
                                           << run[i].number.text() << ", trying "
                                           << m_config.mirrors[mirror + 1]);
            });
        if (!loaded.ok())
        {
            return loaded;
        }
    }
    return {};
}
} // namespace pelvane

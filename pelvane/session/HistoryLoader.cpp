#include "pelvane/session/HistoryLoader.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/MirrorWalk.h"
#include "pelvane/session/FileListLoader.h"

namespace pelvane
{
HistoryLoader::HistoryLoader(const UpdateConfig& config, HttpFetcher& fetcher,
                             const CancelToken& cancel)
    : m_config(config), m_fetcher(fetcher), m_cancel(cancel)
{
}

bool HistoryLoader::needed(const ChannelManifest& top,
                           const std::optional<VersionNumber>& installed)
{
    return top.history() &&
           (!installed || top.versions().empty() || *installed < top.versions().front().number);
}

Outcome HistoryLoader::takeFrom(std::size_t mirror, HistoryChain& chain)
{
    const ObjectRef ref = *chain.next();
    const std::string url = m_config.repository().history(ref.sha256).url(m_config.mirrors[mirror]);
    std::string bytes;
    // never more than the link names
    const FetchResult fetched = FileListLoader::fetchBounded(
        m_fetcher, m_config, m_cancel, url, static_cast<std::size_t>(ref.size), bytes);
    if (!fetched.ok() && m_cancel.canceled())
    {
        return Outcome::canceled();
    }
    std::string problem = "it is longer than the link that names it says";
    if (!fetched.ok() && !fetched.is(API_HASH))
    {
        PELVANE_LOG_ERROR("History object not fetched from "
                          << url << ": " << apiErrorName(fetched.apiError) << ", curl "
                          << fetched.primary << ", HTTP " << fetched.secondary);
        return fetched;
    }
    if (fetched.ok() && chain.take(bytes, problem))
    {
        return {};
    }
    PELVANE_LOG_ERROR("History object " << ref.sha256 << " from " << m_config.mirrors[mirror]
                                        << " refused: " << problem);
    return Outcome::failure(API_BAD_MANIFEST);
}

Outcome HistoryLoader::load(ChannelManifest& top, std::size_t servingMirror)
{
    HistoryChain chain(m_config.productCode, m_config.channelName(), top);
    const std::size_t mirrors = m_config.mirrors.size();
    std::size_t fetchedBytes = 0;
    // back to the object that reaches the installed version, no further
    while (chain.next() && (!m_config.installed || !chain.oldest() ||
                            *m_config.installed < *chain.oldest()))
    {
        MirrorWalk walk(mirrors, MirrorWalk::MoveOn::AnyFailure);
        const Outcome taken = walk.run(
            [&](std::size_t step) { return takeFrom((servingMirror + step) % mirrors, chain); },
            [&](std::size_t step, const Outcome&)
            {
                PELVANE_LOG_WARN("Mirror " << m_config.mirrors[(servingMirror + step) % mirrors]
                                           << " passed over for the history, trying "
                                           << m_config.mirrors[(servingMirror + step + 1) % mirrors]);
            });
        if (!taken.ok())
        {
            return taken;
        }
        fetchedBytes += static_cast<std::size_t>(chain.links().back().ref.size);
    }
    std::vector<ChannelVersion> older = chain.releaseVersions();
    PELVANE_LOG_INFO("History: " << older.size() << " older versions from "
                                 << chain.links().size() << " objects, " << fetchedBytes
                                 << " bytes");
    top.prependOlder(std::move(older));
    return {};
}
} // namespace pelvane

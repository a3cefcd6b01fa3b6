#include "pelvane/session/ManifestLoader.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/MirrorWalk.h"
#include "pelvane/net/Retries.h"
#include "pelvane/session/HistoryLoader.h"
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/UtcTime.h"

#include <cerrno>
#include <chrono>

namespace pelvane
{
namespace
{
constexpr std::int32_t HTTP_NOT_MODIFIED = 304;
constexpr std::int32_t HTTP_NOT_FOUND = 404;

bool isHttp(const std::string& url)
{
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0 ||
           url.rfind("HTTP://", 0) == 0 || url.rfind("HTTPS://", 0) == 0;
}

std::int64_t secondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
} // namespace

ManifestLoader::ManifestLoader(const UpdateConfig& config, const CancelToken& cancel,
                               SerialStore serials, ChannelCache cache, TransferPool* pool)
    : m_config(config), m_cancel(cancel), m_pool(pool),
      m_trust(config.pin, config.productCode, config.channelName(), std::move(serials)),
      m_cache(std::move(cache))
{
}

void ManifestLoader::judgeCache(std::int64_t now)
{
    m_cached = m_cache.read();
    if (!m_cached)
    {
        return;
    }
    const ManifestTrust::Verdict verdict = m_trust.judge(m_cached->bytes, m_cachedManifest, now);
    if (verdict.apiError != API_OK)
    {
        PELVANE_LOG_WARN("Cached channel.qor dropped (" << verdict.reason
                                                        << "); asking for it unconditionally");
        m_cache.drop();
        m_cached.reset();
    }
}

FetchResult ManifestLoader::fetchFrom(HttpFetcher& fetcher, const std::string& url,
                                      std::string& bytes, Validators& validators)
{
    const Validators since =
        m_cached ? Validators{m_cached->etag, m_cached->lastModified} : Validators();
    // one deadline for the top level and its tries: a mirror that trickles
    // cannot hold the run for longer than that
    const Deadline deadline = Deadline::after(m_config.transfer.limits.metadataDeadline);
    Retries retries(m_cancel, std::nullopt, deadline);
    FetchResult fetched;
    do
    {
        fetched = fetcher.fetchTextIfChanged(url, ChannelEnvelope::MAX_BYTES, since, bytes,
                                             validators, deadline);
    } while (!fetched.ok() && retries.tryAgain(fetched));
    if (fetched.is(API_HASH))
    {
        fetched.apiError = API_BAD_MANIFEST; // larger than any top level may be
    }
    if (!fetched.ok() && m_cancel.canceled())
    {
        fetched = Outcome::canceled();
    }
    return fetched;
}

Outcome ManifestLoader::missingChannel(HttpFetcher& fetcher, std::size_t mirror,
                                       const FetchResult& fetched)
{
    const std::string former =
        m_config.repository().formerManifest().url(m_config.mirrors[mirror]);
    std::string ignored;
    // no byte of it is wanted: its presence is the answer
    const FetchResult probe = fetcher.fetchText(former, 0, ignored);
    if (probe.ok() || (probe.is(API_HASH) && probe.primary == EFBIG))
    {
        PELVANE_LOG_ERROR("Manifest refused: " << m_config.mirrors[mirror]
                                               << " serves the channel in format 2 ("
                                               << RepositoryLayout::FORMER_MANIFEST_FILE
                                               << "); republish the repository with the current "
                                                  "qor-publish");
        return Outcome::failure(API_BAD_MANIFEST);
    }
    return fetched;
}

void ManifestLoader::keepInCache(std::size_t mirror, const std::string& bytes,
                                 const Validators& validators)
{
    if (validators.empty() || !isHttp(m_config.mirrors[mirror]))
    {
        m_cache.drop(); // nothing to ask "changed since?" with
        return;
    }
    const ChannelCache::Entry entry{bytes, m_config.mirrors[mirror], validators.etag,
                                    validators.lastModified};
    if (const int error = m_cache.write(entry))
    {
        PELVANE_LOG_WARN("Cannot keep channel.qor in " << m_cache.path() << ": errno " << error);
    }
}

Outcome ManifestLoader::loadFrom(HttpFetcher& fetcher, std::size_t mirror, Loaded& loaded)
{
    const std::string url = m_config.repository().channel().url(m_config.mirrors[mirror]);
    std::string bytes;
    Validators validators;
    const FetchResult fetched = fetchFrom(fetcher, url, bytes, validators);
    if (fetched.is(API_CANCELED))
    {
        return fetched;
    }
    const bool unchanged =
        m_cached && fetched.is(API_HTTP) && fetched.secondary == HTTP_NOT_MODIFIED;
    if (!fetched.ok() && !unchanged)
    {
        PELVANE_LOG_ERROR("Manifest not fetched from "
                          << url << ": " << apiErrorName(fetched.apiError) << ", curl "
                          << fetched.primary << ", HTTP " << fetched.secondary);
        if (fetched.is(API_HTTP) && fetched.secondary == HTTP_NOT_FOUND)
        {
            return missingChannel(fetcher, mirror, fetched);
        }
        return fetched;
    }
    if (unchanged)
    {
        // judged when the run began; the 304 only says it is still current
        loaded.manifest = m_cachedManifest;
    }
    else if (const std::int32_t verdict = m_trust.accept(bytes, loaded.manifest, secondsNow());
             verdict != API_OK)
    {
        return Outcome::failure(verdict);
    }
    loaded.mirror = mirror;
    PELVANE_LOG_INFO("Manifest from " << m_config.mirrors[mirror] << ": serial "
                                      << loaded.manifest->serial() << ", expires "
                                      << formatUtc(loaded.manifest->expires())
                                      << (unchanged ? " (not modified since the last run)" : ""));
    m_trust.remember(*loaded.manifest);
    if (!unchanged)
    {
        keepInCache(mirror, bytes, validators);
    }
    return {};
}

ManifestLoader::Loaded ManifestLoader::load()
{
    Loaded loaded;
    judgeCache(secondsNow());
    HttpFetcher fetcher(m_config.transfer, m_cancel, m_pool);
    MirrorWalk walk(m_config.mirrors.size(), MirrorWalk::MoveOn::AnyFailure);
    loaded.outcome = walk.run([&](std::size_t mirror) { return loadFrom(fetcher, mirror, loaded); },
                              [&](std::size_t mirror, const Outcome&)
                              {
                                  PELVANE_LOG_WARN("Mirror " << m_config.mirrors[mirror]
                                                             << " passed over, trying "
                                                             << m_config.mirrors[mirror + 1]);
                              });
    if (loaded.manifest && HistoryLoader::needed(*loaded.manifest, m_config.installed))
    {
        // a client older than every version listed: the versions between come from the history
        loaded.outcome = HistoryLoader(m_config, fetcher, m_cancel).load(*loaded.manifest, loaded.mirror);
        if (!loaded.outcome.ok())
        {
            loaded.manifest.reset();
        }
    }
    return loaded;
}
} // namespace pelvane

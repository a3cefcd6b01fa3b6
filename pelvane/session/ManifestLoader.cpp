#include "pelvane/session/ManifestLoader.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/MirrorWalk.h"
#include "pelvane/net/Retries.h"
#include "pelvane/trust/ManifestSignature.h"

#include <chrono>

namespace pelvane
{
ManifestLoader::ManifestLoader(const UpdateConfig& config, const CancelToken& cancel,
                               SerialStore serials)
    : m_config(config), m_cancel(cancel),
      m_trust(config.pin, config.productCode, config.channelName(), std::move(serials))
{
}

FetchResult ManifestLoader::fetchFrom(HttpFetcher& fetcher, const std::string& url,
                                      std::string& bytes, std::string& signature)
{
    // one deadline for both files and their tries: a mirror that trickles
    // cannot hold the run for longer than that
    const Deadline deadline = Deadline::after(m_config.transfer.limits.metadataDeadline);
    Retries retries(m_cancel, std::nullopt, deadline);
    FetchResult fetched;
    do
    {
        fetched = fetcher.fetchText(url, Manifest::MAX_BYTES, bytes, deadline);
        if (!fetched.ok())
        {
            continue;
        }
        fetched = fetcher.fetchText(url + Manifest::SIGNATURE_SUFFIX, ManifestSignature::MAX_BYTES,
                                    signature, deadline);
        if (!fetched.ok() && !fetched.transient && fetched.is(API_HTTP))
        {
            PELVANE_LOG_ERROR("Manifest signature missing: HTTP " << fetched.secondary);
            fetched.apiError = API_SIGNATURE;
            return fetched;
        }
        if (fetched.is(API_HASH))
        {
            PELVANE_LOG_ERROR("Manifest signature file too large");
            fetched.apiError = API_SIGNATURE;
            return fetched;
        }
    } while (!fetched.ok() && retries.tryAgain(fetched));
    if (fetched.is(API_HASH))
    {
        fetched.apiError = API_BAD_MANIFEST; // larger than any manifest may be
    }
    if (!fetched.ok() && m_cancel.canceled())
    {
        fetched = Outcome::canceled();
    }
    return fetched;
}

Outcome ManifestLoader::loadFrom(HttpFetcher& fetcher, std::size_t mirror, Loaded& loaded)
{
    const std::string url = m_config.manifestUrl(m_config.mirrors[mirror]);
    std::string bytes;
    std::string signature;
    const FetchResult fetched = fetchFrom(fetcher, url, bytes, signature);
    if (fetched.is(API_CANCELED))
    {
        return fetched;
    }
    if (!fetched.ok())
    {
        PELVANE_LOG_ERROR("Manifest not fetched from "
                          << url << ": " << apiErrorName(fetched.apiError) << ", curl "
                          << fetched.primary << ", HTTP " << fetched.secondary);
        return fetched;
    }
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    if (const std::int32_t verdict = m_trust.accept(bytes, signature, loaded.manifest, now);
        verdict != API_OK)
    {
        return Outcome::failure(verdict);
    }
    loaded.mirror = mirror;
    PELVANE_LOG_INFO("Manifest from " << m_config.mirrors[mirror] << ": serial "
                                      << loaded.manifest->serial() << ", expires "
                                      << Manifest::formatUtc(loaded.manifest->expires()));
    m_trust.remember(*loaded.manifest);
    return {};
}

ManifestLoader::Loaded ManifestLoader::load()
{
    Loaded loaded;
    HttpFetcher fetcher(m_config.transfer, m_cancel);
    MirrorWalk walk(m_config.mirrors.size(), MirrorWalk::MoveOn::AnyFailure);
    loaded.outcome = walk.run([&](std::size_t mirror) { return loadFrom(fetcher, mirror, loaded); },
                              [&](std::size_t mirror, const Outcome&)
                              {
                                  PELVANE_LOG_WARN("Mirror " << m_config.mirrors[mirror]
                                                             << " passed over, trying "
                                                             << m_config.mirrors[mirror + 1]);
                              });
    return loaded;
}
} // namespace pelvane

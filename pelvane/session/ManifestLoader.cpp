#include "pelvane/session/ManifestLoader.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/RetryPolicy.h"
#include "pelvane/trust/ManifestSignature.h"

namespace pelvane
{
namespace
{
FetchResult refused(std::int32_t apiError)
{
    FetchResult result;
    result.kind = FetchResult::Kind::Permanent;
    result.apiError = apiError;
    return result;
}
} // namespace

ManifestLoader::ManifestLoader(const UpdateConfig& config, const CancelToken& cancel,
                               SerialStore serials)
    : m_config(config), m_cancel(cancel), m_serials(std::move(serials))
{
}

FetchResult ManifestLoader::fetchFrom(HttpFetcher& fetcher, const std::string& url,
                                      std::string& bytes, std::string& signature)
{
    RetryPolicy retry;
    FetchResult fetched;
    for (int tries = 1;; ++tries)
    {
        fetched = fetcher.fetchText(url, Manifest::MAX_BYTES, bytes);
        if (fetched.ok())
        {
            fetched = fetcher.fetchText(url + Manifest::SIGNATURE_SUFFIX,
                                        ManifestSignature::MAX_BYTES, signature);
            if (!fetched.ok() && fetched.kind == FetchResult::Kind::Permanent &&
                fetched.apiError == API_HTTP)
            {
                PELVANE_LOG_ERROR("Manifest signature missing: HTTP " << fetched.secondary);
                fetched.apiError = API_SIGNATURE;
                return fetched;
            }
            if (!fetched.ok() && fetched.apiError == API_HASH)
            {
                PELVANE_LOG_ERROR("Manifest signature file too large");
                fetched.apiError = API_SIGNATURE;
                return fetched;
            }
        }
        if (fetched.ok() || fetched.kind != FetchResult::Kind::Transient ||
            tries >= RetryPolicy::MAX_TRIES ||
            !m_cancel.sleepFor(retry.delayAfter(tries, fetched.retryAfterMs)))
        {
            break;
        }
    }
    if (!fetched.ok() && fetched.apiError == API_HASH)
    {
        fetched.apiError = API_BAD_MANIFEST; // larger than any manifest may be
    }
    if (!fetched.ok() && m_cancel.canceled())
    {
        fetched.kind = FetchResult::Kind::Canceled;
        fetched.apiError = API_CANCELED;
    }
    return fetched;
}

std::int32_t ManifestLoader::accept(std::string_view bytes, std::string_view signature,
                                    std::optional<Manifest>& manifest, std::int64_t now) const
{
    std::string problem;
    switch (ManifestSignature::check(m_config.pin, bytes, signature, problem))
    {
    case ManifestSignature::Check::Verified:
        break;
    case ManifestSignature::Check::Malformed:
        PELVANE_LOG_ERROR("Manifest signature file refused: " << problem);
        return API_SIGNATURE;
    case ManifestSignature::Check::NoPinnedKey:
        PELVANE_LOG_ERROR("Manifest refused: no signature by the pinned key " << m_config.pin);
        return API_SIGNATURE;
    case ManifestSignature::Check::DoesNotVerify:
        PELVANE_LOG_ERROR("Manifest refused: signature does not verify");
        return API_SIGNATURE;
    }
    manifest = Manifest::parse(bytes, problem);
    if (manifest && (manifest->product() != m_config.productCode ||
                     manifest->channel() != m_config.channelName()))
    {
        // a valid manifest of another product or channel signed with the same key
        problem = "manifest is for " + manifest->product() + " " + manifest->channel();
        manifest.reset();
    }
    if (!manifest)
    {
        PELVANE_LOG_ERROR("Manifest refused: " << problem);
        return API_BAD_MANIFEST;
    }
    if (now > manifest->expires() + CLOCK_SKEW_SECONDS)
    {
        PELVANE_LOG_ERROR("Manifest expired at " << Manifest::formatUtc(manifest->expires())
                                                 << " (serial " << manifest->serial() << ")");
        manifest.reset();
        return API_EXPIRED;
    }
    const std::uint64_t highest = m_serials.highest(m_config.productCode, m_config.channelName());
    if (manifest->serial() < highest)
    {
        PELVANE_LOG_ERROR("Manifest serial " << manifest->serial()
                                             << " is older than the accepted serial " << highest);
        manifest.reset();
        return API_ROLLBACK;
    }
    return API_OK;
}

ManifestLoader::Loaded ManifestLoader::load()
{
    Loaded loaded;
    HttpFetcher fetcher(m_config.transfer, m_cancel);
    for (std::size_t index = 0; index < m_config.mirrors.size(); ++index)
    {
        const std::string url = m_config.manifestUrl(m_config.mirrors[index]);
        std::string bytes;
        std::string signature;
        loaded.result = fetchFrom(fetcher, url, bytes, signature);
        if (loaded.result.kind == FetchResult::Kind::Canceled)
        {
            return loaded;
        }
        if (loaded.result.ok())
        {
            const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
            const std::int32_t verdict = accept(bytes, signature, loaded.manifest, now);
            if (verdict == API_OK)
            {
                loaded.mirror = index;
                const Manifest& manifest = *loaded.manifest;
                PELVANE_LOG_INFO("Manifest from " << m_config.mirrors[index] << ": serial "
                                                  << manifest.serial() << ", expires "
                                                  << Manifest::formatUtc(manifest.expires()));
                if (const int error = m_serials.record(m_config.productCode, m_config.channelName(),
                                                       manifest.serial()))
                {
                    PELVANE_LOG_WARN("Cannot record the manifest serial in "
                                     << m_serials.path() << ": errno " << error);
                }
                return loaded;
            }
            loaded.result = refused(verdict);
        }
        else
        {
            PELVANE_LOG_ERROR("Manifest not fetched from "
                              << url << ": " << apiErrorName(loaded.result.apiError) << ", curl "
                              << loaded.result.primary << ", HTTP " << loaded.result.secondary);
        }
        if (index + 1 < m_config.mirrors.size())
        {
            PELVANE_LOG_WARN("Mirror " << m_config.mirrors[index] << " passed over, trying "
                                       << m_config.mirrors[index + 1]);
        }
    }
    return loaded;
}
} // namespace pelvane

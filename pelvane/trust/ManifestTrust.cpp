#include "pelvane/trust/ManifestTrust.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/trust/ManifestSignature.h"

namespace pelvane
{
ManifestTrust::ManifestTrust(std::string pin, std::string product, std::string channel,
                             SerialStore serials)
    : m_pin(std::move(pin)), m_product(std::move(product)), m_channel(std::move(channel)),
      m_serials(std::move(serials))
{
}

std::int32_t ManifestTrust::accept(std::string_view bytes, std::string_view signature,
                                   std::optional<Manifest>& manifest, std::int64_t now) const
{
    std::string problem;
    switch (ManifestSignature::check(m_pin, bytes, signature, problem))
    {
    case ManifestSignature::Check::Verified:
        break;
    case ManifestSignature::Check::Malformed:
        PELVANE_LOG_ERROR("Manifest signature file refused: " << problem);
        return API_SIGNATURE;
    case ManifestSignature::Check::NoPinnedKey:
        PELVANE_LOG_ERROR("Manifest refused: no signature by the pinned key " << m_pin);
        return API_SIGNATURE;
    case ManifestSignature::Check::DoesNotVerify:
        PELVANE_LOG_ERROR("Manifest refused: signature does not verify");
        return API_SIGNATURE;
    }
    manifest = Manifest::parse(bytes, problem);
    if (manifest && (manifest->product() != m_product || manifest->channel() != m_channel))
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
    const std::uint64_t highest = m_serials.highest(m_product, m_channel);
    if (manifest->serial() < highest)
    {
        PELVANE_LOG_ERROR("Manifest serial " << manifest->serial()
                                             << " is older than the accepted serial " << highest);
        manifest.reset();
        return API_ROLLBACK;
    }
    return API_OK;
}

void ManifestTrust::remember(const Manifest& manifest) const
{
    if (const int error = m_serials.record(m_product, m_channel, manifest.serial()))
    {
        PELVANE_LOG_WARN("Cannot record the manifest serial in " << m_serials.path() << ": errno "
                                                                 << error);
    }
}
} // namespace pelvane

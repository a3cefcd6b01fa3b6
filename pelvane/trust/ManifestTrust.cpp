#include "pelvane/trust/ManifestTrust.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/FileList.h"
#include "pelvane/trust/ManifestSignature.h"
#include "pelvane/trust/UtcTime.h"

namespace pelvane
{
ManifestTrust::ManifestTrust(std::string pin, std::string product, std::string channel,
                             SerialStore serials)
    : m_pin(std::move(pin)), m_product(std::move(product)), m_channel(std::move(channel)),
      m_serials(std::move(serials))
{
}

ManifestTrust::Verdict ManifestTrust::judge(std::string_view bytes,
                                            std::optional<ChannelManifest>& manifest,
                                            std::int64_t now) const
{
    manifest.reset();
    std::string problem;
    std::string_view signatures;
    std::string_view payload;
    switch (ChannelEnvelope::split(bytes, signatures, payload, problem))
    {
    case ChannelEnvelope::Split::Done:
        break;
    case ChannelEnvelope::Split::NotAChannel:
        return {API_BAD_MANIFEST, "Manifest refused: " + problem};
    case ChannelEnvelope::Split::Cut:
        return {API_SIGNATURE, "Manifest signature file refused: " + problem};
    }
    switch (ManifestSignature::check(m_pin, payload, signatures, problem))
    {
    case ManifestSignature::Check::Verified:
        break;
    case ManifestSignature::Check::Malformed:
        return {API_SIGNATURE, "Manifest signature file refused: " + problem};
    case ManifestSignature::Check::NoPinnedKey:
        return {API_SIGNATURE, "Manifest refused: no signature by the pinned key " + m_pin};
    case ManifestSignature::Check::DoesNotVerify:
        return {API_SIGNATURE, "Manifest refused: signature does not verify"};
    }
    manifest = ChannelManifest::parse(payload, problem);
    if (manifest && (manifest->product() != m_product || manifest->channel() != m_channel))
    {
        // a valid top level of another product or channel signed with the same key
        problem = "manifest is for " + manifest->product() + " " + manifest->channel();
        manifest.reset();
    }
    if (!manifest)
    {
        return {API_BAD_MANIFEST, "Manifest refused: " + problem};
    }
    if (now > manifest->expires() + CLOCK_SKEW_SECONDS)
    {
        Verdict expired{API_EXPIRED, "Manifest expired at " + formatUtc(manifest->expires()) +
                                         " (serial " + std::to_string(manifest->serial()) + ")"};
        manifest.reset();
        return expired;
    }
    const std::uint64_t highest = m_serials.highest(m_product, m_channel);
    if (manifest->serial() < highest)
    {
        Verdict rolledBack{API_ROLLBACK, "Manifest serial " + std::to_string(manifest->serial()) +
                                             " is older than the accepted serial " +
                                             std::to_string(highest)};
        manifest.reset();
        return rolledBack;
    }
    return {};
}

std::int32_t ManifestTrust::accept(std::string_view bytes, std::optional<ChannelManifest>& manifest,
                                   std::int64_t now) const
{
    const Verdict verdict = judge(bytes, manifest, now);
    if (verdict.apiError != API_OK)
    {
        PELVANE_LOG_ERROR(verdict.reason);
    }
    return verdict.apiError;
}

void ManifestTrust::remember(const ChannelManifest& manifest) const
{
    if (const int error = m_serials.record(m_product, m_channel, manifest.serial()))
    {
        PELVANE_LOG_WARN("Cannot record the manifest serial in " << m_serials.path() << ": errno "
                                                                 << error);
    }
}

bool ManifestTrust::acceptList(const ChannelVersion& entry, std::string_view compressed,
                               ManifestVersion& version, std::string& problem) const
{
    if (compressed.size() != entry.list.size ||
        !digestsEqual(entry.list.sha256, sha256Hex(compressed)))
    {
        problem = "it does not match channel.qor";
        return false;
    }
    std::optional<FileList> list = FileList::decode(compressed, problem);
    if (!list)
    {
        return false;
    }
    if (list->product != m_product || list->channel != m_channel ||
        !(list->version.number == entry.number))
    {
        problem = "it is the list of " + list->product + " " + list->channel + " " +
                  list->version.number.text();
        return false;
    }
    if (list->version.files.size() != entry.fileCount ||
        list->version.totalSize() != entry.totalSize)
    {
        problem = "its files do not add up to the counts of channel.qor";
        return false;
    }
    version = std::move(list->version);
    version.notes = entry.notes;
    version.complete = entry.complete;
    return true;
}
} // namespace pelvane

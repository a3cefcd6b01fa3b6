// Whether one copy of channel.qor is to be believed: signed by the pinned key
// over its exact payload, for this product and channel, not expired, and not
// older than a serial this client has already accepted; and whether a
// version's file list is the one that copy names. Each refusal says why. No
// network: the caller brings the bytes, and since every check is on signed
// bytes, where they came from does not matter.
#pragma once

#include "pelvane/trust/ChannelManifest.h"
#include "pelvane/trust/SerialStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelvane
{
class ManifestTrust
{
public:
    // An expiry is honoured this long after it passed, for clients whose
    // clock runs slow.
    static constexpr std::int64_t CLOCK_SKEW_SECONDS = 24 * 3600;

    ManifestTrust(std::string pin, std::string product, std::string channel, SerialStore serials);

    struct Verdict
    {
        std::int32_t apiError = 0; // API_OK
        std::string reason;        // the log line of a refusal
    };
    // The checks, silent: API_OK with `manifest` set, or the refusal.
    Verdict judge(std::string_view bytes, std::optional<ChannelManifest>& manifest,
                  std::int64_t now) const;
    // judge, with a refusal logged as an error.
    std::int32_t accept(std::string_view bytes, std::optional<ChannelManifest>& manifest,
                        std::int64_t now) const;
    // Remembers the serial of an accepted top level; a state file that cannot
    // be written is logged and does not fail the run.
    void remember(const ChannelManifest& manifest) const;

    // The file list `compressed` when it is the one `entry` names (size and
    // SHA-256 of the compressed bytes, then product, channel, version and
    // counts); false with `problem` set otherwise.
    bool acceptList(const ChannelVersion& entry, std::string_view compressed,
                    ManifestVersion& version, std::string& problem) const;

private:
    std::string m_pin;
    std::string m_product;
    std::string m_channel;
    SerialStore m_serials;
};
} // namespace pelvane

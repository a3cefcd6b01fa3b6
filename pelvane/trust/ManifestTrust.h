// Whether one copy of manifest.json is to be believed: signed by the pinned
// key over its exact bytes, for this product and channel, not expired, and
// not older than a serial this client has already accepted. Each refusal is
// logged with its reason. No network: the caller brings the bytes, and
// since every check is on signed bytes, where they came from does not matter.
#pragma once

#include "pelvane/trust/Manifest.h"
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

    // API_OK with `manifest` set, or the code that refuses the copy.
    std::int32_t accept(std::string_view bytes, std::string_view signature,
                        std::optional<Manifest>& manifest, std::int64_t now) const;
    // Remembers the serial of an accepted manifest; a state file that cannot
    // be written is logged and does not fail the run.
    void remember(const Manifest& manifest) const;

private:
    std::string m_pin;
    std::string m_product;
    std::string m_channel;
    SerialStore m_serials;
};
} // namespace pelvane

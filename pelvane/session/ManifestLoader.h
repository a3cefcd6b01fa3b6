// Fetches manifest.json and its signature from the mirrors in order and
// accepts the first copy that is authentic and current: signed by the pinned
// key, for this product and channel, not expired, and not older than a
// serial this client has already accepted. A mirror that is down, answers
// 5xx or serves anything that fails a check is passed over for the next one;
// since every check is on signed bytes, a mirror needs no trust.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/Manifest.h"
#include "pelvane/trust/SerialStore.h"

#include <chrono>
#include <optional>

namespace pelvane
{
class ManifestLoader
{
public:
    // An expiry is honoured this long after it passed, for clients whose
    // clock runs slow.
    static constexpr std::int64_t CLOCK_SKEW_SECONDS = 24 * 3600;

    ManifestLoader(const UpdateConfig& config, const CancelToken& cancel, SerialStore serials);

    struct Loaded
    {
        FetchResult result; // of the last mirror tried when none served
        std::optional<Manifest> manifest;
        std::size_t mirror = 0; // index of the mirror that served it
    };
    Loaded load();

    // The checks on one copy, without the network; API_OK or the code that refuses it.
    std::int32_t accept(std::string_view bytes, std::string_view signature,
                        std::optional<Manifest>& manifest, std::int64_t now) const;

private:
    FetchResult fetchFrom(HttpFetcher& fetcher, const std::string& url, std::string& bytes,
                          std::string& signature);

    const UpdateConfig& m_config;
    const CancelToken& m_cancel;
    SerialStore m_serials;
};
} // namespace pelvane

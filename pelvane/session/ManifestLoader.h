// Fetches manifest.json and its signature from the mirrors in order and
// keeps the first copy that ManifestTrust accepts. A mirror that is down,
// answers 5xx or serves anything that fails a check is passed over for the
// next one; since every check is on signed bytes, a mirror needs no trust.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/Manifest.h"
#include "pelvane/trust/ManifestTrust.h"
#include "pelvane/trust/SerialStore.h"

#include <optional>

namespace pelvane
{
class ManifestLoader
{
public:
    ManifestLoader(const UpdateConfig& config, const CancelToken& cancel, SerialStore serials);

    struct Loaded
    {
        Outcome outcome; // of the last mirror tried when none served
        std::optional<Manifest> manifest;
        std::size_t mirror = 0; // index of the mirror that served it
    };
    Loaded load();

private:
    // The manifest of one mirror, fetched and judged.
    Outcome loadFrom(HttpFetcher& fetcher, std::size_t mirror, Loaded& loaded);
    // Both files, with the usual retries.
    FetchResult fetchFrom(HttpFetcher& fetcher, const std::string& url, std::string& bytes,
                          std::string& signature);

    const UpdateConfig& m_config;
    const CancelToken& m_cancel;
    ManifestTrust m_trust;
};
} // namespace pelvane

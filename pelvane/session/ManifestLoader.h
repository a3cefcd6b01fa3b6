// Fetches channel.qor, the signed top level, from the mirrors in order and
// keeps the first copy that ManifestTrust accepts. A mirror that is down,
// answers 5xx or serves anything that fails a check is passed over for the
// next one; since every check is on signed bytes, a mirror needs no trust.
// The copy accepted last is cached (ChannelCache) and the next run asks
// whether it changed: a 304 costs one small request, and the cached copy,
// judged like a fresh one, then stands for the answer. A client older than
// every version listed gets the versions between from the channel's history
// (HistoryLoader), so that the manifest it returns holds them all.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/ChannelCache.h"
#include "pelvane/trust/ChannelManifest.h"
#include "pelvane/trust/ManifestTrust.h"
#include "pelvane/trust/SerialStore.h"

#include <optional>

namespace pelvane
{
class ManifestLoader
{
public:
    // `pool`: the session's connections, kept open for the download to go on
    // with (none: a connection of the load's own).
    ManifestLoader(const UpdateConfig& config, const CancelToken& cancel, SerialStore serials,
                   ChannelCache cache, TransferPool* pool = nullptr);

    struct Loaded
    {
        Outcome outcome; // of the last mirror tried when none served
        std::optional<ChannelManifest> manifest;
        std::size_t mirror = 0; // index of the mirror that served it
    };
    Loaded load();

private:
    // The top level of one mirror, fetched and judged.
    Outcome loadFrom(HttpFetcher& fetcher, std::size_t mirror, Loaded& loaded);
    // channel.qor with the usual retries; conditional while `m_cached` stands.
    FetchResult fetchFrom(HttpFetcher& fetcher, const std::string& url, std::string& bytes,
                          Validators& validators);
    // The cached copy when it would still be accepted; dropped (WARN) when not.
    void judgeCache(std::int64_t now);
    // Called when channel.qor is missing: a format 2 repository is told apart
    // from an empty one by one more request.
    Outcome missingChannel(HttpFetcher& fetcher, std::size_t mirror, const FetchResult& fetched);
    void keepInCache(std::size_t mirror, const std::string& bytes, const Validators& validators);

    const UpdateConfig& m_config;
    const CancelToken& m_cancel;
    TransferPool* m_pool;
    ManifestTrust m_trust;
    ChannelCache m_cache;
    std::optional<ChannelCache::Entry> m_cached;
    std::optional<ChannelManifest> m_cachedManifest;
};
} // namespace pelvane

// Fetches the file lists of the versions a run needs (and no others), each
// from the first mirror that serves the very list channel.qor names (its
// size and SHA-256), with the usual retries. A mirror that serves another
// list is passed over; a list that no mirror serves right fails the run
// with code 8, before anything is written.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/ChannelManifest.h"
#include "pelvane/trust/ManifestTrust.h"

#include <vector>

namespace pelvane
{
class FileListLoader
{
public:
    FileListLoader(const UpdateConfig& config, HttpFetcher& fetcher, const CancelToken& cancel);

    // `lists[i]` is the version `run[i]` with its files.
    Outcome load(const std::vector<ChannelVersion>& run, std::vector<ManifestVersion>& lists);

    // One metadata object of at most maxBytes, with the usual retries under
    // the metadata deadline (a trickling mirror cannot hold them longer);
    // a longer body reads as API_HASH.
    static FetchResult fetchBounded(HttpFetcher& fetcher, const UpdateConfig& config,
                                    const CancelToken& cancel, const std::string& url,
                                    std::size_t maxBytes, std::string& bytes);

private:
    Outcome loadFrom(std::size_t mirror, const ChannelVersion& entry, ManifestVersion& list);

    const UpdateConfig& m_config;
    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
    ManifestTrust m_trust;
};
} // namespace pelvane

// Brings the entries of the channel's history (ChannelHistory) that a run
// needs and channel.qor no longer lists: only for a client older than every
// version listed (or with nothing installed), and only back to the object
// that reaches its version. Each object is taken from the first mirror that
// serves the very bytes the link before it names, starting with the mirror
// that served channel.qor; a chain that no mirror serves right fails the run
// with code 8 before anything is written.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/session/UpdateConfig.h"
#include "pelvane/trust/ChannelHistory.h"

namespace pelvane
{
class HistoryLoader
{
public:
    HistoryLoader(const UpdateConfig& config, HttpFetcher& fetcher, const CancelToken& cancel);

    // Whether `top` lacks versions newer than the installed one.
    static bool needed(const ChannelManifest& top, const std::optional<VersionNumber>& installed);
    // Adds those versions to `top`.
    Outcome load(ChannelManifest& top, std::size_t servingMirror);

private:
    Outcome takeFrom(std::size_t mirror, HistoryChain& chain);

    const UpdateConfig& m_config;
    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
};
} // namespace pelvane

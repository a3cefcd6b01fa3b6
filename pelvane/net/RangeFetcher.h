// Fetches byte ranges of one resource: several ranges per request
// (a multipart/byteranges answer) where the server allows it, one range per
// request once it has shown that it does not, and a clear "ranges refused"
// when it answers with the whole resource or 416. A cut or a transient
// failure is retried like a whole file (Retries), asking again only for
// what has not arrived; the sink says what is still missing. An answer of
// mostly other ranges than asked counts as a failed try; once the tries are
// spent on such answers, the server counts as one that refuses ranges.
#pragma once

#include "pelvane/net/ByteRange.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/net/RangeAnswer.h"

#include <atomic>
#include <string>
#include <vector>

namespace pelvane
{
// What the servers of a run have shown about ranges, shared by the range
// fetchers of its parallel transfers.
struct RangeSupport
{
    std::atomic<bool> singleRangeOnly{false};
    std::atomic<bool> refused{false};
};

class RangeFetcher
{
public:
    // Keeps the Range header well under the 4-8 KiB that servers accept.
    static constexpr std::size_t MAX_RANGES_PER_REQUEST = 64;

    // Without `learned` the fetcher keeps what it learns to itself.
    RangeFetcher(HttpFetcher& fetcher, const CancelToken& cancel,
                 RangeSupport* learned = nullptr);

    // Until sink.missing() is empty. `refused` is set when the server will
    // not serve ranges of this resource: fetch it whole instead.
    FetchResult fetch(const std::string& url, RangeSink& sink, bool& refused);

    bool singleRangeOnly() const { return m_learned.singleRangeOnly; }
    // Once a server ignored ranges, later files go straight to whole downloads.
    bool rangesRefused() const { return m_learned.refused; }
    std::size_t requestCount() const { return m_requests; }
    const CancelToken& cancel() const { return m_cancel; }

private:
    HttpFetcher& m_fetcher;
    const CancelToken& m_cancel;
    RangeSupport m_own;
    RangeSupport& m_learned;
    std::size_t m_requests = 0;
};
} // namespace pelvane

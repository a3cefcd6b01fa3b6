#include "pelvane/net/RangeFetcher.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/Retries.h"

namespace pelvane
{
namespace
{
std::string rangeHeaderValue(const std::vector<ByteRange>& ranges, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
    {
        if (!text.empty())
        {
            text += ',';
        }
        text += std::to_string(ranges[i].first) + "-" + std::to_string(ranges[i].last);
    }
    return text;
}

// What one answer means for the requests after it.
enum class Next
{
    Judged,   // the result stands: go on, retry or fail by it
    AskAgain, // at once, one range per request
    Refused,  // no ranges from this server: fetch the file whole
};

std::uint64_t bytesIn(const std::vector<ByteRange>& ranges, std::size_t count)
{
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        total += ranges[i].size();
    }
    return total;
}

// `wasted` is set when the answer brought more bytes that were not asked
// for than bytes that were: a failed try like any other, so that the three
// tries decide and not the number of ranges.
Next judge(const std::string& url, const RangeAnswer& answer, std::size_t count,
           FetchResult& result, RangeSupport& learned, bool& wasted)
{
    wasted = false;
    if (answer.wholeAnswer() || result.secondary == 416)
    {
        if (count > 1)
        {
            // a parallel transfer may have learned it first: ask again either way
            if (!learned.singleRangeOnly.exchange(true))
            {
                PELVANE_LOG_INFO("The server answers no multi-range request; one range per "
                                 "request from now on");
            }
            return Next::AskAgain;
        }
        learned.refused = true;
        return Next::Refused;
    }
    if (answer.unusable())
    {
        // a 206 this parser cannot follow: the whole file is still there
        PELVANE_LOG_WARN("Unusable range answer from " << url);
        return Next::Refused;
    }
    if (answer.cutForWaste() || answer.wasted() > answer.used())
    {
        PELVANE_LOG_WARN("Range answer from " << url << " brought " << answer.wasted()
                                              << " bytes not asked for, " << answer.used()
                                              << " asked for");
        result = FetchResult::retryable(Outcome::http(result.primary, result.secondary));
        wasted = true;
        return Next::Judged;
    }
    if (count > 1 && answer.parts() == 1 && !answer.multipart() &&
        !learned.singleRangeOnly.exchange(true))
    {
        PELVANE_LOG_INFO("The server answered several ranges with one; one range per "
                         "request from now on");
    }
    if (result.ok() && answer.used() == 0)
    {
        // an answer without any wanted byte would otherwise repeat forever
        result.apiError = API_HTTP;
        result.transient = true;
    }
    return Next::Judged;
}
} // namespace

RangeFetcher::RangeFetcher(HttpFetcher& fetcher, const CancelToken& cancel,
                           RangeSupport* learned)
    : m_fetcher(fetcher), m_cancel(cancel), m_learned(learned != nullptr ? *learned : m_own)
{
}

FetchResult RangeFetcher::fetch(const std::string& url, RangeSink& sink, bool& refused)
{
    refused = false;
    Retries retries(m_cancel, Retries::Names{"Range request", url, "ranges of " + url});
    // a server that answers each range only in part must not keep us asking
    std::size_t requestsLeft = sink.missing().size() * 2 + 16;
    for (;;)
    {
        const std::vector<ByteRange> missing = sink.missing();
        if (missing.empty())
        {
            return {};
        }
        if (requestsLeft-- == 0)
        {
            PELVANE_LOG_WARN("Too many range requests for " << url);
            refused = true;
            return {};
        }
        if (m_learned.refused)
        {
            refused = true;
            return {};
        }
        const std::size_t count =
            std::min(missing.size(), m_learned.singleRangeOnly ? std::size_t{1} : MAX_RANGES_PER_REQUEST);
        RangeAnswer answer(sink, bytesIn(missing, count));
        ++m_requests;
        FetchResult result = m_fetcher.fetchRanges(url, rangeHeaderValue(missing, count), answer);
        bool wasted = false;
        const Next next =
            judge(url, answer, count, result, m_learned, wasted);
        if (next == Next::Refused)
        {
            refused = true;
            return {};
        }
        if (next == Next::AskAgain || result.ok())
        {
            continue;
        }
        if (!retries.tryAgain(result))
        {
            if (wasted && !result.is(API_CANCELED))
            {
                // the whole file is still there, on this server or the next
                PELVANE_LOG_WARN("The server answers other ranges than asked for: no more "
                                 "ranges from it");
                m_learned.refused = true;
                refused = true;
                return {};
            }
            return result;
        }
    }
}
} // namespace pelvane

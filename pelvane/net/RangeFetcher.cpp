#include "pelvane/net/RangeFetcher.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/HeaderText.h"
#include "pelvane/net/Retries.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace pelvane
{
namespace
{
constexpr std::size_t MAX_LINE = 4096;

using headertext::startsWithNoCase;
using headertext::trimmed;

// "bytes 100-199/1000" -> first 100, last 199
bool parseContentRange(std::string_view value, ByteRange& range)
{
    value = trimmed(value);
    if (!startsWithNoCase(value, "bytes ") || value.size() < 7 ||
        !std::isdigit(static_cast<unsigned char>(value[6])))
    {
        return false;
    }
    const std::string text(value.substr(6));
    char* end = nullptr;
    range.first = std::strtoull(text.c_str(), &end, 10);
    if (end == nullptr || *end != '-' || !std::isdigit(static_cast<unsigned char>(end[1])))
    {
        return false;
    }
    range.last = std::strtoull(end + 1, &end, 10);
    return range.last >= range.first;
}

// Reads the answer to one range request: a whole 200 (noted, and the
// transfer stopped at once), one 206 range, or a multipart/byteranges body.
class RangeAnswer : public FetchSink
{
public:
    explicit RangeAnswer(RangeSink& target) : m_target(target) {}

    void header(std::string_view line) override
    {
        if (startsWithNoCase(line, "HTTP/"))
        {
            const std::size_t space = line.find(' ');
            m_status =
                space == std::string_view::npos
                    ? 0
                    : std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
            m_boundary.clear();
            m_single = ByteRange{};
            m_haveSingle = false;
        }
        else if (startsWithNoCase(line, "Content-Range:"))
        {
            m_haveSingle = parseContentRange(line.substr(14), m_single);
        }
        else if (startsWithNoCase(line, "Content-Type:"))
        {
            const std::string_view value = trimmed(line.substr(13));
            const std::size_t at = value.find("boundary=");
            if (startsWithNoCase(value, "multipart/byteranges") && at != std::string_view::npos)
            {
                std::string_view boundary = value.substr(at + 9);
                boundary = boundary.substr(0, boundary.find(';'));
                if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
                {
                    boundary = boundary.substr(1, boundary.size() - 2);
                }
                m_boundary = std::string(boundary);
            }
        }
    }

    int start(std::uint64_t, const std::string&, const std::string&) override
    {
        if (m_status == 200)
        {
            m_wholeAnswer = true;
            return ECANCELED; // not a byte of it is wanted
        }
        if (m_status != 206 || (m_boundary.empty() && !m_haveSingle))
        {
            return malformed();
        }
        m_multipart = !m_boundary.empty();
        m_state = m_multipart ? State::BetweenParts : State::Body;
        if (!m_multipart)
        {
            m_offset = m_single.first;
            m_left = m_single.size();
            m_parts = 1;
        }
        return 0;
    }

    int write(const char* data, std::size_t size) override
    {
        while (size > 0)
        {
            if (m_state == State::Body)
            {
                if (m_left == 0)
                {
                    return malformed(); // more than the range said
                }
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(m_left, size));
                if (const int error = m_target.accept(m_offset, data, take))
                {
                    return error;
                }
                m_accepted += take;
                m_offset += take;
                m_left -= take;
                data += take;
                size -= take;
                if (m_left == 0 && m_multipart)
                {
                    m_state = State::BetweenParts;
                }
                continue;
            }
            if (m_state == State::Done)
            {
                return 0; // the epilogue
            }
            const char c = *data++;
            --size;
            if (c != '\n')
            {
                m_line.push_back(c);
                if (m_line.size() > MAX_LINE)
                {
                    return malformed();
                }
                continue;
            }
            const int error = endOfLine(trimmed(m_line));
            m_line.clear();
            if (error != 0)
            {
                return error;
            }
        }
        return 0;
    }

    bool wholeAnswer() const { return m_wholeAnswer; }
    bool unusable() const { return m_unusable; }
    std::size_t parts() const { return m_parts; }
    std::uint64_t accepted() const { return m_accepted; }
    bool multipart() const { return m_multipart; }

private:
    int malformed()
    {
        m_unusable = true;
        return EPROTO;
    }

    enum class State
    {
        BetweenParts,
        PartHeaders,
        Body,
        Done
    };

    int endOfLine(std::string_view line)
    {
        if (m_state == State::BetweenParts)
        {
            if (line == "--" + m_boundary)
            {
                m_state = State::PartHeaders;
                m_havePartRange = false;
            }
            else if (line == "--" + m_boundary + "--")
            {
                m_state = State::Done;
            }
            return 0; // preamble and the blank line after a part
        }
        if (!line.empty())
        {
            if (startsWithNoCase(line, "Content-Range:"))
            {
                m_havePartRange = parseContentRange(line.substr(14), m_partRange);
            }
            return 0;
        }
        if (!m_havePartRange)
        {
            return malformed();
        }
        m_offset = m_partRange.first;
        m_left = m_partRange.size();
        m_state = State::Body;
        ++m_parts;
        return 0;
    }

    RangeSink& m_target;
    long m_status = 0;
    std::string m_boundary;
    ByteRange m_single;
    bool m_haveSingle = false;
    bool m_wholeAnswer = false;
    bool m_unusable = false;
    bool m_multipart = false;
    State m_state = State::Done;
    std::string m_line;
    ByteRange m_partRange;
    bool m_havePartRange = false;
    std::uint64_t m_offset = 0;
    std::uint64_t m_left = 0;
    std::uint64_t m_accepted = 0;
    std::size_t m_parts = 0;
};

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

Next judge(const std::string& url, const RangeAnswer& answer, std::size_t count,
           FetchResult& result, bool& singleRangeOnly, bool& rangesRefused)
{
    if (answer.wholeAnswer() || result.secondary == 416)
    {
        if (count > 1 && !singleRangeOnly)
        {
            PELVANE_LOG_INFO("The server answers no multi-range request; one range per "
                             "request from now on");
            singleRangeOnly = true;
            return Next::AskAgain;
        }
        rangesRefused = true;
        return Next::Refused;
    }
    if (answer.unusable())
    {
        // a 206 this parser cannot follow: the whole file is still there
        PELVANE_LOG_WARN("Unusable range answer from " << url);
        return Next::Refused;
    }
    if (count > 1 && answer.parts() == 1 && !answer.multipart() && !singleRangeOnly)
    {
        PELVANE_LOG_INFO("The server answered several ranges with one; one range per "
                         "request from now on");
        singleRangeOnly = true;
    }
    if (result.ok() && answer.accepted() == 0)
    {
        // an answer without any wanted byte would otherwise repeat forever
        result.apiError = API_HTTP;
        result.transient = true;
    }
    return Next::Judged;
}
} // namespace

RangeFetcher::RangeFetcher(HttpFetcher& fetcher, const CancelToken& cancel)
    : m_fetcher(fetcher), m_cancel(cancel)
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
        if (m_rangesRefused)
        {
            refused = true;
            return {};
        }
        const std::size_t count =
            std::min(missing.size(), m_singleRangeOnly ? std::size_t{1} : MAX_RANGES_PER_REQUEST);
        RangeAnswer answer(sink);
        ++m_requests;
        FetchResult result = m_fetcher.fetchRanges(url, rangeHeaderValue(missing, count), answer);
        const Next next = judge(url, answer, count, result, m_singleRangeOnly, m_rangesRefused);
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
            return result;
        }
    }
}
} // namespace pelvane

#include "pelvane/net/HttpFetcher.h"

#include "platform/ProxySettings.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/net/HeaderText.h"
#include "pelvane/net/TransferPool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

namespace pelvane
{
namespace
{
// Larger receive buffers mean fewer trips through libcurl's loop, our write
// callback and write(2) per byte on a fast link (profiled: about a tenth less
// CPU per GiB than 512 KiB, for 1.5 MiB more memory).
constexpr long CURL_BUFFER_BYTES = 2L * 1024L * 1024L;
// A pool's transfers share the link: each gets less, and there are many.
constexpr long POOLED_BUFFER_BYTES = 512L * 1024L;
constexpr std::size_t MAX_DISCARDED_BODY = 64U * 1024U;
constexpr int POLL_INTERVAL_MS = 100;

using headertext::startsWithNoCase;

std::int64_t retryAfterMs(const std::string& value)
{
    return headertext::retryAfterMs(value, static_cast<std::int64_t>(std::time(nullptr)));
}

// The proxy for url, from the same sources as the program's proxy
// discovery (the environment, else the desktop's settings); empty for none.
std::string proxyFor(const std::string& url)
{
    const std::size_t colon = url.find("://");
    return colon == std::string::npos ? std::string()
                                      : platform::proxyUrlForScheme(url.substr(0, colon));
}

// X509_V_ERR_HOSTNAME_MISMATCH: reported when the chain is fine but the name is not
constexpr long HOST_NAME_MISMATCH = 62;

bool isTlsFailure(CURLcode code)
{
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
           code == CURLE_SSL_CERTPROBLEM || code == CURLE_SSL_ISSUER_ERROR;
}

bool isTransientCurlCode(CURLcode code)
{
    switch (code)
    {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
        return true;
    default:
        return false;
    }
}
} // namespace

struct HttpFetcher::Response
{
    FetchSink* sink = nullptr;
    std::uint64_t resumeOffset = 0;
    bool fileScheme = false;
    bool explicitRanges = false; // fetchRanges: the sink judges the answer
    // per answer, reset at every status line
    long status = 0;
    std::string etag;
    std::string lastModified;
    std::string retryAfter;
    bool wwwAuthenticate = false;
    std::string wwwAuthenticateValue;
    std::int64_t contentRangeStart = -1;
    bool started = false;
    std::size_t discarded = 0;
    // per transfer
    std::string proxyChallenge; // Proxy-Authenticate of a 407 on the way
    int sinkError = 0;
    bool badRange = false;
    std::chrono::steady_clock::time_point lastActivity;
    // the minimum rate: bytes of headers and body since the window began,
    // which is when the request went out (unset until then)
    std::optional<std::chrono::steady_clock::time_point> windowStart;
    std::uint64_t windowBytes = 0;
    std::uint64_t slowWindowBytes = 0; // what the window that failed brought
};

HttpFetcher::HttpFetcher(const TransferSettings& settings, const CancelToken& cancel,
                         TransferPool* pool)
    : m_settings(settings), m_cancel(cancel), m_pool(pool)
{
    CURL* easy = m_easy.get();
    if (easy == nullptr)
    {
        return;
    }
    if (m_pool != nullptr)
    {
        // a transfer waits for a connection that may turn out to multiplex
        // (HTTP/2) rather than open one more
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE,
                     m_pool != nullptr ? POOLED_BUFFER_BYTES : CURL_BUFFER_BYTES);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Pelvane/1.0");
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpFetcher::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpFetcher::onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    // Administrators point both curl and OpenSSL at a company bundle this way;
    // the system's certificate folder stays trusted beside it.
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
    {
        const char* bundle = std::getenv(name);
        if (bundle != nullptr && bundle[0] != '\0')
        {
            curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
            break;
        }
    }
    if (!settings.proxyUser.empty())
    {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, settings.proxyUser.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, settings.proxyPassword.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
}

size_t HttpFetcher::onHeader(char* data, size_t size, size_t count, void* self)
{
    auto* fetcher = static_cast<HttpFetcher*>(self);
    Response& response = *fetcher->m_response;
    const std::string_view line(data, size * count);
    response.lastActivity = std::chrono::steady_clock::now();
    response.windowBytes += line.size();
    if (startsWithNoCase(line, "HTTP/"))
    {
        // a new answer (after a redirect, a 401 challenge or a 100 Continue)
        response.status = headertext::statusCode(line);
        response.etag.clear();
        response.lastModified.clear();
        response.retryAfter.clear();
        response.wwwAuthenticate = false;
        response.wwwAuthenticateValue.clear();
        response.contentRangeStart = -1;
        response.started = false;
        response.discarded = 0;
    }
    else if (const auto etag = headertext::valueOf(line, "ETag:"))
    {
        response.etag = std::string(*etag);
    }
    else if (const auto modified = headertext::valueOf(line, "Last-Modified:"))
    {
        response.lastModified = std::string(*modified);
    }
    else if (const auto retryAfter = headertext::valueOf(line, "Retry-After:"))
    {
        response.retryAfter = std::string(*retryAfter);
    }
    else if (const auto challenge = headertext::valueOf(line, "WWW-Authenticate:"))
    {
        response.wwwAuthenticate = true;
        response.wwwAuthenticateValue = std::string(*challenge);
    }
    else if (const auto proxyChallenge = headertext::valueOf(line, "Proxy-Authenticate:"))
    {
        response.proxyChallenge = std::string(*proxyChallenge);
    }
    else if (const auto range = headertext::valueOf(line, "Content-Range:"))
    {
        const std::optional<ByteRange> parsed = headertext::contentRange(*range);
        response.contentRangeStart =
            parsed && parsed->first <= static_cast<std::uint64_t>(INT64_MAX)
                ? static_cast<std::int64_t>(parsed->first)
                : -1;
    }
    if (response.sink != nullptr)
    {
        response.sink->header(line);
    }
    return size * count;
}

size_t HttpFetcher::onWrite(char* data, size_t size, size_t count, void* self)
{
    auto* fetcher = static_cast<HttpFetcher*>(self);
    Response& response = *fetcher->m_response;
    const std::size_t total = size * count;
    response.lastActivity = std::chrono::steady_clock::now();
    response.windowBytes += total;
    if (response.sink == nullptr)
    {
        return total;
    }
    if (!response.started)
    {
        const bool full = response.status == 200 || (response.fileScheme && response.status == 0);
        const bool partial = response.status == 206;
        if (!full && !partial)
        {
            // the body of an error answer: not ours to keep
            response.discarded += total;
            return response.discarded > MAX_DISCARDED_BODY ? 0 : total;
        }
        std::uint64_t offset = 0;
        if (partial && !response.explicitRanges)
        {
            if (response.resumeOffset == 0 ||
                response.contentRangeStart != static_cast<std::int64_t>(response.resumeOffset))
            {
                response.badRange = true;
                return 0;
            }
            offset = response.resumeOffset;
        }
        response.started = true;
        response.sinkError = response.sink->start(offset, response.etag, response.lastModified);
        if (response.sinkError != 0)
        {
            return 0;
        }
    }
    response.sinkError = response.sink->write(data, total);
    return response.sinkError == 0 ? total : 0;
}

FetchResult HttpFetcher::fetch(const std::string& url, FetchSink& sink, std::uint64_t resumeOffset,
                               const std::string& ifRange)
{
    return perform(url, &sink, resumeOffset, ifRange, nullptr, std::chrono::milliseconds(0));
}

FetchResult HttpFetcher::fetchRanges(const std::string& url, const std::string& ranges,
                                     FetchSink& sink)
{
    m_ranges = ranges;
    const FetchResult result = perform(url, &sink, 0, {}, nullptr, std::chrono::milliseconds(0));
    m_ranges.clear();
    return result;
}

FetchResult HttpFetcher::fetchText(const std::string& url, std::size_t maxBytes, std::string& text,
                                   const Deadline& deadline)
{
    Validators ignored;
    return fetchTextIfChanged(url, maxBytes, Validators(), text, ignored, deadline);
}

FetchResult HttpFetcher::fetchTextIfChanged(const std::string& url, std::size_t maxBytes,
                                            const Validators& since, std::string& text,
                                            Validators& received, const Deadline& deadline)
{
    class TextSink : public FetchSink
    {
    public:
        TextSink(std::string& out, std::size_t limit, Validators& validators)
            : m_out(out), m_limit(limit), m_validators(validators)
        {
        }
        int start(std::uint64_t, const std::string& etag, const std::string& lastModified) override
        {
            m_out.clear();
            m_validators = {etag, lastModified};
            return 0;
        }
        int write(const char* data, std::size_t size) override
        {
            if (m_out.size() + size > m_limit)
            {
                return TOO_LONG;
            }
            m_out.append(data, size);
            return 0;
        }

    private:
        std::string& m_out;
        std::size_t m_limit;
        Validators& m_validators;
    };
    received = {};
    TextSink sink(text, maxBytes, received);
    m_since = since.empty() ? nullptr : &since;
    const FetchResult result =
        perform(url, &sink, 0, {}, nullptr, std::chrono::milliseconds(0), deadline);
    m_since = nullptr;
    return result;
}

FetchResult HttpFetcher::post(const std::string& url, const std::string& body,
                              std::chrono::milliseconds limit)
{
    return perform(url, nullptr, 0, {}, &body, limit);
}

std::string HttpFetcher::configure(const std::string& url, const Response& response,
                                   const std::string& ifRange, const std::string* postBody,
                                   std::chrono::milliseconds limit, CurlHeaderList& headers)
{
    CURL* easy = m_easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    m_errorText[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_errorText);
    const bool secure = startsWithNoCase(url, "https:");
    // an https answer may never send us on over plain http
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    // The server password travels only inside TLS; libcurl itself keeps it
    // from another host after a redirect (CURLOPT_UNRESTRICTED_AUTH stays off).
    const bool sendPassword = secure && !m_settings.serverPassword.empty();
    if (!secure && !m_settings.serverPassword.empty() && !response.fileScheme &&
        m_settings.plainPasswordWarning.first())
    {
        PELVANE_LOG_WARN("NotesPswd is not sent over plain http: " << url);
    }
    curl_easy_setopt(easy, CURLOPT_USERNAME,
                     sendPassword ? m_settings.serverUser.c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_PASSWORD,
                     sendPassword ? m_settings.serverPassword.c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, sendPassword ? CURLAUTH_ANY : CURLAUTH_BASIC);
    // An empty proxy keeps libcurl from reading the environment on its own
    // rules; no_proxy is still honoured by libcurl.
    std::string proxy = proxyFor(url);
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
    const std::uint64_t resumeOffset = response.resumeOffset;
    // libcurl copies the range text
    const std::string range =
        response.explicitRanges ? m_ranges : std::to_string(resumeOffset) + "-";
    curl_easy_setopt(easy, CURLOPT_RANGE,
                     resumeOffset > 0 || response.explicitRanges ? range.c_str() : nullptr);
    if (resumeOffset > 0 && !ifRange.empty())
    {
        headers.add("If-Range: " + ifRange);
    }
    if (m_since != nullptr && !m_since->etag.empty())
    {
        headers.add("If-None-Match: " + m_since->etag);
    }
    if (m_since != nullptr && !m_since->lastModified.empty())
    {
        headers.add("If-Modified-Since: " + m_since->lastModified);
    }
    if (postBody != nullptr)
    {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(postBody->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, postBody->c_str());
        headers.add("Content-Type: application/json");
    }
    else
    {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    // libcurl keeps the list it is given: every line goes in before it is handed over
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
    return proxy;
}

bool HttpFetcher::windowFastEnough(Response& response, std::chrono::steady_clock::time_point now)
{
    const TransferLimits& limits = m_settings.limits;
    if (limits.minRateBytes == 0 || response.fileScheme)
    {
        return true;
    }
    if (!response.windowStart)
    {
        // the window opens when the request has gone out: the connect
        // time-out bounds what comes before
        curl_off_t sentAfter = 0;
        if (curl_easy_getinfo(m_easy.get(), CURLINFO_PRETRANSFER_TIME_T, &sentAfter) == CURLE_OK &&
            sentAfter > 0)
        {
            response.windowStart = now;
            response.windowBytes = 0;
        }
        return true;
    }
    if (now - *response.windowStart < limits.minRateWindow)
    {
        return true;
    }
    if (response.windowBytes < limits.minRateBytes)
    {
        response.slowWindowBytes = response.windowBytes;
        return false;
    }
    response.windowStart = now;
    response.windowBytes = 0;
    return true;
}

// The checks of a running transfer, on whichever thread drives it: the
// callbacks that move its clocks run on that thread too.
class HttpFetcher::Watch : public TransferPool::Transfer
{
public:
    using Clock = TransferPool::Clock;
    Watch(HttpFetcher& fetcher, Response& response, std::chrono::milliseconds limit,
          const Deadline& deadline)
        : m_fetcher(fetcher), m_response(response), m_limit(limit), m_deadline(deadline)
    {
    }
    bool canceled() const override { return m_fetcher.m_cancel.canceled(); }
    void begin(Clock::time_point now) override
    {
        m_begin = now;
        m_response.lastActivity = now;
    }
    bool keepGoing(Clock::time_point now) override
    {
        m_ended = verdict(now);
        return m_ended == Ended::Done;
    }
    Ended ended() const { return m_ended; }
    const Deadline& deadline() const { return m_deadline; }

private:
    Ended verdict(Clock::time_point now)
    {
        if (canceled())
        {
            return Ended::Canceled;
        }
        if (now - m_response.lastActivity >
            std::chrono::milliseconds(m_fetcher.m_settings.stallTimeoutMs))
        {
            return Ended::Stalled;
        }
        if (!m_fetcher.windowFastEnough(m_response, now))
        {
            return Ended::TooSlow;
        }
        if (m_deadline.passed(now))
        {
            return Ended::DeadlinePassed;
        }
        if (m_limit.count() > 0 && now - m_begin > m_limit)
        {
            return Ended::OutOfTime;
        }
        return Ended::Done;
    }

    HttpFetcher& m_fetcher;
    Response& m_response;
    std::chrono::milliseconds m_limit;
    const Deadline& m_deadline;
    Clock::time_point m_begin;
    Ended m_ended = Ended::Done;
};

HttpFetcher::Ended HttpFetcher::drive(Watch& watch, CURLcode& code)
{
    CURLM* multi = m_multi.get();
    if (curl_multi_add_handle(multi, m_easy.get()) != CURLM_OK)
    {
        code = CURLE_FAILED_INIT;
        return Ended::Done;
    }
    watch.begin(std::chrono::steady_clock::now());
    Ended ended = Ended::Done;
    for (;;)
    {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
        {
            code = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0)
        {
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued))
            {
                if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy.get())
                {
                    code = message->data.result;
                }
            }
            break;
        }
        if (!watch.keepGoing(std::chrono::steady_clock::now()))
        {
            ended = watch.ended();
            break;
        }
        curl_multi_poll(multi, nullptr, 0, POLL_INTERVAL_MS, nullptr);
    }
    curl_multi_remove_handle(multi, m_easy.get());
    return ended;
}

FetchResult HttpFetcher::perform(const std::string& url, FetchSink* sink,
                                 std::uint64_t resumeOffset, const std::string& ifRange,
                                 const std::string* postBody, std::chrono::milliseconds limit,
                                 const Deadline& deadline)
{
    CURL* easy = m_easy.get();
    if (easy == nullptr || (m_pool == nullptr && !m_multi))
    {
        return Outcome::failure(API_INTERNAL, CURLE_FAILED_INIT);
    }
    Response response;
    response.sink = sink;
    response.resumeOffset = resumeOffset;
    response.fileScheme = startsWithNoCase(url, "file:");
    response.explicitRanges = !m_ranges.empty();
    response.lastActivity = std::chrono::steady_clock::now();
    CurlHeaderList headers;
    const std::string proxy = configure(url, response, ifRange, postBody, limit, headers);
    m_response = &response;
    Watch watch(*this, response, limit, deadline);
    CURLcode code = CURLE_OK;
    Ended ended = Ended::Done;
    if (m_pool != nullptr)
    {
        const TransferPool::Ended pooled = m_pool->run(easy, url, watch);
        code = pooled.code;
        // canceled while it waited for a connection, or stopped by the watch
        ended = !pooled.stopped                ? Ended::Done
                : watch.ended() == Ended::Done ? Ended::Canceled
                                               : watch.ended();
    }
    else
    {
        ended = drive(watch, code);
    }
    m_response = nullptr;
    if (ended == Ended::OutOfTime)
    {
        ended = Ended::Done;
        code = CURLE_OPERATION_TIMEDOUT;
    }

    if (ended == Ended::Canceled)
    {
        return Outcome::canceled();
    }
    // each of these fails like a stall: the network code with curl's time-out
    const Outcome timedOut =
        Outcome::network(CURLE_OPERATION_TIMEDOUT, static_cast<std::int32_t>(response.status));
    if (ended == Ended::Stalled)
    {
        PELVANE_LOG_WARN("No data for " << m_settings.stallTimeoutMs << " ms from " << url);
        return FetchResult::retryable(timedOut);
    }
    if (ended == Ended::TooSlow)
    {
        PELVANE_LOG_WARN("Too slow: " << response.slowWindowBytes << " bytes in "
                                      << m_settings.limits.minRateWindow.count()
                                      << " ms (at least " << m_settings.limits.minRateBytes
                                      << ") from " << url);
        return FetchResult::retryable(timedOut);
    }
    if (ended == Ended::DeadlinePassed)
    {
        PELVANE_LOG_WARN("Deadline of " << deadline.span().count() << " ms passed for " << url);
        return timedOut;
    }
    return classify(code, response, !proxy.empty());
}

std::int32_t HttpFetcher::certificateVerdict(CURLcode code) const
{
    long verdict = 0;
    curl_easy_getinfo(m_easy.get(), CURLINFO_SSL_VERIFYRESULT, &verdict);
    const std::string_view text(m_errorText);
    if (text.find("subject name") != std::string_view::npos ||
        text.find("does not match") != std::string_view::npos)
    {
        verdict = HOST_NAME_MISMATCH; // libcurl checks the name itself, after OpenSSL
    }
    PELVANE_LOG_WARN("TLS refused (curl " << static_cast<int>(code) << ", verification " << verdict
                                          << "): " << m_errorText);
    return static_cast<std::int32_t>(verdict);
}

FetchResult HttpFetcher::classify(CURLcode code, const Response& response, bool usedProxy) const
{
    long connectCode = 0;
    curl_easy_getinfo(m_easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectCode);
    const long status = response.status;
    const auto curl = static_cast<std::int32_t>(code);
    const auto http = static_cast<std::int32_t>(status);
    const auto result =
        [&response](const Outcome& outcome, bool transient = false, bool restartFromZero = false)
    {
        FetchResult fetched(outcome);
        fetched.transient = transient;
        fetched.restartFromZero = restartFromZero;
        fetched.retryAfterMs = retryAfterMs(response.retryAfter);
        return fetched;
    };

    if (response.sinkError != 0)
    {
        return response.sinkError == FetchSink::TOO_LONG
                   ? result(Outcome::failure(API_HASH, EFBIG, http))
                   : result(Outcome::failure(API_DISK, response.sinkError, http));
    }
    if (response.badRange)
    {
        return result(Outcome::http(curl, http), true, true);
    }
    if (connectCode == 407 || status == 407)
    {
        return result(Outcome::failure(API_PROXY_AUTH, curl, 407));
    }
    if (isTlsFailure(code))
    {
        // the certificate's verdict is worth more to an administrator than no status
        return result(Outcome::network(curl, certificateVerdict(code)));
    }
    if (code == CURLE_TOO_MANY_REDIRECTS || code == CURLE_UNSUPPORTED_PROTOCOL)
    {
        // a redirect loop, or one to a scheme we refuse (https to http)
        return result(Outcome::http(curl, http));
    }
    if (code != CURLE_OK && status < 400)
    {
        const Outcome failed = code == CURLE_FILE_COULDNT_READ_FILE ? Outcome::http(curl, http)
                                                                    : Outcome::network(curl, http);
        return result(failed, isTransientCurlCode(code));
    }
    if (status == 200 || status == 206 || (response.fileScheme && status == 0) ||
        (response.sink == nullptr && status >= 200 && status < 300))
    {
        // a success keeps its status: a file that then fails its hash reports it
        return result(Outcome::failure(API_OK, 0, http));
    }
    if (status == 401 && ((!response.wwwAuthenticate && usedProxy) ||
                          (!response.proxyChallenge.empty() &&
                           response.proxyChallenge == response.wwwAuthenticateValue)))
    {
        // some proxies refuse credentials with a 401 (bare, or carrying the
        // challenge of their own 407) instead of another 407
        return result(Outcome::failure(API_PROXY_AUTH, curl, http));
    }
    if (status == 401 || status == 403)
    {
        return result(Outcome::failure(API_SERVER_AUTH, curl, http));
    }
    if (status == 416)
    {
        return result(Outcome::http(curl, http), true, true);
    }
    return result(Outcome::http(curl, http), status == 408 || status == 429 || status >= 500);
}
} // namespace pelvane

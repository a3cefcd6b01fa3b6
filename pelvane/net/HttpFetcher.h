// One connection-reusing transfer engine for the library: fetches a URL
// (http, https verified against the system's store or the bundle named by
// CURL_CA_BUNDLE / SSL_CERT_FILE, file) into a sink, follows at most 5
// redirects (never from https to http), optionally
// resuming with a range guarded by If-Range, and says what went wrong in the
// library's own error codes. A transfer stops within about 100 ms of a
// cancel, when no byte arrives for the stall time-out, when a window of the
// transfer brings fewer bytes than the minimum rate asks (TransferLimits),
// and when the caller's deadline passes. Without a pool it drives its own
// connection on the calling thread; with one, its transfers share the
// pool's connections with the other fetchers of the run.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/base/OnceFlag.h"
#include "pelvane/base/Outcome.h"
#include "pelvane/net/CurlEasy.h"
#include "pelvane/net/Deadline.h"
#include "pelvane/net/TransferLimits.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelvane
{
struct TransferSettings
{
    std::int32_t connectTimeoutMs = 30000;
    std::int32_t stallTimeoutMs = 30000;
    std::string proxyUser; // empty: no proxy credentials
    std::string proxyPassword;
    std::string serverUser; // sent only when the server asks (401)
    std::string serverPassword;
    TransferLimits limits;
    // shared by every copy: the warning that the password stays home over
    // plain http is given once per run
    OnceFlag plainPasswordWarning;
};

// Receives the body of a usable answer.
class FetchSink
{
public:
    static constexpr int TOO_LONG = -1;
    virtual ~FetchSink() = default;
    // The body starts at `offset` of the whole resource (0 for a full answer).
    // Returns 0 or an errno.
    virtual int start(std::uint64_t offset, const std::string& etag,
                      const std::string& lastModified) = 0;
    // Returns 0, an errno, or TOO_LONG when the body exceeds what is expected.
    virtual int write(const char* data, std::size_t size) = 0;
    // Every header line of every answer, status lines included, for sinks
    // that need more than the validators (a multi-range answer's boundary).
    virtual void header(std::string_view line) { (void)line; }
};

// What a server said identifies the version of a resource it sent.
struct Validators
{
    std::string etag;
    std::string lastModified;
    bool empty() const { return etag.empty() && lastModified.empty(); }
};

// The Outcome of one transfer, with what the retry helper needs to know.
struct FetchResult : Outcome
{
    bool transient = false;         // worth another try
    std::int64_t retryAfterMs = -1; // the server's wish; -1 when it gave none
    bool restartFromZero = false;   // the resume offset was refused

    FetchResult() = default;
    // A final outcome: success, or a failure that no retry cures.
    FetchResult(const Outcome& outcome) : Outcome(outcome) {}
    static FetchResult retryable(const Outcome& outcome)
    {
        FetchResult result(outcome);
        result.transient = true;
        return result;
    }
};

class TransferPool;

class HttpFetcher
{
public:
    HttpFetcher(const TransferSettings& settings, const CancelToken& cancel,
                TransferPool* pool = nullptr);

    // resumeOffset 0: whole resource. With a resume offset and a validator the
    // server either continues (206) or, when the resource changed, sends it
    // whole (200); the sink learns which through start().
    FetchResult fetch(const std::string& url, FetchSink& sink, std::uint64_t resumeOffset = 0,
                      const std::string& ifRange = {});
    // Asks for the byte ranges `ranges` ("0-99,200-299"). The sink gets the
    // body of a 200 or 206 as it comes (start() with offset 0) and reads the
    // header lines to tell a whole answer, one range or a multipart one.
    FetchResult fetchRanges(const std::string& url, const std::string& ranges, FetchSink& sink);
    // A small bounded body into memory. Past `deadline` the transfer ends
    // like a stall, not worth another try (the deadline covers the tries).
    FetchResult fetchText(const std::string& url, std::size_t maxBytes, std::string& text,
                          const Deadline& deadline = {});
    // The same, asked for only if it changed since the answer that gave
    // `since` (If-None-Match, If-Modified-Since): an unchanged resource comes
    // back as HTTP 304 (API_HTTP, secondary 304, no body). `received` gets
    // the validators of a 200.
    FetchResult fetchTextIfChanged(const std::string& url, std::size_t maxBytes,
                                   const Validators& since, std::string& text,
                                   Validators& received, const Deadline& deadline = {});
    // Best effort; ends within `limit` whatever the server does.
    FetchResult post(const std::string& url, const std::string& body,
                     std::chrono::milliseconds limit);

private:
    struct Response;
    FetchResult perform(const std::string& url, FetchSink* sink, std::uint64_t resumeOffset,
                        const std::string& ifRange, const std::string* postBody,
                        std::chrono::milliseconds limit, const Deadline& deadline = {});
    enum class Ended
    {
        Done,
        Canceled,
        Stalled,
        TooSlow,
        DeadlinePassed,
        OutOfTime // the transfer's own limit (post)
    };
    class Watch;
    // Sets every option of one transfer; the proxy it goes through (empty: none).
    std::string configure(const std::string& url, const Response& response,
                          const std::string& ifRange, const std::string* postBody,
                          std::chrono::milliseconds limit, CurlHeaderList& headers);
    // The transfer's own loop, when there is no pool.
    Ended drive(Watch& watch, CURLcode& code);
    // Whether the window that just ended brought enough bytes; starts the next.
    bool windowFastEnough(Response& response, std::chrono::steady_clock::time_point now);
    FetchResult classify(CURLcode code, const Response& response, bool usedProxy) const;
    std::int32_t certificateVerdict(CURLcode code) const;

    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onWrite(char* data, size_t size, size_t count, void* self);

    TransferSettings m_settings;
    const CancelToken& m_cancel;
    TransferPool* m_pool;
    CurlEasy m_easy;
    CurlMulti m_multi; // without a pool
    Response* m_response = nullptr; // the transfer in progress
    std::string m_ranges;           // set only during fetchRanges
    const Validators* m_since = nullptr; // set only during fetchTextIfChanged
    char m_errorText[CURL_ERROR_SIZE] = {};
};
} // namespace pelvane

// Small readers of HTTP header lines, shared by the whole-file and the range
// fetchers: header names compare without case, values lose their blanks and
// line end, and every number or date a server sends is read with saturating
// arithmetic, so that no value it picks can overflow.
#pragma once

#include "pelvane/net/ByteRange.h"

#include <cctype>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelvane::headertext
{
inline bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
        {
            return false;
        }
    }
    return true;
}

inline std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '\t'))
    {
        text.remove_suffix(1);
    }
    return text;
}

// The trimmed value when `line` is the header `name` ("ETag:", any case).
std::optional<std::string_view> valueOf(std::string_view line, std::string_view name);

// The status of a status line ("HTTP/1.1 206 Partial Content" gives 206);
// 0 when it holds no three-digit status.
long statusCode(std::string_view statusLine);

// "bytes 100-199/1000" (or without "/1000") gives 100..199; nothing for another form, a range
// that ends before it starts, or numbers beyond 64 bits.
std::optional<ByteRange> contentRange(std::string_view value);

// Waits longer than this are all the same to a client that caps them.
inline constexpr std::int64_t FAR_FUTURE_MS = 24LL * 3600 * 1000;

// Retry-After as milliseconds from `nowSeconds` (Unix time): delta-seconds
// or an HTTP date, at most FAR_FUTURE_MS, 0 for a date in the past; -1 when
// empty or unreadable.
std::int64_t retryAfterMs(std::string_view value, std::int64_t nowSeconds);
} // namespace pelvane::headertext

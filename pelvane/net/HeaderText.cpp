#include "pelvane/net/HeaderText.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

namespace pelvane::headertext
{
namespace
{
bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The whole of `text` as a number; nothing when it overflows 64 bits.
std::optional<std::uint64_t> number(std::string_view text)
{
    std::uint64_t value = 0;
    if (!allDigits(text))
    {
        return std::nullopt;
    }
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (problem != std::errc() || end != text.data() + text.size())
    {
        return std::nullopt;
    }
    return value;
}

std::int64_t secondsToCappedMs(std::uint64_t seconds)
{
    return seconds >= static_cast<std::uint64_t>(FAR_FUTURE_MS / 1000)
               ? FAR_FUTURE_MS
               : static_cast<std::int64_t>(seconds) * 1000;
}
} // namespace

std::optional<std::string_view> valueOf(std::string_view line, std::string_view name)
{
    if (!startsWithNoCase(line, name))
    {
        return std::nullopt;
    }
    return trimmed(line.substr(name.size()));
}

long statusCode(std::string_view statusLine)
{
    const std::size_t space = statusLine.find(' ');
    if (!startsWithNoCase(statusLine, "HTTP/") || space == std::string_view::npos ||
        statusLine.size() < space + 4)
    {
        return 0;
    }
    const std::string_view digits = statusLine.substr(space + 1, 3);
    const bool endsThere = statusLine.size() == space + 4 || statusLine[space + 4] == ' ' ||
                           statusLine[space + 4] == '\r' || statusLine[space + 4] == '\n';
    const std::optional<std::uint64_t> status = number(digits);
    return status && endsThere ? static_cast<long>(*status) : 0;
}

std::optional<ByteRange> contentRange(std::string_view value)
{
    value = trimmed(value);
    if (!startsWithNoCase(value, "bytes "))
    {
        return std::nullopt;
    }
    value.remove_prefix(6);
    const std::size_t dash = value.find('-');
    // the "/complete-length" that servers add is not needed here
    const std::size_t slash = std::min(value.find('/'), value.size());
    if (dash == std::string_view::npos || slash < dash)
    {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> first = number(value.substr(0, dash));
    const std::optional<std::uint64_t> last = number(value.substr(dash + 1, slash - dash - 1));
    // the last byte of a 64-bit resource leaves no room for the size of its range
    if (!first || !last || *last < *first || *last == std::numeric_limits<std::uint64_t>::max())
    {
        return std::nullopt;
    }
    return ByteRange{*first, *last};
}

std::int64_t retryAfterMs(std::string_view value, std::int64_t nowSeconds)
{
    value = trimmed(value);
    if (value.empty())
    {
        return -1;
    }
    if (allDigits(value))
    {
        const std::optional<std::uint64_t> seconds = number(value);
        return seconds ? secondsToCappedMs(*seconds) : FAR_FUTURE_MS; // too many digits: far
    }
    const std::string text(value); // curl_getdate wants a terminated string
    const time_t when = curl_getdate(text.c_str(), nullptr);
    if (when < 0)
    {
        return -1;
    }
    const auto at = static_cast<std::int64_t>(when);
    if (at <= nowSeconds)
    {
        return 0;
    }
    std::int64_t ahead = 0;
    if (__builtin_sub_overflow(at, nowSeconds, &ahead))
    {
        return FAR_FUTURE_MS;
    }
    return secondsToCappedMs(static_cast<std::uint64_t>(ahead));
}
} // namespace pelvane::headertext

// libFuzzer target for the HTTP header readers: whatever a server sends in a
// status line, Content-Range or Retry-After, the values read stay within
// their stated bounds, a range read back from its own text is the same
// range, and a wait never grows as time passes.
#include "fuzz/FuzzCheck.h"
#include "pelvane/net/HeaderText.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace
{
using fuzzcheck::check;

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A view returned by a reader must lie inside what it was given.
bool within(std::string_view part, std::string_view whole)
{
    return part.empty() ||
           (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace ht = pelvane::headertext;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string_view view(text);

    const std::string_view trimmed = ht::trimmed(view);
    check(within(trimmed, view), "trimmed inside its input");
    check(ht::trimmed(trimmed) == trimmed, "trimming twice changes nothing");
    check(trimmed.empty() || (!blank(trimmed.back()) && trimmed.front() != ' ' &&
                              trimmed.front() != '\t'),
          "no blank left at either end");

    for (const std::string_view name : {"Content-Range:", "Retry-After:", "ETag:"})
    {
        if (const auto value = ht::valueOf(view, name))
        {
            check(ht::startsWithNoCase(view, name), "a value only for its own header");
            check(within(*value, view.substr(name.size())), "value after the name");
        }
    }

    const long status = ht::statusCode(view);
    check(status >= 0 && status <= 999, "status of three digits");
    check(status == 0 || ht::startsWithNoCase(view, "HTTP/"), "status only from a status line");

    if (const auto range = ht::contentRange(view))
    {
        check(range->first <= range->last, "range ends after it starts");
        check(range->last < std::numeric_limits<std::uint64_t>::max(), "range size fits");
        check(range->size() >= 1, "range holds a byte");
        const std::string own =
            "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + "/*";
        const auto again = ht::contentRange(own);
        check(again && again->first == range->first && again->last == range->last,
              "range reads back from its own text");
    }

    // from the far past to the far future: each wait bounded, and none longer
    // than the one before it
    std::int64_t before = ht::FAR_FUTURE_MS;
    bool readable = false;
    for (const std::int64_t now : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1},
                                   std::int64_t{0}, std::int64_t{1'765'000'000},
                                   std::int64_t{253'402'300'799},
                                   std::numeric_limits<std::int64_t>::max()})
    {
        const std::int64_t wait = ht::retryAfterMs(view, now);
        check(wait >= -1 && wait <= ht::FAR_FUTURE_MS, "wait within its bounds");
        if (now == std::numeric_limits<std::int64_t>::min())
        {
            readable = wait >= 0;
        }
        check((wait >= 0) == readable, "readability does not depend on the clock");
        if (wait >= 0)
        {
            check(wait <= before, "a later clock never waits longer");
            before = wait;
        }
    }
    return 0;
}

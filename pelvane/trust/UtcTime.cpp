#include "pelvane/trust/UtcTime.h"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace pelvane
{
std::optional<std::int64_t> parseUtc(std::string_view text)
{
    // exactly YYYY-MM-DDTHH:MM:SSZ: one spelling per instant keeps signed bytes unambiguous
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
    {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t length, int& out)
    {
        const char* begin = text.data() + at;
        const auto [end, problem] = std::from_chars(begin, begin + length, out);
        return problem == std::errc() && end == begin + length && *begin != '-' && *begin != '+';
    };
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day) || !number(11, 2, hour) ||
        !number(14, 2, minute) || !number(17, 2, second) || hour > 23 || minute > 59 || second > 59)
    {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok())
    {
        return std::nullopt;
    }
    const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::string formatUtc(std::int64_t secondsSinceEpoch)
{
    const std::int64_t dayNumber =
        secondsSinceEpoch >= 0 ? secondsSinceEpoch / 86400 : (secondsSinceEpoch - 86399) / 86400;
    const std::int64_t inDay = secondsSinceEpoch - dayNumber * 86400;
    const std::chrono::year_month_day date{
        std::chrono::sys_days(std::chrono::days(static_cast<int>(dayNumber)))};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(inDay / 3600),
                  static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    return text;
}
} // namespace pelvane

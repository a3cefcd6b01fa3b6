// The one spelling of an instant in the repository's signed texts:
// "2027-01-31T12:00:00Z", UTC, seconds since 1970-01-01.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelvane
{
// Empty when not exactly that form or no such date.
std::optional<std::int64_t> parseUtc(std::string_view text);
std::string formatUtc(std::int64_t secondsSinceEpoch);
} // namespace pelvane

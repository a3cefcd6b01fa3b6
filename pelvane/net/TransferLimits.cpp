#include "pelvane/net/TransferLimits.h"

#include "pelvane/base/PelvaneLog.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace pelvane
{
namespace
{
// The variable's value when it is a whole number in [low, high], else `fallback`.
std::uint64_t numberFrom(const char* name, std::uint64_t low, std::uint64_t high,
                         std::uint64_t fallback)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0')
    {
        return fallback;
    }
    const std::string_view text(value);
    std::uint64_t number = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (problem != std::errc() || end != text.data() + text.size() || number < low ||
        number > high)
    {
        PELVANE_LOG_WARN("Ignoring " << name << "=" << text << ": not a number from " << low
                                     << " to " << high << "; using " << fallback);
        return fallback;
    }
    return number;
}
} // namespace

TransferLimits TransferLimits::fromEnvironment()
{
    TransferLimits limits;
    limits.minRateBytes = numberFrom("PELVANE_MIN_RATE_BYTES", 0, 1ULL << 40,
                                     DEFAULT_MIN_RATE_BYTES);
    limits.minRateWindow = std::chrono::milliseconds(
        numberFrom("PELVANE_MIN_RATE_WINDOW_MS", 1, MAX_MS, DEFAULT_MIN_RATE_WINDOW_MS));
    limits.metadataDeadline = std::chrono::milliseconds(
        numberFrom("PELVANE_METADATA_DEADLINE_MS", 1, MAX_MS, DEFAULT_METADATA_DEADLINE_MS));
    limits.connections = static_cast<int>(
        numberFrom("PELVANE_CONNECTIONS", 1, MAX_CONNECTIONS, DEFAULT_CONNECTIONS));
    return limits;
}
} // namespace pelvane

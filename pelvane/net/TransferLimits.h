// How slow a server may be before the library gives up on it. The stall
// time-out (an argument of initUpdInterEx) only counts silences; these
// bounds also stop a server that keeps a transfer alive with a trickle:
// every window of a transfer must bring a minimum of bytes, and a fetch of
// metadata (small, bounded objects the run cannot start without) must end
// within its deadline. Each can be set in the environment like the
// library's other settings.
#pragma once

#include <chrono>
#include <cstdint>

namespace pelvane
{
struct TransferLimits
{
    static constexpr std::uint64_t DEFAULT_MIN_RATE_BYTES = 32U * 1024U;
    static constexpr std::int64_t DEFAULT_MIN_RATE_WINDOW_MS = 30000;
    static constexpr std::int64_t DEFAULT_METADATA_DEADLINE_MS = 120000;
    static constexpr std::int64_t MAX_MS = 3600 * 1000;
    static constexpr std::uint64_t DEFAULT_CONNECTIONS = 4;
    static constexpr std::uint64_t MAX_CONNECTIONS = 16;

    // at least this many bytes in every window of a transfer; 0: no minimum
    std::uint64_t minRateBytes = DEFAULT_MIN_RATE_BYTES;
    std::chrono::milliseconds minRateWindow{DEFAULT_MIN_RATE_WINDOW_MS};
    // the whole fetch of a repository's top-level metadata from one mirror,
    // its retries included
    std::chrono::milliseconds metadataDeadline{DEFAULT_METADATA_DEADLINE_MS};
    // connections to a server that the files of a run share; 1: one
    // transfer at a time
    int connections = static_cast<int>(DEFAULT_CONNECTIONS);

    // PELVANE_MIN_RATE_BYTES, PELVANE_MIN_RATE_WINDOW_MS,
    // PELVANE_METADATA_DEADLINE_MS, PELVANE_CONNECTIONS; a value that is not a number in range
    // keeps the default (logged).
    static TransferLimits fromEnvironment();
};
} // namespace pelvane

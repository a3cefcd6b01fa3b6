// How often and how long the library waits before trying a file again:
// at most MAX_TRIES tries, exponential backoff with jitter, and a server's
// Retry-After honoured up to a cap so that no server can park a run.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace pelvane
{
class RetryPolicy
{
public:
    static constexpr int MAX_TRIES = 3;
    static constexpr std::int64_t BASE_DELAY_MS = 400;
    static constexpr std::int64_t MAX_BACKOFF_MS = 4000;
    static constexpr std::int64_t MAX_RETRY_AFTER_MS = 10000;

    RetryPolicy();
    // Delay before the next try after `failedTries` failures; retryAfterMs
    // is the server's wish (-1 when it gave none).
    std::chrono::milliseconds delayAfter(int failedTries, std::int64_t retryAfterMs);

private:
    std::mt19937 m_random;
};
} // namespace pelvane

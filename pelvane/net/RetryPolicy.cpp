#include "pelvane/net/RetryPolicy.h"

#include <algorithm>

namespace pelvane
{
RetryPolicy::RetryPolicy() : m_random(std::random_device{}()) {}

std::chrono::milliseconds RetryPolicy::delayAfter(int failedTries, std::int64_t retryAfterMs)
{
    if (retryAfterMs >= 0)
    {
        return std::chrono::milliseconds(std::min(retryAfterMs, MAX_RETRY_AFTER_MS));
    }
    const int exponent = std::clamp(failedTries - 1, 0, 10);
    const std::int64_t nominal = std::min(BASE_DELAY_MS << exponent, MAX_BACKOFF_MS);
    // jitter in [nominal/2, nominal*3/2) so that many clients do not retry in step
    std::uniform_int_distribution<std::int64_t> jitter(nominal / 2, nominal * 3 / 2 - 1);
    return std::chrono::milliseconds(jitter(m_random));
}
} // namespace pelvane

#include "pelvane/net/Retries.h"

#include "pelvane/base/PelvaneLog.h"

namespace pelvane
{
Retries::Retries(const CancelToken& cancel, std::optional<Names> names, Deadline deadline)
    : m_cancel(cancel), m_names(std::move(names)), m_deadline(deadline)
{
}

std::optional<std::chrono::milliseconds> Retries::delayBeforeNextTry(const FetchResult& failure)
{
    if (!failure.transient)
    {
        return std::nullopt;
    }
    if (++m_failedTries >= RetryPolicy::MAX_TRIES)
    {
        if (m_names)
        {
            PELVANE_LOG_ERROR("Giving up on " << m_names->givingUpOn << " after " << m_failedTries
                                              << " tries");
        }
        return std::nullopt;
    }
    const std::chrono::milliseconds delay =
        m_policy.delayAfter(m_failedTries, failure.retryAfterMs);
    if (m_deadline.endsBefore(delay))
    {
        PELVANE_LOG_WARN("No further try after " << m_failedTries << ": the deadline of "
                                                 << m_deadline.span().count()
                                                 << " ms would pass first");
        return std::nullopt;
    }
    if (m_names)
    {
        PELVANE_LOG_WARN(m_names->attempt << " " << m_failedTries << " of " << m_names->resource
                                          << " failed (curl " << failure.primary << ", HTTP "
                                          << failure.secondary << "), next in " << delay.count()
                                          << " ms");
    }
    return delay;
}

bool Retries::tryAgain(FetchResult& failure)
{
    const std::optional<std::chrono::milliseconds> delay = delayBeforeNextTry(failure);
    if (!delay)
    {
        return false;
    }
    if (!m_cancel.sleepFor(*delay))
    {
        failure = Outcome::canceled();
        return false;
    }
    return true;
}
} // namespace pelvane

// The tries of one resource, for every fetch path: at most
// RetryPolicy::MAX_TRIES, a jittered backoff or the server's Retry-After
// between them, and a cancel that ends the wait at once. A caller asks it
// after each failed try. Deciding and waiting are apart, so that a pool of
// transfers can schedule the next try instead of sleeping on it. With a
// deadline, no try is started that would begin after it.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/Deadline.h"
#include "pelvane/net/HttpFetcher.h"
#include "pelvane/net/RetryPolicy.h"

#include <chrono>
#include <optional>
#include <string>

namespace pelvane
{
class Retries
{
public:
    // How the tries are named in the log: "<attempt> 2 of <resource> failed
    // (curl 7, HTTP 0), next in 412 ms", "Giving up on <givingUpOn> after 3
    // tries". Tries without names go unlogged.
    struct Names
    {
        std::string attempt;
        std::string resource;
        std::string givingUpOn;
    };

    explicit Retries(const CancelToken& cancel, std::optional<Names> names = std::nullopt,
                     Deadline deadline = {});

    // Counts the failed try; the wait before the next one, or nothing when
    // `failure` is final (not transient, or the last try).
    std::optional<std::chrono::milliseconds> delayBeforeNextTry(const FetchResult& failure);
    // The decision and the wait. False when `failure` is final; a cancel
    // during the wait turns it into a cancel.
    bool tryAgain(FetchResult& failure);

    int failedTries() const { return m_failedTries; }

private:
    const CancelToken& m_cancel;
    std::optional<Names> m_names;
    Deadline m_deadline;
    RetryPolicy m_policy;
    int m_failedTries = 0;
};
} // namespace pelvane

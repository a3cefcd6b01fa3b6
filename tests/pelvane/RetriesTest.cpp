// The one retry helper of every fetch path: which failures get another try,
// how many tries there are, and a cancel during the wait.
#include "pelvane/net/HeaderText.h"
#include "pelvane/net/Retries.h"

#include <gtest/gtest.h>

using namespace pelvane;

namespace
{
FetchResult transientFailure(std::int64_t retryAfterMs)
{
    FetchResult failure = FetchResult::retryable(Outcome::network(7, 0));
    failure.retryAfterMs = retryAfterMs; // 0: no wait, so that the test runs at once
    return failure;
}
} // namespace

TEST(RetriesTest, APermanentFailureIsFinalAtOnceAndCountsNoTry)
{
    CancelToken cancel;
    Retries retries(cancel);
    FetchResult failure = Outcome::http(22, 404);
    EXPECT_FALSE(retries.tryAgain(failure));
    EXPECT_EQ(failure.apiError, API_HTTP);
    EXPECT_EQ(failure.secondary, 404);
    EXPECT_EQ(retries.failedTries(), 0);
}

TEST(RetriesTest, TransientFailuresGetThreeTriesInAllAndKeepTheLastCodes)
{
    CancelToken cancel;
    Retries retries(cancel, Retries::Names{"Try", "bin/x", "bin/x"});
    FetchResult failure = transientFailure(0);
    EXPECT_TRUE(retries.tryAgain(failure));
    EXPECT_TRUE(retries.tryAgain(failure));
    EXPECT_FALSE(retries.tryAgain(failure));
    EXPECT_EQ(retries.failedTries(), RetryPolicy::MAX_TRIES);
    EXPECT_EQ(failure.apiError, API_NETWORK);
    EXPECT_EQ(failure.primary, 7);
}

TEST(RetriesTest, TheWaitFollowsRetryAfterAndACancelEndsItAsACancel)
{
    CancelToken cancel;
    Retries retries(cancel);
    EXPECT_EQ(retries.delayBeforeNextTry(transientFailure(1500)), std::chrono::milliseconds(1500));
    cancel.cancel();
    // a wait of ten seconds that the cancel cuts short
    FetchResult failure = transientFailure(10000);
    EXPECT_FALSE(retries.tryAgain(failure));
    EXPECT_TRUE(failure.is(API_CANCELED));
    EXPECT_EQ(failure.primary, 0);
    EXPECT_EQ(failure.secondary, 0);
}

TEST(RetriesTest, HeaderTimesSaturateSoThatAFarFutureRetryAfterMeansTheCap)
{
    using headertext::FAR_FUTURE_MS;
    using headertext::retryAfterMs;
    const std::int64_t now = 1765000000; // December 2025
    EXPECT_EQ(retryAfterMs("Fri, 31 Dec 9999 23:59:59 GMT", now), FAR_FUTURE_MS);
    EXPECT_EQ(retryAfterMs("Thu, 01 Jan 1970 00:00:01 GMT", INT64_MIN + 1), FAR_FUTURE_MS);
    EXPECT_EQ(retryAfterMs("99999999999999999999999999", now), FAR_FUTURE_MS);
    EXPECT_EQ(retryAfterMs("9223372036854775807", now), FAR_FUTURE_MS);
    EXPECT_EQ(retryAfterMs("Mon, 01 Jan 2001 00:00:00 GMT", now), 0);
    EXPECT_EQ(retryAfterMs(" 3 ", now), 3000);
    EXPECT_EQ(retryAfterMs("soon", now), -1);
    EXPECT_EQ(RetryPolicy().delayAfter(1, retryAfterMs("Fri, 31 Dec 9999 23:59:59 GMT", now)),
              std::chrono::milliseconds(RetryPolicy::MAX_RETRY_AFTER_MS));
    // numbers past 64 bits are no range at all
    EXPECT_FALSE(headertext::contentRange("bytes 0-99999999999999999999/1"));
    EXPECT_FALSE(headertext::contentRange("bytes 0-18446744073709551615/*"));
    EXPECT_EQ(headertext::contentRange("bytes 5-9/100")->size(), 5U);
}

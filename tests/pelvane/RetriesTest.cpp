// The one retry helper of every fetch path: which failures get another try,
// how many tries there are, and a cancel during the wait.
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

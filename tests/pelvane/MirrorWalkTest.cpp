// The one walk over the mirrors: where it stops, what it reports, and which
// failures move it on under each rule.
#include "pelvane/net/MirrorWalk.h"

#include <gtest/gtest.h>

#include <vector>

using namespace pelvane;

namespace
{
// Walks mirrors that answer `answers` in order; `tried` and `passedOver`
// record what the walk did.
struct Walk
{
    explicit Walk(std::vector<Outcome> mirrorsAnswer = {}) : answers(std::move(mirrorsAnswer)) {}

    std::vector<Outcome> answers;
    std::vector<std::size_t> tried;
    std::vector<std::size_t> passedOver;

    Outcome run(MirrorWalk::MoveOn rule)
    {
        MirrorWalk walk(answers.size(), rule);
        return walk.run(
            [this](std::size_t mirror)
            {
                tried.push_back(mirror);
                return answers[mirror];
            },
            [this](std::size_t mirror, const Outcome&) { passedOver.push_back(mirror); });
    }
};
} // namespace

TEST(MirrorWalkTest, StopsAtTheFirstMirrorThatServes)
{
    Walk walk({Outcome::network(7), Outcome::success(), Outcome::success()});
    EXPECT_TRUE(walk.run(MirrorWalk::MoveOn::CurableFailure).ok());
    EXPECT_EQ(walk.tried, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(walk.passedOver, (std::vector<std::size_t>{0}));
}

TEST(MirrorWalkTest, WhenEveryMirrorFailsTheLastOnesCodeIsReportedAndNotPassedOver)
{
    Walk walk({Outcome::network(7), Outcome::http(22, 503)});
    const Outcome outcome = walk.run(MirrorWalk::MoveOn::CurableFailure);
    EXPECT_EQ(outcome.apiError, API_HTTP);
    EXPECT_EQ(outcome.secondary, 503);
    EXPECT_EQ(walk.passedOver, (std::vector<std::size_t>{0}));
}

TEST(MirrorWalkTest, OnlyWhatAnotherMirrorMayCureMovesAFileOnButAnyFailureMovesAManifestOn)
{
    Walk disk({Outcome::disk(28), Outcome::success()});
    EXPECT_EQ(disk.run(MirrorWalk::MoveOn::CurableFailure).primary, 28);
    EXPECT_EQ(disk.tried.size(), 1U);

    Walk refused({Outcome::failure(API_SIGNATURE), Outcome::success()});
    EXPECT_TRUE(refused.run(MirrorWalk::MoveOn::AnyFailure).ok());

    // a cancel ends every walk where it is
    Walk canceled({Outcome::canceled(), Outcome::success()});
    EXPECT_TRUE(canceled.run(MirrorWalk::MoveOn::AnyFailure).is(API_CANCELED));
    EXPECT_EQ(canceled.tried.size(), 1U);
}

TEST(MirrorWalkTest, NoMirrorAtAllIsAnInternalFailureWithoutAnAttempt)
{
    Walk none;
    EXPECT_TRUE(none.run(MirrorWalk::MoveOn::AnyFailure).is(API_INTERNAL));
    EXPECT_TRUE(none.tried.empty());
}

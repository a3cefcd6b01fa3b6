// The progress bar, its percentage label and the status poll of the
// download dialog, driven directly on a dialog that is not run.
#include "WorkflowTestSupport.h"

#include "platform/MessageBox.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
class ProgressTest : public ::testing::Test
{
protected:
    ProgressTest() : library(folder)
    {
        wftest::isolateEnvironment(folder);
        wftest::writeIni(folder, wftest::RunConfig{});
    }

    int bar() const { return dlg->m_progressCtrl->GetValue(); }
    std::string label() const { return dlg->m_percentText->GetLabel().utf8_string(); }

    // loads the fake library and has it read the script, as the find worker would
    void loadLibrary(const std::string& script)
    {
        library.script(script);
        ASSERT_TRUE(dlg->run().m_updInterFct.initAndLoadLibrary());
        dlg->run().m_updInterFct.initUpdInterEx("", "", "", 1, "", "", "", "", "", "", "", "", "",
                                                "", 30000, 30000, "", "");
    }

    wftest::TestFolder folder;
    wftest::FakeLibrary library;
    wftest::LogCapture log;
    std::unique_ptr<CQorDownloaderDlg> dlg = std::make_unique<CQorDownloaderDlg>();
};
} // namespace

TEST_F(ProgressTest, TemplateControlsAreBoundWithTheirIds)
{
    EXPECT_EQ(CQorDownloaderDlg::IDC_PROGRESS, dlg->m_progressCtrl->GetId());
    EXPECT_EQ(CQorDownloaderDlg::IDC_STATUS_TEXT, dlg->m_statusText->GetId());
    EXPECT_EQ(CQorDownloaderDlg::IDC_PERCENT_TEXT, dlg->m_percentText->GetId());
    EXPECT_EQ(1000, dlg->m_progressCtrl->GetRange());
    EXPECT_FALSE(dlg->m_cancelButton->IsShown()) << "Cancel is hidden at start";
    auto* ok = dlg->FindWindow(wxID_OK);
    ASSERT_NE(nullptr, ok);
    EXPECT_FALSE(ok->IsShown());
    EXPECT_EQ(ok, dlg->GetDefaultItem());
}

TEST_F(ProgressTest, PercentageFollowsTheBarInDefaultStreamFormat)
{
    dlg->setPos(333);
    EXPECT_EQ(333, bar());
    EXPECT_EQ("33.3%", label());
    dlg->setPos(5);
    EXPECT_EQ("0.5%", label());
    dlg->setPos(1000);
    EXPECT_EQ("100%", label());
    dlg->setPos(0);
    EXPECT_EQ("0%", label());
}

TEST_F(ProgressTest, OffsetMovesFromTheCurrentPosition)
{
    dlg->setPos(40);
    dlg->offsetPos(10);
    EXPECT_EQ(50, bar());
    EXPECT_EQ("5%", label());
    EXPECT_TRUE(log.contains("TRACE i_iPos: 10"));
}

TEST_F(ProgressTest, OutOfRangePositionsAreClampedLikeTheWindowsControl)
{
    dlg->setPos(4000);
    EXPECT_EQ(1000, bar());
    EXPECT_EQ("100%", label());
    dlg->offsetPos(50);
    EXPECT_EQ(1000, bar());
    dlg->setPos(-20);
    EXPECT_EQ(0, bar());
    EXPECT_EQ("0%", label());
}

TEST_F(ProgressTest, SetPosSkipsTheBarWhenItsOwnLastValueRepeats)
{
    dlg->setPos(200);
    dlg->offsetPos(10); // offsetPos does not update setPos's memory
    dlg->setPos(200);
    EXPECT_EQ(210, bar()) << "the repeated value must not touch the bar";
    EXPECT_EQ("21%", label());
    EXPECT_TRUE(log.contains("TRACE 200/200"));
    // the same text is not set again: a label changed behind its back stays
    dlg->setPos(300);
    dlg->m_percentText->SetLabel("x");
    dlg->setPos(300);
    EXPECT_EQ("x", label());
}

TEST_F(ProgressTest, CallsFromAWorkerThreadReachTheBar)
{
    std::atomic<bool> done{false};
    std::thread worker(
        [&]
        {
            dlg->setPos(100);
            dlg->offsetPos(10);
            dlg->deltaPos(10);
            done = true;
        });
    EXPECT_TRUE(wftest::pumpUntil([&] { return done.load(); }, 5000));
    worker.join();
    EXPECT_EQ(120, bar());
    EXPECT_EQ("11%", label()) << "deltaPos leaves the label alone";
}

TEST_F(ProgressTest, StatusPollMovesTheBarFromTheLibraryCounters)
{
    loadLibrary("status=1 2 2 10 5 1\nstatus=1 1 1 100 50 1\n");
    EXPECT_TRUE(dlg->getStatusAuto());
    EXPECT_EQ(725, bar());
    EXPECT_EQ("72.5%", label());
    EXPECT_TRUE(dlg->run().m_bCancelAllowed);
    EXPECT_TRUE(dlg->m_cancelButton->IsShown());
    EXPECT_EQ(1, dlg->run().m_iResultUpdInter);
    EXPECT_TRUE(log.contains("TRACE ResultUpdInter: SUCCESS"));
    EXPECT_TRUE(dlg->getStatusAuto());
    EXPECT_EQ(500, bar());
    EXPECT_EQ("50%", label());
}

TEST_F(ProgressTest, StatusOtherThanZeroOrOneEndsThePhaseButKeepsCancel)
{
    loadLibrary("status=2 1 1 100 100 1\nstatus=0 1 1 100 100 1\n");
    EXPECT_FALSE(dlg->getStatusAuto());
    EXPECT_TRUE(dlg->m_cancelButton->IsShown());
    EXPECT_TRUE(dlg->run().m_bCancelAllowed);
    EXPECT_FALSE(dlg->getStatusAuto());
    EXPECT_FALSE(dlg->m_cancelButton->IsShown());
    EXPECT_FALSE(dlg->run().m_bCancelAllowed);
}

TEST_F(ProgressTest, MissingCountsLeaveTheBarAndAreLogged)
{
    loadLibrary("status=1 2 1 0 5 1\n");
    dlg->setPos(300);
    EXPECT_TRUE(dlg->getStatusAuto());
    EXPECT_EQ(300, bar());
    EXPECT_TRUE(log.missingInOrder({"WARN NbUpdate: 2", "WARN NbBlock: 0"}).empty()) << log.text();
}

TEST_F(ProgressTest, HugeCountsClampAtTheEnd)
{
    loadLibrary("status=1 1 2000000000 1 2000000000 1\n");
    dlg->getStatusAuto();
    EXPECT_EQ(1000, bar());
    EXPECT_EQ("100%", label());
}

TEST_F(ProgressTest, ResultOtherThanOneLogsTheThreeErrorCodes)
{
    loadLibrary("errors=-7 22 33\nstatus=0 1 1 10 10 0\n");
    EXPECT_FALSE(dlg->getStatusAuto());
    EXPECT_EQ(0, dlg->run().m_iResultUpdInter);
    EXPECT_TRUE(log.missingInOrder({"WARN APIErrorCode: -7", "WARN PrimaryErrorCode: 22",
                                    "WARN SecondaryErrorCode: 33"})
                    .empty())
        << log.text();
}

TEST_F(ProgressTest, WithoutLibraryThePollReportsNothingRunning)
{
    dlg->run().m_iResultUpdInter = 1;
    EXPECT_FALSE(dlg->getStatusAuto());
    EXPECT_EQ(0, dlg->run().m_iResultUpdInter);
    EXPECT_FALSE(dlg->m_cancelButton->IsShown());
    EXPECT_TRUE(log.missingInOrder({"WARN NbUpdate: -1", "WARN NbBlock: -1"}).empty());
    EXPECT_FALSE(log.containsPrefix("WARN APIErrorCode"));
}

TEST_F(ProgressTest, FinalMessageSaysCompleteOnlyForASuccessfulResult)
{
    wftest::PromptAnswers answers([](wxDialog*) { return wxID_OK; });
    loadLibrary("status=0 1 1 10 10 1\n");
    dlg->getStatusAuto();
    ASSERT_EQ(1, dlg->run().m_iResultUpdInter);
    dlg->finalizeStatus(false);
    dlg->finalizeStatus(true);
    dlg->run().m_iResultUpdInter = 0;
    dlg->finalizeStatus(true);
    EXPECT_EQ((std::vector<std::string>{"Failed to download !", "Download complete",
                                        "Failed to download !"}),
              answers.messages);
    EXPECT_EQ(1, library.count("closeUpdInter")) << "the library is closed once";
    EXPECT_TRUE(log.contains("INFO Download stopped"));
}

TEST_F(ProgressTest, DestroyingTheDialogClosesALoadedLibraryFirst)
{
    loadLibrary("status=1 1 1 10 5 1\n");
    dlg.reset();
    EXPECT_EQ(1, library.count("closeUpdInter"));
}

// Cancelling a running download: the confirmation, the wait dialog, the
// confirmation closed by the end of the download, and the cancels refused.
#include "RunFixture.h"

#include "workflow/QorWaitDialog.h"

#include <cstdlib>

using namespace wftest;

namespace
{
class CancelTest : public RunFixture
{
protected:
    // clicks Cancel once, as soon as the download shows it
    void clickCancelWhenShown()
    {
        onTick = [this]
        {
            if (!clicked && dlg->state() == CQorDownloaderDlg::eState::Downloading &&
                dlg->m_cancelButton->IsShown())
            {
                clicked = true;
                clickCancel();
            }
            if (dlg->waitDialog() != nullptr && waitText.empty())
            {
                waitText = dlg->waitDialog()->m_waitText->GetLabel().utf8_string();
                waitShown = dlg->waitDialog()->IsShown();
                waitParent = dlg->waitDialog()->GetParent();
                cancelEnabledBehindWait = dlg->m_cancelButton->IsEnabled();
                const wxRect wait = dlg->waitDialog()->GetScreenRect();
                const wxRect owner = dlg->GetScreenRect();
                waitCentred =
                    std::abs(wait.x + wait.width / 2 - (owner.x + owner.width / 2)) <= 2 &&
                    std::abs(wait.y + wait.height / 2 - (owner.y + owner.height / 2)) <= 2;
            }
        };
    }

    bool clicked = false;
    std::string waitText;
    bool waitShown = false;
    wxWindow* waitParent = nullptr;
    bool waitCentred = false;
    bool cancelEnabledBehindWait = true;
};
} // namespace

TEST_F(CancelTest, YesStopsTheLibraryShowsTheWaitDialogAndEndsWithMinusThree)
{
    script = "status=1 1 1 100 10 1\nstop_after=2\nstopped=0 1 1 100 10 0\n";
    cancelAnswer = wxID_YES;
    clickCancelWhenShown();
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_USER_CANCELED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, CANCEL_TEXT}), messages)
        << "no final message box after a cancel";
    EXPECT_EQ("Please wait until the download stops...", waitText);
    EXPECT_TRUE(waitShown);
    EXPECT_EQ(dlg.get(), waitParent);
    EXPECT_TRUE(waitCentred) << "the wait dialog is centred over the download dialog";
    EXPECT_FALSE(cancelEnabledBehindWait) << "no second cancel while the first one completes";
    EXPECT_EQ(nullptr, dlg->waitDialog()) << "the wait dialog is gone at the end";
    EXPECT_EQ("", missing({"INFO FindUpdate success", "INFO Stopping download...",
                           "TRACE M_TIMER_GETSTATUS_CANCELUPDATE", "INFO ...download stopped",
                           "WARN Download failure return code: -3"}));
    EXPECT_FALSE(log.contains("INFO DownloadUpdate success"));
    EXPECT_EQ(1, library.count("closeDownload"));
    EXPECT_EQ(1, library.count("closeUpdInter"));
    EXPECT_TRUE(folder.exists("target"));
    EXPECT_FALSE(folder.exists("dest"));
}

TEST_F(CancelTest, NoKeepsTheDownloadGoing)
{
    script = "hold_file=" + folder.file("go") + "\nhold=1 1 1 100 30 1\n" + QUICK_SUCCESS;
    onCancelPrompt = [this]
    {
        folder.write("go", "");
        return wxID_NO;
    };
    clickCancelWhenShown();
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, CANCEL_TEXT, COMPLETE_TEXT}), messages);
    EXPECT_EQ(
        "", missing({"INFO Download not canceled cause user choice (NO)", "TRACE M_TIMER_GETSTATUS",
                     "INFO DownloadUpdate success", "INFO Download success return code: 1"}));
    EXPECT_EQ(0, library.count("closeDownload"));
}

TEST_F(CancelTest, DownloadEndingWhileTheConfirmationIsOpenClosesIt)
{
    script = "hold_file=" + folder.file("go") + "\nhold=1 1 1 100 30 1\nstatus=0 1 1 100 100 1\n";
    onCancelPrompt = [this]
    {
        // let the box really open, and let the download end behind it
        folder.write("go", "");
        return wxID_NONE;
    };
    clickCancelWhenShown();
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, CANCEL_TEXT, COMPLETE_TEXT}), messages);
    EXPECT_EQ("", missing({"INFO Cancel popup found: sending ABORT message",
                           "INFO DownloadUpdate success",
                           "INFO Download not canceled cause download ending",
                           "INFO FinalizeUpdate success", "INFO Download success return code: 1"}));
    EXPECT_EQ(0, library.count("closeDownload"));
    EXPECT_EQ("new setup", folder.read("dest/payload/setup.bin"));
}

TEST_F(CancelTest, DownloadFailingWhileTheConfirmationIsOpenEndsTheRunBehindIt)
{
    // the tick closes the box, shows the failure and ends the dialog, all
    // inside the confirmation's own modal loop
    script = "errors=9 8 7\nhold_file=" + folder.file("go") +
             "\nhold=1 1 1 100 30 1\nstatus=0 1 1 100 30 0\n";
    onCancelPrompt = [this]
    {
        folder.write("go", "");
        return wxID_NONE;
    };
    clickCancelWhenShown();
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, CANCEL_TEXT, FAILED_TEXT}), messages);
    EXPECT_EQ("", missing({"INFO Cancel popup found: sending ABORT message",
                           "ERROR DownloadUpdate failure", "INFO Download stopped",
                           "WARN Download failure return code: -11",
                           "INFO Download not canceled cause download ending"}));
    EXPECT_EQ(0, library.count("closeDownload"));
}

TEST_F(CancelTest, CancelAfterTheDownloadPhaseIsRefused)
{
    // status 2 ends the phase with Cancel still shown while the move runs
    script = "status=1 1 1 100 50 1\nstatus=2 1 1 100 100 1\n";
    bool pressed = false;
    onTick = [&]
    {
        if (!pressed && dlg->state() == CQorDownloaderDlg::eState::Finalizing)
        {
            pressed = true;
            EXPECT_TRUE(dlg->m_cancelButton->IsShown());
            clickCancel();
        }
    };
    run();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, COMPLETE_TEXT}), messages)
        << "no cancel confirmation once the download is over";
    EXPECT_EQ("", missing({"INFO DownloadUpdate success", "WARN Cancel action not allowed",
                           "INFO FinalizeUpdate success"}));
    EXPECT_EQ(0, library.count("closeDownload"));
}

TEST_F(CancelTest, ASecondCancelWhileStoppingIsIgnored)
{
    script = "status=1 1 1 100 10 1\nstop_after=4\nstopped=0 1 1 100 10 0\n";
    cancelAnswer = wxID_YES;
    bool second = false;
    clickCancelWhenShown();
    auto first = onTick;
    onTick = [&, first]
    {
        first();
        if (!second && dlg->state() == CQorDownloaderDlg::eState::Canceling)
        {
            second = true;
            clickCancel();
            wxKeyEvent escape(wxEVT_CHAR_HOOK);
            escape.m_keyCode = WXK_ESCAPE;
            dlg->GetEventHandler()->ProcessEvent(escape);
        }
    };
    run();
    EXPECT_TRUE(second);
    EXPECT_EQ(CQorDownloaderApp::RC_USER_CANCELED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT, CANCEL_TEXT}), messages);
    EXPECT_TRUE(log.contains("WARN Cancel action ignored: a cancel is already in progress"));
    EXPECT_EQ(1, library.count("closeDownload"));
}

TEST_F(CancelTest, WaitDialogIgnoresEnterEscapeAndClose)
{
    script = "status=1 1 1 100 10 1\nstop_after=4\nstopped=0 1 1 100 10 0\n";
    cancelAnswer = wxID_YES;
    bool poked = false;
    bool survived = false;
    clickCancelWhenShown();
    auto first = onTick;
    onTick = [&, first]
    {
        first();
        QorWaitDialog* wait = dlg->waitDialog();
        if (!poked && wait != nullptr)
        {
            poked = true;
            for (int key : {WXK_ESCAPE, WXK_RETURN})
            {
                wxKeyEvent press(wxEVT_CHAR_HOOK);
                press.m_keyCode = key;
                wait->GetEventHandler()->ProcessEvent(press);
            }
            wait->Close();
            survived = dlg->waitDialog() == wait && wait->IsShown() && !wait->IsBeingDeleted();
        }
    };
    run();
    EXPECT_TRUE(poked);
    EXPECT_TRUE(survived);
    EXPECT_EQ(CQorDownloaderApp::RC_USER_CANCELED, returnCode);
}

// A complete run of the download dialog in a private folder, against the
// fake update-client library.
#pragma once

#include "WorkflowTestSupport.h"

#include <gtest/gtest.h>
#include <wx/msgdlg.h>

#include <algorithm>
#include <map>

namespace wftest
{
inline const std::string CONFIRM_TEXT = "Do you really want to download Orvane Installer ?";
inline const std::string CANCEL_TEXT = "Do you really want to cancel the download ?";
inline const std::string COMPLETE_TEXT = "Download complete";
inline const std::string FAILED_TEXT = "Failed to download !";

// A download that runs for two polls and ends with success.
inline const std::string QUICK_SUCCESS = "status=1 1 1 100 40 1\nstatus=0 1 1 100 100 1\n";

class RunFixture : public ::testing::Test
{
protected:
    RunFixture() : library(folder)
    {
        isolateEnvironment(folder);
        folder.write("target/payload/setup.bin", "new setup");
    }

    // Answers: the confirmation with `confirm`, the cancel confirmation with
    // `cancelAnswer`, every final box with OK. Remembers what it saw.
    int answer(wxDialog* dialog)
    {
        if (dialog == dlg.get())
        {
            return wxID_NONE; // the download dialog itself runs
        }
        const std::string message = messageOf(dialog);
        if (message == CONFIRM_TEXT)
        {
            revealedAtConfirmation = dlg != nullptr && (dlg->isRevealed() || dlg->IsShown());
            const auto* box = dynamic_cast<wxMessageDialogBase*>(dialog);
            confirmationNotes.push_back(box != nullptr ? box->GetExtendedMessage().ToStdWstring()
                                                       : std::wstring());
            return confirm;
        }
        if (message == CANCEL_TEXT)
        {
            return onCancelPrompt ? onCancelPrompt() : cancelAnswer;
        }
        if (!message.empty())
        {
            barAtFinalMessage = dlg != nullptr ? dlg->m_progressCtrl->GetValue() : -1;
            const auto* box = dynamic_cast<wxMessageDialogBase*>(dialog);
            finalNote = box != nullptr ? box->GetExtendedMessage().ToStdString() : "";
            std::replace(finalNote.begin(), finalNote.end(), '\n', ' '); // the box wraps it
            return wxID_OK;
        }
        return onOtherDialog ? onOtherDialog(dialog) : wxID_CANCEL;
    }

    RunResult run(bool unattended = false, int timeoutMs = 20000)
    {
        writeIni(folder, config);
        library.script(script);
        PromptAnswers answers([this](wxDialog* dialog) { return answer(dialog); });
        dlg = std::make_unique<CQorDownloaderDlg>(nullptr, unattended);
        dlg->setConfirmationNote(confirmationNote);
        const RunResult result = runDialog(
            *dlg,
            [this]
            {
                if (onTick)
                {
                    onTick();
                }
            },
            timeoutMs);
        messages = answers.messages;
        dialogsSeen = answers.dialogCount - 1; // not counting the download dialog
        returnCode = dlg->m_eReturnCode;
        return result;
    }

    std::string missing(const std::vector<std::string>& expected) const
    {
        const std::string gap = log.missingInOrder(expected);
        return gap.empty() ? "" : "missing in order: " + gap + "\n" + log.text();
    }

    void clickCancel()
    {
        wxCommandEvent click(wxEVT_BUTTON, wxID_CANCEL);
        click.SetEventObject(dlg->m_cancelButton);
        dlg->GetEventHandler()->ProcessEvent(click);
    }

    TestFolder folder;
    FakeLibrary library;
    LogCapture log;
    RunConfig config;
    std::string script = QUICK_SUCCESS;
    int confirm = wxID_YES;
    int cancelAnswer = wxID_NO;
    std::function<int()> onCancelPrompt;
    std::function<int(wxDialog*)> onOtherDialog;
    std::function<void()> onTick;

    std::unique_ptr<CQorDownloaderDlg> dlg;
    std::vector<std::string> messages;
    int dialogsSeen = 0; // prompts and boxes, besides the download dialog
    bool revealedAtConfirmation = true;
    std::wstring confirmationNote;               // given to the dialog
    std::vector<std::wstring> confirmationNotes; // what each confirmation showed under its text
    int barAtFinalMessage = -1;
    std::string finalNote; // what the final box showed under its text, unwrapped
    int returnCode = 99;
};
} // namespace wftest

// The download dialog: the front end of a run for a person at the screen.
// The run itself (DownloadRun) asks for confirmation, settles the proxy
// credentials, drives the workers and the library and ends with the return
// code; the dialog shows its progress, runs its timers and ends the modal
// loop when the run ends (RunView), and puts the run's questions to the
// person with its prompts and message boxes (RunUser). Made unattended, it
// leaves the questions to UnattendedAnswers, as the console does.
#pragma once

#include "app/CQorDownloaderApp.h"
#include "platform/UiThreadCall.h"
#include "workflow/DownloadRun.h"
#include "workflow/RunUser.h"
#include "workflow/RunView.h"
#include "workflow/UnattendedAnswers.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/icon.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <array>
#include <memory>
#include <string>

namespace platform
{
class MessageBox;
}
class QorWaitDialog;

class CQorDownloaderDlg : public wxDialog, private RunView, private RunUser
{
public:
    // timer ids
    static constexpr int M_TIMER_STARTDOWNLOAD = DownloadRun::M_TIMER_STARTDOWNLOAD;
    static constexpr int M_TIMER_STATUS_FINDTHREAD = DownloadRun::M_TIMER_STATUS_FINDTHREAD;
    static constexpr int M_TIMER_GETSTATUS = DownloadRun::M_TIMER_GETSTATUS;
    static constexpr int M_TIMER_STATUS_FINALIZETHREAD = DownloadRun::M_TIMER_STATUS_FINALIZETHREAD;
    static constexpr int M_TIMER_GETSTATUS_CANCELUPDATE =
        DownloadRun::M_TIMER_GETSTATUS_CANCELUPDATE;

    // control ids of the template
    static constexpr int IDC_PROGRESS = 1001;
    static constexpr int IDC_STATUS_TEXT = 1002;
    static constexpr int IDC_PERCENT_TEXT = 1005;
    static constexpr int PROGRESS_MAX = DownloadRun::PROGRESS_MAX;

    using eState = DownloadRun::eState;

    explicit CQorDownloaderDlg(wxWindow* parent = nullptr, bool unattended = false);
    ~CQorDownloaderDlg() override;

    // Secondary text of the download confirmation, for example what a first
    // run prepared; shown once.
    void setConfirmationNote(const std::wstring& note) { m_confirmationNote = note; }

    // -1 without running when the dialog template could not be used.
    int ShowModal() override;
    // Held back while the window manager cannot make the dialog transparent:
    // until the prompts are done the user must see only the prompts.
    bool Show(bool show = true) override;

    // One tick of the run's timers; other ids are not the run's.
    void OnTimer(unsigned int nIDEvent) { m_run->OnTimer(nIDEvent); }

    // the run's progress and status operations, as the dialog offers them
    void setPos(const int& pos) { m_run->setPos(pos); }
    void offsetPos(const int& i_iPos) { m_run->offsetPos(i_iPos); }
    void deltaPos(const int& delta) { m_run->deltaPos(delta); }
    bool getStatusAuto() { return m_run->getStatusAuto(); }
    void setDownloadStatus() { m_run->setDownloadStatus(); }
    void finalizeStatus(bool i_bSuccess) { m_run->finalizeStatus(i_bSuccess); }

    // cancellation: Cancel, Escape and the close command
    void OnBnClickedCancel();
    void handleCancelPopup() { m_run->handleCancelPopup(); }

    DownloadRun& run() noexcept { return *m_run; }
    eState state() const noexcept { return m_run->state(); }
    // true once the prompts are done and the dialog is opaque and shown
    bool isRevealed() const noexcept { return m_bRevealed; }
    QorWaitDialog* waitDialog() const noexcept { return m_waitDialog; }

    wxIcon m_hIcon;
    CQorDownloaderApp::eReturnCode m_eReturnCode = CQorDownloaderApp::RC_NOT_SET;
    wxGauge* m_progressCtrl = nullptr;
    wxButton* m_cancelButton = nullptr;
    wxStaticText* m_statusText = nullptr;
    wxStaticText* m_percentText = nullptr;
    // Holds the keyboard focus while no control can (OK hidden, Cancel shown
    // only while downloading), so that Escape and Enter reach the dialog.
    wxWindow* m_focusHolder = nullptr;

private:
    // RunView
    void setTimer(int id, int milliseconds) override;
    void killTimer(int id) override;
    bool isFrontEndThread() const override;
    bool callOnFrontEndThread(const std::function<void()>& call) override;
    void setBarPosition(int position) override;
    void setPercentText(const std::wstring& text) override;
    void setStatusText(const std::wstring& text) override;
    void showCancel(bool shown) override;
    bool isCancelShown() const override;
    void reveal() override;
    void showWaitBox() override;
    void closeWaitBox() override;
    void endRun(ReturnCode::eReturnCode code, bool accepted) override;

    // RunUser: the person at the screen; the dialog itself tells them how
    // the run goes, so the account lines are not needed
    bool confirmDownload(const std::wstring& text) override;
    eProxyAnswer askProxyCredentials(const std::wstring& server, std::wstring& login,
                                     std::wstring& password) override;
    int askCancel(const std::wstring& text) override;
    bool abortCancelPrompt() override;
    void showMessage(const std::wstring& text, unsigned int icon,
                     const std::wstring& reason) override;
    void report(const std::string&) override {}
    void reportFailure(const std::string&, const std::string&) override {}

    bool DoDataExchange();
    void OnInitDialog();
    void onTimerEvent(wxTimerEvent& event);
    void onCharHook(wxKeyEvent& event);
    void onCloseWindow(wxCloseEvent& event);
    void onOkButton(wxCommandEvent& event);

    bool m_bUsable = false;
    bool m_bInitDone = false;
    bool m_bTransparent = false;
    bool m_bHeldHidden = false;
    bool m_bRevealed = false;
    bool m_bEndPending = false;
    std::array<wxTimer, DownloadRun::TIMER_COUNT> m_timers;
    QorWaitDialog* m_waitDialog = nullptr;
    platform::MessageBox* m_cancelPrompt = nullptr;
    platform::UiThreadCall m_uiCall;
    // the user of an unattended dialog, none for a person's
    std::unique_ptr<UnattendedAnswers> m_unattendedAnswers;
    std::wstring m_confirmationNote;
    // last: destroyed first, while the controls it reports to still exist
    std::unique_ptr<DownloadRun> m_run;
};

// The download dialog: owner of one run. A timer-driven state machine asks
// for confirmation, settles the proxy credentials, starts the find worker,
// follows the update-client library's download, starts the finalize worker
// and ends with the run's return code. Long work runs in the two workers and
// in the library; the dialog only polls them and never blocks on them.
#pragma once

#include "app/CQorDownloaderApp.h"
#include "platform/UiThreadCall.h"
#include "platform/WorkerThread.h"
#include "updclient/UpdInterFct.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/icon.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <array>
#include <string>

namespace platform
{
class MessageBox;
}
class QorWaitDialog;

class CQorDownloaderDlg : public wxDialog
{
public:
    // timer ids
    static constexpr int M_TIMER_STARTDOWNLOAD = 1;
    static constexpr int M_TIMER_STATUS_FINDTHREAD = 2;
    static constexpr int M_TIMER_GETSTATUS = 3;
    static constexpr int M_TIMER_STATUS_FINALIZETHREAD = 4;
    static constexpr int M_TIMER_GETSTATUS_CANCELUPDATE = 5;

    // control ids of the template
    static constexpr int IDC_PROGRESS = 1001;
    static constexpr int IDC_STATUS_TEXT = 1002;
    static constexpr int IDC_PERCENT_TEXT = 1005;
    static constexpr int PROGRESS_MAX = 1000;

    // Where the run stands; each state has at most one timer set.
    enum class eState
    {
        Starting,
        Asking,
        Finding,
        Downloading,
        Finalizing,
        Canceling,
        Ended
    };

    explicit CQorDownloaderDlg(wxWindow* parent = nullptr, bool unattended = false);
    ~CQorDownloaderDlg() override;

    // -1 without running when the dialog template could not be used.
    int ShowModal() override;
    // Held back while the window manager cannot make the dialog transparent:
    // until the prompts are done the user must see only the prompts.
    bool Show(bool show = true) override;

    void OnTimer(unsigned int nIDEvent);

    // progress and status (from the UI thread or a worker)
    void setPos(const int& pos);
    void offsetPos(const int& i_iPos);
    // moves the bar by delta without refreshing the label
    void deltaPos(const int& delta);
    bool getStatusAuto();
    void setDownloadStatus();
    void finalizeStatus(bool i_bSuccess);
    void OnOK(const CQorDownloaderApp::eReturnCode code);
    void OnCancel(const CQorDownloaderApp::eReturnCode code);

    // cancellation
    void OnBnClickedCancel();
    void handleCancelPopup();

    eState state() const noexcept { return m_eState; }
    // true once the prompts are done and the dialog is opaque and shown
    bool isRevealed() const noexcept { return m_bRevealed; }
    bool isUnattended() const noexcept { return m_bUnattended; }
    // what the find worker found, for the unattended report
    void setFoundVersion(const std::string& version) { m_foundVersion = version; }
    void setDestPath(const std::wstring& destPath) { m_destPath = destPath; }
    QorWaitDialog* waitDialog() const noexcept { return m_waitDialog; }

    wxIcon m_hIcon;
    platform::WorkerThread m_hThreadFindUpdate;
    platform::WorkerThread m_hThreadFinalizeUpdate;
    int m_iResultUpdInter = 0;
    bool m_bCancelAllowed = false;
    CQorDownloaderApp::eReturnCode m_eReturnCode = CQorDownloaderApp::RC_NOT_SET;
    wxGauge* m_progressCtrl = nullptr;
    wxButton* m_cancelButton = nullptr;
    wxStaticText* m_statusText = nullptr;
    UpdInterFct m_updInterFct;
    wxStaticText* m_percentText = nullptr;
    // Holds the keyboard focus while no control can (OK hidden, Cancel shown
    // only while downloading), so that Escape and Enter reach the dialog.
    wxWindow* m_focusHolder = nullptr;

private:
    bool DoDataExchange();
    void OnInitDialog();
    void onTimerEvent(wxTimerEvent& event);
    void onCharHook(wxKeyEvent& event);
    void onCloseWindow(wxCloseEvent& event);
    void onOkButton(wxCommandEvent& event);

    void onStartDownload();
    void onFindThreadPoll();
    void onDownloadPoll();
    void onFinalizeThreadPoll();
    void onCancelPoll();

    // the proxy step of the first tick; false when the user canceled it
    bool settleProxyCredentials();
    void reveal();
    void setTimer(int id, int milliseconds);
    void killTimer(int id);
    void closeUpdInter();
    void endDialog(int wxReturnCode);
    void onCancelAnswer(int answer);
    void report(const std::string& line) const;
    std::wstring percentText() const;

    bool m_bUnattended;
    bool m_bUsable = false;
    eState m_eState = eState::Starting;
    bool m_bInitDone = false;
    bool m_bTransparent = false;
    bool m_bHeldHidden = false;
    bool m_bRevealed = false;
    bool m_bUpdInterClosed = false;
    bool m_bEndPending = false;
    std::array<wxTimer, 5> m_timers;
    QorWaitDialog* m_waitDialog = nullptr;
    platform::MessageBox* m_cancelPrompt = nullptr;
    platform::UiThreadCall m_uiCall;
    // setPos's own memory: its last position and its last label text
    int m_iLastPos = -1;
    std::wstring m_wzLastPercent;
    // unattended reporting
    std::string m_foundVersion;
    std::wstring m_destPath;
    int m_iLastReportedDecile = -1;
};

// Worker thread routines; the parameter is the dialog. 1 success, 0 failure.
unsigned long threadFindUpdate(void* parameter);
unsigned long threadFinalizeUpdate(void* parameter);

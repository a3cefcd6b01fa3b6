#include "workflow/CQorDownloaderDlg.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "proxy/C_Proxy.h"
#include "proxy/PasswordScrambling.h"
#include "proxy/QorDownloaderProxy.h"
#include "resources/Translation.h"
#include "resources/ui/UiResources.h"
#include "tools/C_WindowsTools.h"
#include "tools/UnicodeFile.h"
#include "workflow/QorWaitDialog.h"

#include <wx/xrc/xmlres.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>

namespace
{
const char* const DIALOG_TEMPLATE = "Dialog102";

// text ids of the string table
constexpr unsigned int IDS_CONFIRM_DOWNLOAD = 139;
constexpr unsigned int IDS_DOWNLOAD_IN_PROGRESS = 140;
constexpr unsigned int IDS_CONFIRM_CANCEL = 142;
constexpr unsigned int IDS_DOWNLOAD_COMPLETE = 144;
constexpr unsigned int IDS_DOWNLOAD_FAILED = 145;
constexpr unsigned int IDS_CANCEL_BUTTON = 801;

constexpr int FIND_THREAD_POLL_MS = 1000;
constexpr int STATUS_POLL_MS = 500;
constexpr int FINALIZE_THREAD_POLL_MS = 500;
constexpr int DOWNLOAD_START = 50;
constexpr int DOWNLOAD_SPAN = 900;

std::wstring iniValue(C_IniFileTools& ini, const wchar_t* file, const wchar_t* section,
                      const wchar_t* key)
{
    return ini.getWstring(file, section, key, L"");
}

const char* timerName(unsigned int id)
{
    switch (id)
    {
    case CQorDownloaderDlg::M_TIMER_STARTDOWNLOAD:
        return "M_TIMER_STARTDOWNLOAD";
    case CQorDownloaderDlg::M_TIMER_STATUS_FINDTHREAD:
        return "M_TIMER_STATUS_FINDTHREAD";
    case CQorDownloaderDlg::M_TIMER_GETSTATUS:
        return "M_TIMER_GETSTATUS";
    case CQorDownloaderDlg::M_TIMER_STATUS_FINALIZETHREAD:
        return "M_TIMER_STATUS_FINALIZETHREAD";
    case CQorDownloaderDlg::M_TIMER_GETSTATUS_CANCELUPDATE:
        return "M_TIMER_GETSTATUS_CANCELUPDATE";
    default:
        return nullptr;
    }
}
} // namespace

CQorDownloaderDlg::CQorDownloaderDlg(wxWindow* parent, bool unattended)
    : m_bUnattended(unattended), m_uiCall(this)
{
    loadUiResources();
    m_hIcon = loadAppIcon();
    for (std::size_t i = 0; i < m_timers.size(); ++i)
    {
        m_timers[i].SetOwner(this, static_cast<int>(i) + 1);
    }
    if (!wxXmlResource::Get()->LoadDialog(this, parent, DIALOG_TEMPLATE) || !DoDataExchange())
    {
        // ShowModal then refuses to run and the run ends without an outcome
        QOR_LOG_ERROR("Dialog template not usable: " << DIALOG_TEMPLATE);
        return;
    }
    m_bUsable = true;
    m_focusHolder = new wxWindow(this, wxID_ANY, wxPoint(0, 0), wxSize(1, 1));
    m_focusHolder->SetCanFocus(true);
    Bind(wxEVT_TIMER, &CQorDownloaderDlg::onTimerEvent, this);
    Bind(wxEVT_CHAR_HOOK, &CQorDownloaderDlg::onCharHook, this);
    Bind(wxEVT_CLOSE_WINDOW, &CQorDownloaderDlg::onCloseWindow, this);
    Bind(wxEVT_BUTTON, &CQorDownloaderDlg::onOkButton, this, wxID_OK);
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedCancel(); }, wxID_CANCEL);
    Bind(wxEVT_INIT_DIALOG, [this](wxInitDialogEvent&) { OnInitDialog(); });

    // Invisible until the prompts are done: transparent where the window
    // manager can do it, otherwise not shown at all.
    if (CanSetTransparent() && SetTransparent(0))
    {
        m_bTransparent = true;
    }
    else
    {
        m_bHeldHidden = true;
    }
}

CQorDownloaderDlg::~CQorDownloaderDlg()
{
    for (auto& timer : m_timers)
    {
        timer.Stop();
    }
    // Release a worker waiting for this thread before waiting for it.
    m_uiCall.close();
    m_hThreadFindUpdate.close();
    m_hThreadFinalizeUpdate.close();
    // the library must be told to stop before it is unloaded under a download
    closeUpdInter();
}

bool CQorDownloaderDlg::DoDataExchange()
{
    m_progressCtrl = wxDynamicCast(FindWindow(IDC_PROGRESS), wxGauge);
    m_cancelButton = wxDynamicCast(FindWindow(wxID_CANCEL), wxButton);
    m_statusText = wxDynamicCast(FindWindow(IDC_STATUS_TEXT), wxStaticText);
    m_percentText = wxDynamicCast(FindWindow(IDC_PERCENT_TEXT), wxStaticText);
    return m_progressCtrl != nullptr && m_cancelButton != nullptr && m_statusText != nullptr &&
           m_percentText != nullptr;
}

int CQorDownloaderDlg::ShowModal()
{
    if (!m_bUsable)
    {
        // like a dialog whose window could not be created: neither IDOK nor
        // IDCANCEL, and no outcome recorded
        return -1;
    }
    return wxDialog::ShowModal();
}

bool CQorDownloaderDlg::Show(bool show)
{
    if (!m_bUsable)
    {
        return false;
    }
    if (show && m_bHeldHidden)
    {
        // ShowModal shows the dialog, and showing runs the set-up
        if (!m_bInitDone)
        {
            InitDialog();
        }
        return false;
    }
    const bool changed = wxDialog::Show(show);
    if (show && !m_bInitDone)
    {
        InitDialog(); // the toolkit may already have; the set-up runs once
    }
    return changed;
}

void CQorDownloaderDlg::OnInitDialog()
{
    if (m_bInitDone)
    {
        return;
    }
    m_bInitDone = true;
    SetIcon(m_hIcon);
    SetTitle(CQorDownloaderApp::getAppTitle());
    m_statusText->SetLabel(C_WindowsTools::getUString(IDS_DOWNLOAD_IN_PROGRESS, L""));
    m_progressCtrl->SetRange(PROGRESS_MAX);
    setPos(0);
    m_cancelButton->SetLabel(
        C_WindowsTools::getUString(L"user32.dll", IDS_CANCEL_BUTTON, L"Cancel"));
    setTimer(M_TIMER_STARTDOWNLOAD, 0);
}

void CQorDownloaderDlg::setTimer(int id, int milliseconds)
{
    m_timers[static_cast<std::size_t>(id - 1)].Start(milliseconds);
}

void CQorDownloaderDlg::killTimer(int id)
{
    m_timers[static_cast<std::size_t>(id - 1)].Stop();
}

void CQorDownloaderDlg::onTimerEvent(wxTimerEvent& event)
{
    const auto id = static_cast<unsigned int>(event.GetId());
    OnTimer(id);
    if (timerName(id) == nullptr)
    {
        event.Skip(); // not one of ours: the toolkit's default handling
    }
}

void CQorDownloaderDlg::OnTimer(unsigned int nIDEvent)
{
    QOR_LOG_TRACE("nIDEvent: " << nIDEvent);
    const char* name = timerName(nIDEvent);
    if (name == nullptr)
    {
        return;
    }
    QOR_LOG_TRACE(name);
    switch (nIDEvent)
    {
    case M_TIMER_STARTDOWNLOAD:
        onStartDownload();
        break;
    case M_TIMER_STATUS_FINDTHREAD:
        onFindThreadPoll();
        break;
    case M_TIMER_GETSTATUS:
        onDownloadPoll();
        break;
    case M_TIMER_STATUS_FINALIZETHREAD:
        onFinalizeThreadPoll();
        break;
    case M_TIMER_GETSTATUS_CANCELUPDATE:
        onCancelPoll();
        break;
    default:
        break;
    }
}

void CQorDownloaderDlg::onStartDownload()
{
    killTimer(M_TIMER_STARTDOWNLOAD);
    m_eState = eState::Asking;

    if (m_bUnattended)
    {
        QOR_LOG_INFO("Download confirmed (unattended)");
        report(qorTr("QorDownloader: confirmed"));
    }
    else if (platform::messageBox(this, C_WindowsTools::getUString(IDS_CONFIRM_DOWNLOAD, L""),
                                  CQorDownloaderApp::getAppTitle(),
                                  platform::MB_YESNO | platform::MB_ICONQUESTION) !=
             platform::IDYES)
    {
        QOR_LOG_INFO("Download canceled from confirmation popup");
        OnCancel(CQorDownloaderApp::RC_CONFIRMATION_REFUSED);
        return;
    }

    if (!settleProxyCredentials())
    {
        QOR_LOG_WARN("Download canceled from proxy configuration");
        OnCancel(CQorDownloaderApp::RC_PROXY_CANCELED);
        return;
    }

    reveal();
    m_eState = eState::Finding;
    if (!m_hThreadFindUpdate.start([this] { return threadFindUpdate(this); }))
    {
        QOR_LOG_WARN("FindUpdate CreateThread error: " << platform::getLastError());
    }
    setTimer(M_TIMER_STATUS_FINDTHREAD, FIND_THREAD_POLL_MS);
}

bool CQorDownloaderDlg::settleProxyCredentials()
{
    // the first construction of the store fixes the run mode
    C_IniFileTools ini;
    C_Proxy proxy;
    std::wstring proxyAddress;
    if (!proxy.getProxyConfiguration(proxyAddress))
    {
        QOR_LOG_INFO("No proxy");
        report(qorTr("proxy: none"));
        return true;
    }

    const std::wstring login = iniValue(ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY,
                                        ConfigKeys::KEY_USER_PROXY);
    const std::wstring storedPassword = iniValue(
        ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY, ConfigKeys::KEY_PSWD_PROXY);

    if (m_bUnattended)
    {
        // the stored credentials go to the library as they are; nothing is rewritten
        QOR_LOG_INFO("Proxy settings taken from the configuration (unattended)");
        report(
            qorTrFormat("proxy: %s (stored credentials)", wstringToString(proxyAddress, CP_ACP)));
        return true;
    }

    const std::wstring password =
        stringToWstring(unscramblePassword(wstringToString(storedPassword, CP_ACP)));
    QorDownloaderProxy proxyDialog(this);
    proxyDialog.m_wzServer = proxyAddress;
    proxyDialog.m_wzLogin = login;
    proxyDialog.m_wzPassword = password;
    if (proxyDialog.ShowModal() != wxID_OK)
    {
        QOR_LOG_WARN("Leaving proxy settings with Cancel button");
        return false;
    }
    QOR_LOG_INFO("Leaving proxy settings with OK button");
    // a failed write is logged; the run goes on with what the user typed
    C_Proxy::storeCredentials(ini, proxyDialog.m_wzLogin, proxyDialog.m_wzPassword);
    return true;
}

void CQorDownloaderDlg::reveal()
{
    if (m_bTransparent)
    {
        SetTransparent(255);
    }
    m_bRevealed = true;
    if (m_bHeldHidden)
    {
        m_bHeldHidden = false;
        wxDialog::Show(true);
    }
    Raise();
    m_focusHolder->SetFocus();
    Refresh();
}

void CQorDownloaderDlg::onFindThreadPoll()
{
    switch (m_hThreadFindUpdate.poll())
    {
    case platform::WorkerThread::ePoll::Running:
        return;
    case platform::WorkerThread::ePoll::Ended:
    {
        killTimer(M_TIMER_STATUS_FINDTHREAD);
        unsigned long exitCode = 0;
        exitCode = m_hThreadFindUpdate.exitCode();
        m_hThreadFindUpdate.close();
        if (exitCode == 1)
        {
            QOR_LOG_INFO("FindUpdate success");
            report(qorTrFormat("find: update %s found, downloading", m_foundVersion));
            m_eState = eState::Downloading;
            setTimer(M_TIMER_GETSTATUS, STATUS_POLL_MS);
            return;
        }
        QOR_LOG_ERROR("FindUpdate failure: thread return code NOK");
        report(qorTr("find: failed"));
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
    case platform::WorkerThread::ePoll::Failed:
        QOR_LOG_ERROR("FindUpdate failure: thread abandoned");
        report(qorTr("find: failed"));
        killTimer(M_TIMER_STATUS_FINDTHREAD);
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
}

void CQorDownloaderDlg::onDownloadPoll()
{
    if (getStatusAuto())
    {
        return;
    }
    killTimer(M_TIMER_GETSTATUS);
    handleCancelPopup();
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_INFO("DownloadUpdate success");
        report(qorTr("download: complete"));
        m_eState = eState::Finalizing;
        if (!m_hThreadFinalizeUpdate.start([this] { return threadFinalizeUpdate(this); }))
        {
            QOR_LOG_WARN("FinalizeUpdate CreateThread error: " << platform::getLastError());
        }
        setTimer(M_TIMER_STATUS_FINALIZETHREAD, FINALIZE_THREAD_POLL_MS);
        return;
    }
    QOR_LOG_ERROR("DownloadUpdate failure");
    report(qorTr("download: failed"));
    finalizeStatus(true);
    OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
}

void CQorDownloaderDlg::onFinalizeThreadPoll()
{
    switch (m_hThreadFinalizeUpdate.poll())
    {
    case platform::WorkerThread::ePoll::Running:
        return;
    case platform::WorkerThread::ePoll::Ended:
    {
        killTimer(M_TIMER_STATUS_FINALIZETHREAD);
        unsigned long exitCode = 0;
        exitCode = m_hThreadFinalizeUpdate.exitCode();
        m_hThreadFinalizeUpdate.close();
        if (exitCode == 1)
        {
            QOR_LOG_INFO("FinalizeUpdate success");
            report(qorTrFormat("finalize: moved to %s", wstringToString(m_destPath, CP_ACP)));
            finalizeStatus(true);
            OnOK(CQorDownloaderApp::RC_SUCCESS);
            return;
        }
        QOR_LOG_ERROR("FinalizeUpdate failure");
        report(qorTr("finalize: failed"));
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
    case platform::WorkerThread::ePoll::Failed:
        QOR_LOG_ERROR("FinalizeUpdate failure: thread abandoned");
        report(qorTr("finalize: failed"));
        killTimer(M_TIMER_STATUS_FINALIZETHREAD);
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
}

void CQorDownloaderDlg::onCancelPoll()
{
    if (getStatusAuto())
    {
        return;
    }
    killTimer(M_TIMER_GETSTATUS_CANCELUPDATE);
    if (m_updInterFct.isLoaded() && !m_bUpdInterClosed)
    {
        m_bUpdInterClosed = true;
        m_updInterFct.closeUpdInter();
        QOR_LOG_INFO("...download stopped");
    }
    report(qorTr("download: canceled"));
    if (m_waitDialog != nullptr)
    {
        m_waitDialog->Destroy();
        m_waitDialog = nullptr;
    }
    OnCancel(CQorDownloaderApp::RC_USER_CANCELED);
}

std::wstring CQorDownloaderDlg::percentText() const
{
    // a default wide stream: 6 significant digits, no trailing zeros
    std::wostringstream text;
    text << static_cast<double>(m_progressCtrl->GetValue()) * 100.0 / 1000.0 << L"%";
    return text.str();
}

void CQorDownloaderDlg::setPos(const int& pos)
{
    if (!wxIsMainThread())
    {
        const int value = pos;
        m_uiCall.run([this, value] { setPos(value); });
        return;
    }
    QOR_LOG_TRACE(m_iLastPos << "/" << pos);
    if (pos != m_iLastPos)
    {
        // the Windows control clamps; wxGauge asserts instead
        m_progressCtrl->SetValue(std::clamp(pos, 0, PROGRESS_MAX));
        m_iLastPos = pos;
    }
    const std::wstring text = percentText();
    QOR_LOG_TRACE(m_wzLastPercent << L"/" << text);
    if (text != m_wzLastPercent)
    {
        m_percentText->SetLabel(text);
        m_wzLastPercent = text;
    }
    if (m_bUnattended && m_eState == eState::Downloading)
    {
        const int decile = m_progressCtrl->GetValue() / 100;
        if (decile > m_iLastReportedDecile)
        {
            m_iLastReportedDecile = decile;
            report(qorTrFormat("download: %s", wstringToString(text, CP_ACP)));
        }
    }
}

void CQorDownloaderDlg::offsetPos(const int& i_iPos)
{
    if (!wxIsMainThread())
    {
        const int value = i_iPos;
        m_uiCall.run([this, value] { offsetPos(value); });
        return;
    }
    QOR_LOG_TRACE("i_iPos: " << i_iPos);
    m_progressCtrl->SetValue(static_cast<int>(std::clamp<long long>(
        static_cast<long long>(m_progressCtrl->GetValue()) + i_iPos, 0, PROGRESS_MAX)));
    m_percentText->SetLabel(percentText());
}

void CQorDownloaderDlg::deltaPos(const int& delta)
{
    if (!wxIsMainThread())
    {
        const int value = delta;
        m_uiCall.run([this, value] { deltaPos(value); });
        return;
    }
    m_progressCtrl->SetValue(static_cast<int>(std::clamp<long long>(
        static_cast<long long>(m_progressCtrl->GetValue()) + delta, 0, PROGRESS_MAX)));
}

bool CQorDownloaderDlg::getStatusAuto()
{
    std::int32_t status = 0;
    std::int32_t nbUpdate = -1;
    std::int32_t currentUpdate = -1;
    std::int32_t nbBlock = -1;
    std::int32_t currentBlock = -1;
    if (m_updInterFct.isLoaded())
    {
        m_updInterFct.getStatusUpdInter(&status, &nbUpdate, &currentUpdate, &nbBlock,
                                        &currentBlock);
    }
    setDownloadStatus();

    if (nbBlock > 0 && nbUpdate > 0)
    {
        const double position =
            DOWNLOAD_SPAN * ((currentUpdate - 1.0) / nbUpdate +
                             static_cast<double>(currentBlock) /
                                 (static_cast<double>(nbUpdate) * static_cast<double>(nbBlock)));
        // hostile counts must not overflow the conversion; the bar clamps anyway
        const double bounded = std::clamp(position, -1.0e6, 1.0e6);
        setPos(static_cast<int>(bounded) + DOWNLOAD_START);
    }
    else
    {
        QOR_LOG_WARN("NbUpdate: " << nbUpdate);
        QOR_LOG_WARN("NbBlock: " << nbBlock);
    }

    if (status != UPDINTER_STATUS_IDLE)
    {
        m_bCancelAllowed = true;
        if (!m_cancelButton->IsShown())
        {
            m_cancelButton->Show();
        }
    }
    else
    {
        m_cancelButton->Hide();
        m_bCancelAllowed = false;
    }
    return status == UPDINTER_STATUS_WORKING;
}

void CQorDownloaderDlg::setDownloadStatus()
{
    m_iResultUpdInter = 0;
    if (!m_updInterFct.isLoaded())
    {
        return;
    }
    std::int32_t result = 0;
    m_updInterFct.getResultUpdInter(&result);
    m_iResultUpdInter = result;
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_TRACE("ResultUpdInter: SUCCESS");
        return;
    }
    std::int32_t apiErrorCode = 0;
    std::int32_t primaryErrorCode = 0;
    std::int32_t secondaryErrorCode = 0;
    m_updInterFct.getResultUpdInterEx(&apiErrorCode, &primaryErrorCode, &secondaryErrorCode);
    QOR_LOG_WARN("APIErrorCode: " << apiErrorCode);
    QOR_LOG_WARN("PrimaryErrorCode: " << primaryErrorCode);
    QOR_LOG_WARN("SecondaryErrorCode: " << secondaryErrorCode);
}

void CQorDownloaderDlg::closeUpdInter()
{
    if (m_updInterFct.isLoaded() && !m_bUpdInterClosed)
    {
        m_bUpdInterClosed = true;
        m_updInterFct.closeUpdInter();
        QOR_LOG_INFO("Download stopped");
    }
}

void CQorDownloaderDlg::finalizeStatus(bool i_bSuccess)
{
    std::wstring text = C_WindowsTools::getUString(IDS_DOWNLOAD_FAILED, L"");
    unsigned int icon = platform::MB_ICONERROR;
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS && i_bSuccess)
    {
        text = C_WindowsTools::getUString(IDS_DOWNLOAD_COMPLETE, L"");
        icon = platform::MB_ICONINFORMATION;
    }
    closeUpdInter();
    if (m_bUnattended)
    {
        QOR_LOG_INFO("Final message not shown (unattended): " << text);
        return;
    }
    platform::messageBox(this, text, CQorDownloaderApp::getAppTitle(), platform::MB_OK | icon);
}

void CQorDownloaderDlg::endDialog(int wxReturnCode)
{
    m_eState = eState::Ended;
    for (auto& timer : m_timers)
    {
        timer.Stop();
    }
    SetReturnCode(wxReturnCode);
    if (m_cancelPrompt != nullptr)
    {
        // A tick ran inside the cancel confirmation's own loop: wx can only
        // end the loop that is active, so the dialog ends once that one is.
        m_bEndPending = true;
        return;
    }
    if (IsModal())
    {
        EndModal(wxReturnCode);
    }
}

void CQorDownloaderDlg::OnOK(const CQorDownloaderApp::eReturnCode code)
{
    QOR_LOG_INFO("Download success return code: " << static_cast<int>(code));
    m_eReturnCode = code;
    endDialog(wxID_OK);
}

void CQorDownloaderDlg::OnCancel(const CQorDownloaderApp::eReturnCode code)
{
    QOR_LOG_WARN("Download failure return code: " << static_cast<int>(code));
    m_eReturnCode = code;
    endDialog(wxID_CANCEL);
}

void CQorDownloaderDlg::onOkButton(wxCommandEvent&)
{
    // Enter reaches the hidden default OK button; ending here would leave a
    // worker or a library download running under a destroyed dialog.
    QOR_LOG_TRACE("OK command ignored during the run");
}

void CQorDownloaderDlg::onCharHook(wxKeyEvent& event)
{
    switch (event.GetKeyCode())
    {
    case WXK_ESCAPE:
        OnBnClickedCancel();
        return;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
        QOR_LOG_TRACE("OK command ignored during the run");
        return;
    default:
        event.Skip();
        return;
    }
}

void CQorDownloaderDlg::onCloseWindow(wxCloseEvent& event)
{
    // The close command is a cancel request like Escape; only the state
    // machine ends the dialog.
    if (event.CanVeto())
    {
        event.Veto();
    }
    if (m_eState != eState::Ended)
    {
        OnBnClickedCancel();
    }
}

void CQorDownloaderDlg::OnBnClickedCancel()
{
    if (!m_bCancelAllowed || m_eState != eState::Downloading)
    {
        if (m_eState == eState::Canceling)
        {
            QOR_LOG_WARN("Cancel action ignored: a cancel is already in progress");
            return;
        }
        QOR_LOG_WARN("Cancel action not allowed");
        return;
    }
    if (!m_cancelButton->IsShown())
    {
        QOR_LOG_WARN("Cancel action not take into account cause CancelBtn is not visible");
        return;
    }
    if (m_cancelPrompt != nullptr)
    {
        // a confirmation is already open (Escape pressed again behind it)
        return;
    }

    int answer = platform::IDNO;
    {
        platform::MessageBox prompt(this, C_WindowsTools::getUString(IDS_CONFIRM_CANCEL, L""),
                                    CQorDownloaderApp::getAppTitle(),
                                    platform::MB_YESNO | platform::MB_ICONQUESTION);
        m_cancelPrompt = &prompt;
        answer = prompt.showModal();
        m_cancelPrompt = nullptr;
    }
    onCancelAnswer(answer);
    if (m_bEndPending && IsModal())
    {
        m_bEndPending = false;
        EndModal(GetReturnCode());
    }
}

void CQorDownloaderDlg::onCancelAnswer(int answer)
{

    switch (answer)
    {
    case platform::IDYES:
        // ticks ran while the box was open: the download may be over now
        if (!m_bCancelAllowed || m_eState != eState::Downloading)
        {
            QOR_LOG_WARN("Cancel action not allowed this time");
            return;
        }
        if (!m_cancelButton->IsShown())
        {
            QOR_LOG_WARN("Download not canceled cause CancelBtn is not visible this time");
            return;
        }
        killTimer(M_TIMER_GETSTATUS);
        m_eState = eState::Canceling;
        if (m_updInterFct.isLoaded())
        {
            m_updInterFct.closeDownload();
            QOR_LOG_INFO("Stopping download...");
        }
        m_waitDialog = new QorWaitDialog();
        if (!m_waitDialog->Create(this))
        {
            m_waitDialog->Destroy();
            m_waitDialog = nullptr;
        }
        setTimer(M_TIMER_GETSTATUS_CANCELUPDATE, STATUS_POLL_MS);
        return;
    case platform::IDNO:
        QOR_LOG_INFO("Download not canceled cause user choice (NO)");
        return;
    case platform::IDABORT:
        QOR_LOG_INFO("Download not canceled cause download ending");
        return;
    default:
        QOR_LOG_ERROR("Download not canceled cause: " << answer);
        return;
    }
}

void CQorDownloaderDlg::handleCancelPopup()
{
    if (m_cancelPrompt != nullptr && m_cancelPrompt->isOpen())
    {
        QOR_LOG_INFO("Cancel popup found: sending ABORT message");
        m_cancelPrompt->endWith(platform::IDABORT);
        return;
    }
    QOR_LOG_INFO("No cancel popup");
}

void CQorDownloaderDlg::report(const std::string& line) const
{
    if (m_bUnattended)
    {
        std::cout << line << std::endl;
    }
}

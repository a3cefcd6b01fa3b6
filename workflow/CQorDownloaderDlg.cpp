// The dialog is the design's QorDownloaderDlg; its own few lines say so.
#define QOR_LOG_SOURCE_FILE "QorDownloaderDlg.cpp"

#include "workflow/CQorDownloaderDlg.h"

#include "logging/AppLogger.h"
#include "platform/MessageBox.h"
#include "proxy/QorDownloaderProxy.h"
#include "resources/ui/UiResources.h"
#include "tools/C_WindowsTools.h"
#include "workflow/QorWaitDialog.h"

#include <wx/xrc/xmlres.h>

#include <algorithm>
#include <iostream>
#include <utility>

namespace
{
const char* const DIALOG_TEMPLATE = "Dialog102";
// ShowModal's answer when the window could not be made from its template
constexpr int TEMPLATE_NOT_USABLE = -1;
constexpr unsigned int IDS_CANCEL_BUTTON = 801;
} // namespace

CQorDownloaderDlg::CQorDownloaderDlg(wxWindow* parent, bool unattended)
    : m_uiCall(this),
      m_unattendedAnswers(unattended ? std::make_unique<UnattendedAnswers>(std::cout) : nullptr),
      m_run(std::make_unique<DownloadRun>(static_cast<RunView&>(*this),
                                          m_unattendedAnswers
                                              ? static_cast<RunUser&>(*m_unattendedAnswers)
                                              : static_cast<RunUser&>(*this)))
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
    m_run->joinWorkers();
    // closes the library before the binding unloads it
    m_run.reset();
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
        return TEMPLATE_NOT_USABLE;
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
    m_progressCtrl->SetRange(PROGRESS_MAX);
    m_run->prepare();
    m_cancelButton->SetLabel(
        C_WindowsTools::getUString(L"user32.dll", IDS_CANCEL_BUTTON, L"Cancel"));
    m_run->start();
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
    if (!m_run->OnTimer(static_cast<unsigned int>(event.GetId())))
    {
        event.Skip(); // not one of ours: the toolkit's default handling
    }
}

bool CQorDownloaderDlg::isFrontEndThread() const
{
    return wxIsMainThread();
}

bool CQorDownloaderDlg::callOnFrontEndThread(const std::function<void()>& call)
{
    return m_uiCall.run(call);
}

void CQorDownloaderDlg::setBarPosition(int position)
{
    // the Windows control clamps; wxGauge asserts instead
    m_progressCtrl->SetValue(std::clamp(position, 0, PROGRESS_MAX));
}

void CQorDownloaderDlg::setPercentText(const std::wstring& text)
{
    m_percentText->SetLabel(text);
}

void CQorDownloaderDlg::setStatusText(const std::wstring& text)
{
    m_statusText->SetLabel(text);
}

void CQorDownloaderDlg::showCancel(bool shown)
{
    m_cancelButton->Show(shown);
}

bool CQorDownloaderDlg::isCancelShown() const
{
    return m_cancelButton->IsShown();
}

bool CQorDownloaderDlg::confirmDownload(const std::wstring& text)
{
    const std::wstring note = std::exchange(m_confirmationNote, std::wstring());
    return platform::messageBox(this, text, CQorDownloaderApp::getAppTitle(),
                                platform::MB_YESNO | platform::MB_ICONQUESTION,
                                note) == platform::IDYES;
}

RunUser::eProxyAnswer CQorDownloaderDlg::askProxyCredentials(const std::wstring& server,
                                                             std::wstring& login,
                                                             std::wstring& password)
{
    QorDownloaderProxy proxyDialog(this);
    proxyDialog.m_wzServer = server;
    proxyDialog.m_wzLogin = login;
    proxyDialog.m_wzPassword = password;
    if (proxyDialog.ShowModal() != wxID_OK)
    {
        return eProxyAnswer::Canceled;
    }
    login = proxyDialog.m_wzLogin;
    password = proxyDialog.m_wzPassword;
    return eProxyAnswer::Typed;
}

int CQorDownloaderDlg::askCancel(const std::wstring& text)
{
    if (m_cancelPrompt != nullptr)
    {
        return PROMPT_ALREADY_OPEN;
    }
    platform::MessageBox prompt(this, text, CQorDownloaderApp::getAppTitle(),
                                platform::MB_YESNO | platform::MB_ICONQUESTION);
    m_cancelPrompt = &prompt;
    const int answer = prompt.showModal();
    m_cancelPrompt = nullptr;
    return answer;
}

bool CQorDownloaderDlg::abortCancelPrompt()
{
    if (m_cancelPrompt != nullptr && m_cancelPrompt->isOpen())
    {
        m_cancelPrompt->endWith(platform::IDABORT);
        return true;
    }
    return false;
}

void CQorDownloaderDlg::showMessage(const std::wstring& text, unsigned int icon,
                                    const std::wstring& reason)
{
    platform::messageBox(this, text, CQorDownloaderApp::getAppTitle(), platform::MB_OK | icon,
                         reason);
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

void CQorDownloaderDlg::showWaitBox()
{
    // the cancel is under way: a second one has nothing to ask for
    m_cancelButton->Disable();
    m_waitDialog = new QorWaitDialog();
    if (!m_waitDialog->Create(this))
    {
        m_waitDialog->Destroy();
        m_waitDialog = nullptr;
    }
}

void CQorDownloaderDlg::closeWaitBox()
{
    if (m_waitDialog != nullptr)
    {
        m_waitDialog->Destroy();
        m_waitDialog = nullptr;
    }
    m_cancelButton->Enable();
}

void CQorDownloaderDlg::endRun(ReturnCode::eReturnCode code, bool accepted)
{
    m_eReturnCode = code;
    for (auto& timer : m_timers)
    {
        timer.Stop();
    }
    const int wxReturnCode = accepted ? wxID_OK : wxID_CANCEL;
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

void CQorDownloaderDlg::OnBnClickedCancel()
{
    m_run->OnBnClickedCancel();
    if (m_bEndPending && m_cancelPrompt == nullptr && IsModal())
    {
        m_bEndPending = false;
        EndModal(GetReturnCode());
    }
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
    if (m_run->state() != eState::Ended)
    {
        OnBnClickedCancel();
    }
}

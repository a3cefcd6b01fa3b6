#include "proxy/QorDownloaderProxy.h"

#include "app/CQorDownloaderApp.h"
#include "logging/AppLogger.h"
#include "resources/ui/UiResources.h"
#include "tools/C_WindowsTools.h"

#include <wx/xrc/xmlres.h>

#include <algorithm>

namespace
{
const char* const TEMPLATE_NAME = "Dialog146";
// the template's size in dialog units: the client area, as in a Windows template
const wxSize TEMPLATE_CLIENT_SIZE(195, 97);

const unsigned int IDS_PROXY_ADDRESS = 149;
const unsigned int IDS_LOGIN = 150;
const unsigned int IDS_PASSWORD = 151;
const unsigned int IDS_USER32_OK = 800;
const unsigned int IDS_USER32_CANCEL = 801;
const wchar_t* const SYSTEM_STRINGS_MODULE = L"user32.dll";
const wchar_t* const LABEL_FALLBACK = L"Server proxy";

template <typename Control> Control* bindControl(wxWindow& dialog, int id)
{
    Control* control = dynamic_cast<Control*>(dialog.FindWindow(id));
    if (control == nullptr)
    {
        QOR_LOG_ERROR("Proxy dialog control missing: " << id);
    }
    return control;
}
} // namespace

QorDownloaderProxy::QorDownloaderProxy(wxWindow* parent)
{
    m_hIcon = loadAppIcon();
    loadUiResources();
    if (!wxXmlResource::Get()->LoadDialog(this, parent, TEMPLATE_NAME))
    {
        // Without the template the user must still be able to leave: a bare
        // dialog with a close box, which cancels.
        QOR_LOG_ERROR("Proxy dialog template not loaded: " << TEMPLATE_NAME);
        Create(parent, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE);
    }
    SetClientSize(ConvertDialogToPixels(TEMPLATE_CLIENT_SIZE));
    Centre();
    DoDataExchange();

    Bind(wxEVT_INIT_DIALOG, &QorDownloaderProxy::OnInitDialog, this);
    Bind(wxEVT_BUTTON, &QorDownloaderProxy::OnBnClickedOk, this, wxID_OK);
    Bind(wxEVT_TEXT_ENTER, &QorDownloaderProxy::OnTextEnter, this, IDC_LOGIN_EDIT);
    Bind(wxEVT_TEXT_ENTER, &QorDownloaderProxy::OnTextEnter, this, IDC_PASSWORD_EDIT);
}

QorDownloaderProxy::~QorDownloaderProxy() = default;

void QorDownloaderProxy::DoDataExchange()
{
    m_okButton = bindControl<wxButton>(*this, wxID_OK);
    m_cancelButton = bindControl<wxButton>(*this, wxID_CANCEL);
    m_serverEdit = bindControl<wxTextCtrl>(*this, IDC_SERVER_EDIT);
    m_loginEdit = bindControl<wxTextCtrl>(*this, IDC_LOGIN_EDIT);
    m_passwordEdit = bindControl<wxTextCtrl>(*this, IDC_PASSWORD_EDIT);
    m_serverLabel = bindControl<wxStaticText>(*this, IDC_SERVER_LABEL);
    m_loginLabel = bindControl<wxStaticText>(*this, IDC_LOGIN_LABEL);
    m_passwordLabel = bindControl<wxStaticText>(*this, IDC_PASSWORD_LABEL);
}

void QorDownloaderProxy::OnInitDialog(wxInitDialogEvent& /*event*/)
{
    if (m_hIcon.IsOk())
    {
        SetIcon(m_hIcon);
    }
    SetTitle(CQorDownloaderApp::getAppTitle());

    if (m_serverLabel != nullptr)
    {
        m_serverLabel->SetLabel(C_WindowsTools::getUString(IDS_PROXY_ADDRESS, LABEL_FALLBACK));
    }
    if (m_loginLabel != nullptr)
    {
        m_loginLabel->SetLabel(C_WindowsTools::getUString(IDS_LOGIN, LABEL_FALLBACK));
    }
    if (m_passwordLabel != nullptr)
    {
        m_passwordLabel->SetLabel(C_WindowsTools::getUString(IDS_PASSWORD, LABEL_FALLBACK));
    }

    if (m_serverEdit != nullptr)
    {
        m_serverEdit->ChangeValue(m_wzServer);
    }
    // The entry limit guards typing only. GTK would also cut a longer stored
    // value when the limit is set, and OK would then write the cut password
    // back; so a longer stored value widens the limit to its own length.
    if (m_loginEdit != nullptr)
    {
        m_loginEdit->SetMaxLength(std::max<unsigned long>(ENTRY_LIMIT, m_wzLogin.size()));
        m_loginEdit->ChangeValue(m_wzLogin);
    }
    if (m_passwordEdit != nullptr)
    {
        m_passwordEdit->SetMaxLength(std::max<unsigned long>(ENTRY_LIMIT, m_wzPassword.size()));
        m_passwordEdit->ChangeValue(m_wzPassword);
    }

    if (m_cancelButton != nullptr)
    {
        m_cancelButton->SetLabel(
            C_WindowsTools::getUString(SYSTEM_STRINGS_MODULE, IDS_USER32_CANCEL, L"Cancel"));
    }
    if (m_okButton != nullptr)
    {
        m_okButton->SetLabel(
            C_WindowsTools::getUString(SYSTEM_STRINGS_MODULE, IDS_USER32_OK, L"OK"));
        // the first tab stop of the template takes the focus
        m_okButton->SetFocus();
    }
}

void QorDownloaderProxy::OnBnClickedOk(wxCommandEvent& /*event*/)
{
    if (m_loginEdit != nullptr)
    {
        m_wzLogin = m_loginEdit->GetValue().ToStdWstring();
    }
    if (m_passwordEdit != nullptr)
    {
        m_wzPassword = m_passwordEdit->GetValue().ToStdWstring();
    }
    EndModal(wxID_OK);
}

void QorDownloaderProxy::OnTextEnter(wxCommandEvent& event)
{
    // Enter in an entry acts as the OK button, as in a Windows dialog
    OnBnClickedOk(event);
}

// The proxy credentials dialog (template 146): shows the proxy server that
// the system settings name, read-only, and lets the user enter the user name
// and password for it. The caller fills the three texts, runs ShowModal()
// and, on wxID_OK, reads m_wzLogin and m_wzPassword back; on wxID_CANCEL the
// texts are left as they were.
#pragma once

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/icon.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <string>

class QorDownloaderProxy : public wxDialog
{
public:
    // Control ids of the template; the two buttons are the toolkit's OK and
    // Cancel, which carry the Enter/Escape handling of a dialog.
    static constexpr int IDC_SERVER_EDIT = 1003;
    static constexpr int IDC_LOGIN_EDIT = 1004;
    static constexpr int IDC_PASSWORD_EDIT = 1005;
    static constexpr int IDC_SERVER_LABEL = 1006;
    static constexpr int IDC_LOGIN_LABEL = 1007;
    static constexpr int IDC_PASSWORD_LABEL = 1008;
    // Longest user name or password the entries accept from the keyboard.
    static constexpr unsigned long ENTRY_LIMIT = 256;

    explicit QorDownloaderProxy(wxWindow* parent);
    ~QorDownloaderProxy() override;

    wxIcon m_hIcon;
    std::wstring m_wzServer;
    std::wstring m_wzLogin;
    std::wstring m_wzPassword;

private:
    // Binds the controls of the template to the members below.
    void DoDataExchange();
    void OnInitDialog(wxInitDialogEvent& event);
    void OnBnClickedOk(wxCommandEvent& event);
    void OnTextEnter(wxCommandEvent& event);

    wxTextCtrl* m_serverEdit = nullptr;
    wxTextCtrl* m_loginEdit = nullptr;
    wxTextCtrl* m_passwordEdit = nullptr;
    wxButton* m_okButton = nullptr;
    wxButton* m_cancelButton = nullptr;
    wxStaticText* m_serverLabel = nullptr;
    wxStaticText* m_loginLabel = nullptr;
    wxStaticText* m_passwordLabel = nullptr;
};

#include "workflow/QorWaitDialog.h"

#include "app/CQorDownloaderApp.h"
#include "logging/AppLogger.h"
#include "resources/ui/UiResources.h"
#include "tools/C_WindowsTools.h"

#include <wx/sizer.h>
#include <wx/xrc/xmlres.h>

namespace
{
const char* const DIALOG_TEMPLATE = "Dialog134";
constexpr unsigned int IDS_WAIT_UNTIL_STOPPED = 147;
} // namespace

bool QorWaitDialog::Create(wxWindow* parent)
{
    loadUiResources();
    if (!wxXmlResource::Get()->LoadDialog(this, parent, DIALOG_TEMPLATE))
    {
        QOR_LOG_ERROR("Dialog template not usable: " << DIALOG_TEMPLATE);
        return false;
    }
    m_waitText = wxDynamicCast(FindWindow(IDC_WAIT_TEXT), wxStaticText);
    if (m_waitText == nullptr)
    {
        QOR_LOG_ERROR("Dialog template not usable: " << DIALOG_TEMPLATE);
        return false;
    }
    // Enter, Escape and the close command do nothing here
    Bind(wxEVT_CHAR_HOOK,
         [](wxKeyEvent& event)
         {
             const int key = event.GetKeyCode();
             if (key != WXK_ESCAPE && key != WXK_RETURN && key != WXK_NUMPAD_ENTER)
             {
                 event.Skip();
             }
         });
    Bind(
        wxEVT_BUTTON, [](wxCommandEvent&) {}, wxID_OK);
    Bind(
        wxEVT_BUTTON, [](wxCommandEvent&) {}, wxID_CANCEL);
    Bind(wxEVT_CLOSE_WINDOW,
         [this](wxCloseEvent& event)
         {
             if (event.CanVeto())
             {
                 event.Veto();
                 return;
             }
             Destroy();
         });
    OnInitDialog();
    Show();
    return true;
}

void QorWaitDialog::OnInitDialog()
{
    SetTitle(CQorDownloaderApp::getAppTitle());
    m_waitText->SetLabel(C_WindowsTools::getUString(IDS_WAIT_UNTIL_STOPPED, L""));
    centreText();
    CentreOnParent();
}

void QorWaitDialog::centreText()
{
    // A dialog's only child fills it, and a static text draws at its top:
    // the text keeps the template's width and its own height, in the middle.
    const int side = m_waitText->GetPosition().x;
    const int width = m_waitText->GetSize().x;
    m_waitText->Wrap(width);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->AddStretchSpacer();
    sizer->Add(m_waitText, 0, wxEXPAND | wxLEFT | wxRIGHT, side);
    sizer->AddStretchSpacer();
    SetSizer(sizer);
    Layout();
}

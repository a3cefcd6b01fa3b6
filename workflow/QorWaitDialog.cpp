#include "workflow/QorWaitDialog.h"

#include "logging/AppLogger.h"
#include "resources/ui/UiResources.h"
#include "tools/C_WindowsTools.h"

#include <wx/dcclient.h>
#include <wx/settings.h>
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
    // GTK draws no simple border round a top-level window; without one the
    // box reads as a hole cut through the dialog under it
    if (HasFlag(wxBORDER_SIMPLE))
    {
        Bind(wxEVT_PAINT, [this](wxPaintEvent&) { drawBorder(); });
    }
    OnInitDialog();
    Show();
    return true;
}

wxColour QorWaitDialog::borderColour()
{
    return wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWFRAME);
}

void QorWaitDialog::drawBorder()
{
    wxPaintDC dc(this);
    dc.SetPen(wxPen(borderColour(), BORDER_WIDTH));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(wxPoint(0, 0), GetClientSize());
}

void QorWaitDialog::OnInitDialog()
{
    m_waitText->SetLabel(C_WindowsTools::getUString(IDS_WAIT_UNTIL_STOPPED, L""));
    CentreOnParent();
}

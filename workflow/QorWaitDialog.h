// The small window shown while a confirmed cancel completes: "Please wait
// until the download stops...". It has no caption and ignores Enter, Escape
// and the close command: only the program removes it, once the
// update-client library has stopped.
#pragma once

#include <wx/dialog.h>
#include <wx/stattext.h>

class QorWaitDialog : public wxDialog
{
public:
    static constexpr int IDC_WAIT_TEXT = 1002;
    // the template's thin border, drawn by the dialog itself
    static constexpr int BORDER_WIDTH = 1;
    static wxColour borderColour();

    QorWaitDialog() = default;
    // Creates the modeless window from template 134 over parent and shows it.
    bool Create(wxWindow* parent);

    wxStaticText* m_waitText = nullptr;

private:
    void OnInitDialog();
    void drawBorder();
};

// The small dialog shown while a confirmed cancel completes: "Please wait
// until the download stops...", centred under the program's title. It has
// no close box and ignores Enter, Escape and the close command: only the
// program removes it, once the update-client library has stopped.
#pragma once

#include <wx/dialog.h>
#include <wx/stattext.h>

class QorWaitDialog : public wxDialog
{
public:
    static constexpr int IDC_WAIT_TEXT = 1002;

    QorWaitDialog() = default;
    // Creates the modeless window from template 134 over parent and shows it.
    bool Create(wxWindow* parent);

    wxStaticText* m_waitText = nullptr;

private:
    void OnInitDialog();
    void centreText();
};

#include "platform/MessageBox.h"

#include <wx/msgdlg.h>
// after wx/msgdlg.h, which declares its base class
#include <wx/generic/msgdlgg.h>

namespace platform
{
namespace
{
// Boxes nest (a tick may open one while another is open); the chain through
// m_outer gives the innermost one, as GetLastActivePopup would.
MessageBox* s_innermostOpen = nullptr;

long toWxStyle(unsigned int style)
{
    long wxStyle = ((style & 0xF) == MB_YESNO) ? wxYES_NO : wxOK;
    switch (style & 0xF0)
    {
    case MB_ICONERROR:
        wxStyle |= wxICON_ERROR;
        break;
    case MB_ICONQUESTION:
        wxStyle |= wxICON_QUESTION;
        break;
    case MB_ICONINFORMATION:
        wxStyle |= wxICON_INFORMATION;
        break;
    default:
        break;
    }
    return wxStyle | wxCENTRE;
}

// A hook may answer with any wx id; anything unknown counts as a cancel.
int toAnswer(int wxAnswer)
{
    switch (wxAnswer)
    {
    case wxID_OK:
        return IDOK;
    case wxID_YES:
        return IDYES;
    case wxID_NO:
        return IDNO;
    case wxID_ABORT:
        return IDABORT;
    default:
        return IDCANCEL;
    }
}

int toWxAnswer(int answer)
{
    switch (answer)
    {
    case IDOK:
        return wxID_OK;
    case IDYES:
        return wxID_YES;
    case IDNO:
        return wxID_NO;
    case IDABORT:
        return wxID_ABORT;
    default:
        return wxID_CANCEL;
    }
}
} // namespace

MessageBox::MessageBox(wxWindow* owner, const std::wstring& text, const std::wstring& caption,
                       unsigned int style)
    : m_dialog(std::make_unique<wxGenericMessageDialog>(owner, wxString(text), wxString(caption),
                                                        toWxStyle(style)))
{
    // Escape and the close box answer No, as they do on a Windows Yes/No box
    if ((style & 0xF) == MB_YESNO)
    {
        m_dialog->SetEscapeId(wxID_NO);
    }
}

MessageBox::~MessageBox()
{
    // a box destroyed while open (its owner went away) must leave the chain
    if (m_bOpen && s_innermostOpen == this)
    {
        s_innermostOpen = m_outer;
    }
}

int MessageBox::showModal()
{
    m_outer = s_innermostOpen;
    s_innermostOpen = this;
    m_bOpen = true;
    const int wxAnswer = m_dialog->ShowModal();
    m_bOpen = false;
    if (s_innermostOpen == this)
    {
        s_innermostOpen = m_outer;
    }
    return toAnswer(wxAnswer);
}

bool MessageBox::endWith(int answer)
{
    if (!m_bOpen || !m_dialog->IsModal())
    {
        return false;
    }
    m_dialog->EndModal(toWxAnswer(answer));
    return true;
}

MessageBox* MessageBox::innermostOpen() noexcept
{
    return s_innermostOpen;
}

int messageBox(wxWindow* owner, const std::wstring& text, const std::wstring& caption,
               unsigned int style)
{
    MessageBox box(owner, text, caption, style);
    return box.showModal();
}
} // namespace platform

#include "platform/MessageBox.h"

#include <wx/dcscreen.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/tokenzr.h>
// after wx/msgdlg.h, which declares its base class
#include <wx/generic/msgdlgg.h>

namespace platform
{
namespace
{
// A generic box is as wide as its text needs, and a short text ("Download
// complete") left the window manager a title bar too narrow for the title
// ("QorDow...v2.0.0.0"). Like a Windows message box, this one is at least
// as wide as its caption needs beside the title bar's icon and buttons.
class CaptionFittingDialog : public wxGenericMessageDialog
{
public:
    using wxGenericMessageDialog::wxGenericMessageDialog;

protected:
    // called with the box's top sizer while the box is laid out
    void AddMessageDialogDetails(wxSizer* sizer) override
    {
        sizer->Add(captionWidth(*this, GetTitle()), 0);
    }
};

// Boxes nest (a tick may open one while another is open); the chain through
// m_outer gives the innermost one, as GetLastActivePopup would.
MessageBox* s_innermostOpen = nullptr;

constexpr int TEXT_WIDTH_CHARACTERS = 64;

// text with its lines broken between words to fit about characters average
// characters; a word longer than that keeps a line of its own.
// (measured in the toolkit's font: the box's window is made only when shown)
wxString wrapped(const std::wstring& text, int characters)
{
    wxScreenDC screen;
    screen.SetFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    const int width = characters * screen.GetCharWidth();
    wxString result;
    wxStringTokenizer lines(wxString(text), "\n", wxTOKEN_RET_EMPTY_ALL);
    while (lines.HasMoreTokens())
    {
        wxString line;
        wxStringTokenizer words(lines.GetNextToken(), " ", wxTOKEN_STRTOK);
        while (words.HasMoreTokens())
        {
            const wxString word = words.GetNextToken();
            const wxString longer = line.empty() ? word : line + " " + word;
            if (!line.empty() && screen.GetTextExtent(longer).x > width)
            {
                result += line + "\n";
                line = word;
            }
            else
            {
                line = longer;
            }
        }
        result += line;
        if (lines.HasMoreTokens())
        {
            result += "\n";
        }
    }
    return result;
}

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
                       unsigned int style, const std::wstring& extendedText)
    : m_dialog(std::make_unique<CaptionFittingDialog>(owner, wxString(text), wxString(caption),
                                                      toWxStyle(style)))
{
    if (!extendedText.empty())
    {
        // a secondary text names folders and files: long lines made boxes
        // wider than a small screen
        m_dialog->SetExtendedMessage(wrapped(extendedText, TEXT_WIDTH_CHARACTERS));
    }
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

int captionWidth(const wxWindow& window, const wxString& caption)
{
    // title bars draw the caption in a bold face of about the window's size
    wxFont font = window.GetFont();
    font.MakeBold();
    int width = 0;
    int height = 0;
    window.GetTextExtent(caption, &width, &height, nullptr, nullptr, &font);
    // the window icon, three buttons and the gaps between them
    constexpr int TITLE_BAR_ITEMS = 5;
    return caption.empty() ? 0 : width + TITLE_BAR_ITEMS * (window.GetCharHeight() + 6);
}

int messageBox(wxWindow* owner, const std::wstring& text, const std::wstring& caption,
               unsigned int style, const std::wstring& extendedText)
{
    MessageBox box(owner, text, caption, style, extendedText);
    return box.showModal();
}
} // namespace platform

// Message boxes the program can close itself. A box is a wxGenericMessageDialog
// (the native GTK box cannot be ended from a timer tick while it is open);
// answers and styles keep the Windows numbers so that logged values read the
// same on every platform. UI thread only.
#pragma once

#include <memory>
#include <string>

class wxWindow;
class wxGenericMessageDialog;
class wxString;

namespace platform
{
// answer codes
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// style bits
inline constexpr unsigned int MB_OK = 0x0;
inline constexpr unsigned int MB_YESNO = 0x4;
inline constexpr unsigned int MB_ICONERROR = 0x10;
inline constexpr unsigned int MB_ICONQUESTION = 0x20;
inline constexpr unsigned int MB_ICONINFORMATION = 0x40;

// One modal box. While showModal() runs, another part of the program (a
// timer tick of the owner) may end it with endWith(IDABORT), the way a
// WM_COMMAND IDABORT ends a Windows message box.
class MessageBox
{
public:
    // extendedText, when given, stands under text as the box's secondary text
    MessageBox(wxWindow* owner, const std::wstring& text, const std::wstring& caption,
               unsigned int style, const std::wstring& extendedText = L"");
    ~MessageBox();
    MessageBox(const MessageBox&) = delete;
    MessageBox& operator=(const MessageBox&) = delete;

    // Runs the box in its own modal loop; the answer code (IDOK, IDCANCEL,
    // IDYES, IDNO, or whatever endWith gave).
    int showModal();
    bool isOpen() const noexcept { return m_bOpen; }
    // Ends an open box with answer; false when the box is not open.
    bool endWith(int answer);

    // The box opened last that is still open (nested loops), or null.
    static MessageBox* innermostOpen() noexcept;

private:
    std::unique_ptr<wxGenericMessageDialog> m_dialog;
    bool m_bOpen = false;
    MessageBox* m_outer = nullptr;
};

// The width a window needs for the window manager to show caption whole in
// its title bar, beside the bar's icon and buttons; 0 for no caption.
int captionWidth(const wxWindow& window, const wxString& caption);

// Shows one box and waits for its answer.
int messageBox(wxWindow* owner, const std::wstring& text, const std::wstring& caption,
               unsigned int style, const std::wstring& extendedText = L"");
} // namespace platform

// Helpers of the GUI tests: a modal-dialog hook that answers prompts, the
// message of a message box, and a capped turn of the event loop.
#pragma once

#include <wx/modalhook.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

class wxDialog;

namespace qortest
{
// Answers modal dialogs. The answer function returns a wx id (wxID_YES...)
// or wxID_NONE to let the dialog really run.
class PromptAnswers : public wxModalDialogHook
{
public:
    using Answer = std::function<int(wxDialog*)>;
    explicit PromptAnswers(Answer answer);
    ~PromptAnswers() override;
    // message texts of the message boxes seen, in order
    std::vector<std::string> messages;
    // every dialog run while the hook was registered
    int dialogCount = 0;

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog* dialog) override;

private:
    Answer m_answer;
    std::set<wxDialog*> m_running;
};

// The message of a message box, or "" for other dialogs.
std::string messageOf(wxDialog* dialog);

// Runs the event loop until condition holds (true) or timeoutMs ran out.
bool pumpUntil(const std::function<bool()>& condition, int timeoutMs);
} // namespace qortest

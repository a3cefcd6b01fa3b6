#include "GuiTestSupport.h"

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/msgdlg.h>

#include <chrono>
#include <thread>

namespace qortest
{
PromptAnswers::PromptAnswers(Answer answer) : m_answer(std::move(answer))
{
    Register();
}

PromptAnswers::~PromptAnswers()
{
    Unregister();
}

int PromptAnswers::Enter(wxDialog* dialog)
{
    // a generic message box passes the hook twice on its way to running
    if (m_running.count(dialog) != 0)
    {
        return wxID_NONE;
    }
    ++dialogCount;
    const std::string message = messageOf(dialog);
    if (!message.empty())
    {
        messages.push_back(message);
    }
    const int answer = m_answer ? m_answer(dialog) : wxID_NONE;
    if (answer == wxID_NONE)
    {
        m_running.insert(dialog);
    }
    return answer;
}

void PromptAnswers::Exit(wxDialog* dialog)
{
    m_running.erase(dialog);
}

std::string messageOf(wxDialog* dialog)
{
    if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog))
    {
        return box->GetMessage().utf8_string();
    }
    return "";
}

bool pumpUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        wxEventLoopBase* loop = wxEventLoopBase::GetActive();
        if (loop != nullptr)
        {
            loop->YieldFor(wxEVT_CATEGORY_ALL);
        }
        else
        {
            wxTheApp->Yield(true);
        }
        wxTheApp->ProcessPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
} // namespace qortest

// The front end of an unattended run: no window and no toolkit, so it runs
// without a display. It plays the dialog's part for the run: its timers
// tick on the calling thread, a worker's calls run there under its lock,
// and its user is UnattendedAnswers, whose account of the run goes to
// standard output. SIGTERM and SIGINT ask the run to stop as a confirmed
// cancel would.
#pragma once

#include "app/ReturnCode.h"
#include "workflow/DownloadRun.h"
#include "workflow/RunView.h"
#include "workflow/UnattendedAnswers.h"

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class ConsoleFrontEnd : private RunView
{
public:
    // runModal's answers: the toolkit's numbers for OK and Cancel, as the
    // dialog's modal loop gives them (checked where the dialog is built)
    static constexpr int MODAL_OK = 5100;
    static constexpr int MODAL_CANCEL = 5101;

    ConsoleFrontEnd();
    ~ConsoleFrontEnd() override;
    ConsoleFrontEnd(const ConsoleFrontEnd&) = delete;
    ConsoleFrontEnd& operator=(const ConsoleFrontEnd&) = delete;

    // Runs the download to its end, like the dialog's modal loop: MODAL_OK
    // or MODAL_CANCEL.
    int runModal();

    // Asks a running runModal to stop, as the signals do; safe from any thread.
    static void requestStop() noexcept;

    DownloadRun& run() noexcept { return *m_run; }

    ReturnCode::eReturnCode m_eReturnCode = ReturnCode::RC_NOT_SET;

private:
    using Clock = std::chrono::steady_clock;

    // RunView: a console shows no bar, texts or boxes; the run's account
    // goes through its answers' report lines instead
    void setTimer(int id, int milliseconds) override;
    void killTimer(int id) override;
    bool isFrontEndThread() const override;
    bool callOnFrontEndThread(const std::function<void()>& call) override;
    void setBarPosition(int) override {}
    void setPercentText(const std::wstring&) override {}
    void setStatusText(const std::wstring&) override {}
    void showCancel(bool shown) override { m_bCancelShown = shown; }
    bool isCancelShown() const override { return m_bCancelShown; }
    void reveal() override {}
    void showWaitBox() override {}
    void closeWaitBox() override {}
    void endRun(ReturnCode::eReturnCode code, bool accepted) override;

    // the next due timer, or none
    std::optional<int> dueTimer(Clock::time_point now, Clock::time_point& next) const;

    // held by whoever runs the run's code: a tick, or a worker's progress call
    std::mutex m_mutex;
    // the thread that holds m_mutex for the run, or the loop's thread
    std::atomic<std::thread::id> m_owner;
    std::thread::id m_loopThread;
    bool m_bClosed = false;
    bool m_bEnded = false;
    bool m_bAccepted = false;
    std::array<std::optional<Clock::time_point>, DownloadRun::TIMER_COUNT> m_due;
    std::array<Clock::duration, DownloadRun::TIMER_COUNT> m_interval{};
    bool m_bCancelShown = false;
    UnattendedAnswers m_answers;
    std::unique_ptr<DownloadRun> m_run;
};

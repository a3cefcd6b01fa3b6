// The front end of an unattended run: no window and no toolkit, so it runs
// without a display. It plays the dialog's part for the run: its timers
// tick on the calling thread, progress is kept in memory, the run's report
// lines go to standard output, and it never asks anything (the run answers
// its own prompts when unattended). SIGTERM and SIGINT ask the run to stop
// as a confirmed cancel would.
#pragma once

#include "app/CQorDownloaderApp.h"
#include "workflow/DownloadRun.h"
#include "workflow/RunFrontEnd.h"

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class ConsoleFrontEnd : private RunFrontEnd
{
public:
    ConsoleFrontEnd();
    ~ConsoleFrontEnd() override;
    ConsoleFrontEnd(const ConsoleFrontEnd&) = delete;
    ConsoleFrontEnd& operator=(const ConsoleFrontEnd&) = delete;

    // Runs the download to its end, like the dialog's modal loop: the
    // dialog's answer numbers, wxID_OK or wxID_CANCEL.
    int runModal();

    // Asks a running runModal to stop, as the signals do; safe from any thread.
    static void requestStop() noexcept;

    DownloadRun& run() noexcept { return *m_run; }
    int barPosition() const override;

    CQorDownloaderApp::eReturnCode m_eReturnCode = CQorDownloaderApp::RC_NOT_SET;

private:
    using Clock = std::chrono::steady_clock;

    // RunFrontEnd
    void setTimer(int id, int milliseconds) override;
    void killTimer(int id) override;
    bool isFrontEndThread() const override;
    bool callOnFrontEndThread(const std::function<void()>& call) override;
    void setBarPosition(int position) override;
    void setPercentText(const std::wstring& text) override;
    void setStatusText(const std::wstring& text) override;
    void showCancel(bool shown) override;
    bool isCancelShown() const override;
    int askYesNo(const std::wstring& text) override;
    bool editProxyCredentials(const std::wstring& server, std::wstring& login,
                              std::wstring& password) override;
    int askCancel(const std::wstring& text) override;
    bool abortCancelPrompt() override;
    void showMessage(const std::wstring& text, unsigned int icon) override;
    void reveal() override;
    void showWaitBox() override;
    void closeWaitBox() override;
    void report(const std::string& line) override;
    void endRun(CQorDownloaderApp::eReturnCode code, bool accepted) override;

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
    int m_iBarPosition = 0;
    bool m_bCancelShown = false;
    std::unique_ptr<DownloadRun> m_run;
};

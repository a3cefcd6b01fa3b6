// What shows a run of the download: the download dialog for a person, the
// console's loop for an unattended run. The run (DownloadRun) drives its
// timers, its progress bar, its texts, the wait box and its end through
// this; what it asks the user goes to RunUser. Everything here is called on
// the front end's own thread; a worker reaches that thread only through
// callOnFrontEndThread, the one door from a worker to its run.
#pragma once

#include "app/ReturnCode.h"

#include <functional>
#include <string>

class RunView
{
public:
    virtual ~RunView() = default;

    // Timers 1 to 5 of the state machine: a set timer fires periodically
    // (DownloadRun::OnTimer) until it is killed.
    virtual void setTimer(int id, int milliseconds) = 0;
    virtual void killTimer(int id) = 0;

    // true on the thread that owns the run's state and controls
    virtual bool isFrontEndThread() const = 0;
    // Runs call on that thread and waits for it; false when the front end no
    // longer takes calls (the call did not run).
    virtual bool callOnFrontEndThread(const std::function<void()>& call) = 0;

    // Progress: the bar from 0 to 1000 (the run keeps the position in range
    // and remembers it), its percentage label, the status line and the
    // Cancel button.
    virtual void setBarPosition(int position) = 0;
    virtual void setPercentText(const std::wstring& text) = 0;
    virtual void setStatusText(const std::wstring& text) = 0;
    virtual void showCancel(bool shown) = 0;
    virtual bool isCancelShown() const = 0;

    // The prompts are done: the front end shows itself.
    virtual void reveal() = 0;
    // "Please wait until the download stops..." while a cancel completes.
    virtual void showWaitBox() = 0;
    virtual void closeWaitBox() = 0;

    // The run has ended with code; accepted is the OK way out (IDOK),
    // otherwise the Cancel way (IDCANCEL).
    virtual void endRun(ReturnCode::eReturnCode code, bool accepted) = 0;
};

// What a run of the download needs from whoever shows it: the download
// dialog for a person, the console for an unattended run. The run's steps
// and its state machine (DownloadRun) talk to their front end only through
// this: timers, progress, status text, prompts, message boxes and the end of
// the run. Everything here is called on the front end's own thread; a worker
// reaches it only through callOnFrontEndThread.
#pragma once

#include "app/CQorDownloaderApp.h"

#include <functional>
#include <string>

class RunFrontEnd
{
public:
    // askCancel's answer when its confirmation is already open
    static constexpr int PROMPT_ALREADY_OPEN = -1;

    virtual ~RunFrontEnd() = default;

    // Timers 1 to 5 of the state machine: a set timer fires periodically
    // (DownloadRun::OnTimer) until it is killed.
    virtual void setTimer(int id, int milliseconds) = 0;
    virtual void killTimer(int id) = 0;

    // true on the thread that owns the run's state and controls
    virtual bool isFrontEndThread() const = 0;
    // Runs call on that thread and waits for it; false when the front end no
    // longer takes calls (the call did not run).
    virtual bool callOnFrontEndThread(const std::function<void()>& call) = 0;

    // Progress: a bar from 0 to 1000 that keeps its position in range, its
    // percentage label, and the status line.
    virtual int barPosition() const = 0;
    virtual void setBarPosition(int position) = 0;
    virtual void setPercentText(const std::wstring& text) = 0;
    virtual void setStatusText(const std::wstring& text) = 0;
    virtual void showCancel(bool shown) = 0;
    virtual bool isCancelShown() const = 0;

    // Prompts and message boxes, with the Windows answer numbers
    // (platform/MessageBox.h). An unattended run never asks.
    virtual int askYesNo(const std::wstring& text) = 0;
    // The proxy credentials dialog; false when the user left it with Cancel.
    virtual bool editProxyCredentials(const std::wstring& server, std::wstring& login,
                                      std::wstring& password) = 0;
    // The cancel confirmation; abortCancelPrompt ends an open one with
    // IDABORT and tells whether one was open.
    virtual int askCancel(const std::wstring& text) = 0;
    virtual bool abortCancelPrompt() = 0;
    virtual void showMessage(const std::wstring& text, unsigned int icon) = 0;

    // The prompts are done: the front end shows itself.
    virtual void reveal() = 0;
    // "Please wait until the download stops..." while a cancel completes.
    virtual void showWaitBox() = 0;
    virtual void closeWaitBox() = 0;
    // One line of an unattended run's console report.
    virtual void report(const std::string& line) = 0;

    // The run has ended with code; accepted is the OK way out (IDOK),
    // otherwise the Cancel way (IDCANCEL).
    virtual void endRun(CQorDownloaderApp::eReturnCode code, bool accepted) = 0;
};

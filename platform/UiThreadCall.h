// The one door from a worker thread to the user-interface thread, standing in
// for SendMessageW to a control: run() queues a call onto the UI thread and
// waits until that thread has run it. GTK is only ever touched from the UI
// thread. The owner closes the door before it waits for its workers, so a
// worker can never wait for a UI thread that is itself waiting for the worker.
#pragma once

#include <functional>
#include <memory>

class wxEvtHandler;

namespace platform
{
class UiThreadCall
{
public:
    // Calls are delivered through target's event queue (normally the window
    // whose controls they touch, so that they die with it).
    explicit UiThreadCall(wxEvtHandler* target);
    ~UiThreadCall();
    UiThreadCall(const UiThreadCall&) = delete;
    UiThreadCall& operator=(const UiThreadCall&) = delete;

    // Runs call on the UI thread and returns once it has run: at once when
    // called on the UI thread itself. false when the door is closed (the call
    // did not run and will not run).
    bool run(const std::function<void()>& call);
    // UI thread: refuses further calls, drops queued ones and releases every
    // worker waiting in run().
    void close();
    bool isClosed() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    wxEvtHandler* m_target;
};
} // namespace platform

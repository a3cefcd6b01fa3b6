#include "platform/UiThreadCall.h"

#include <wx/event.h>
#include <wx/thread.h>

#include <condition_variable>
#include <mutex>

namespace platform
{
struct UiThreadCall::Shared
{
    std::mutex mutex;
    std::condition_variable done;
    bool closed = false;
};

UiThreadCall::UiThreadCall(wxEvtHandler* target)
    : m_shared(std::make_shared<Shared>()), m_target(target)
{
}

UiThreadCall::~UiThreadCall()
{
    close();
}

bool UiThreadCall::run(const std::function<void()>& call)
{
    if (wxIsMainThread())
    {
        if (isClosed())
        {
            return false;
        }
        call();
        return true;
    }

    struct Pending
    {
        bool ran = false;
    };
    auto pending = std::make_shared<Pending>();
    auto shared = m_shared;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->closed)
        {
            return false;
        }
        // Queued under the lock: close() cannot slip in between the check
        // and the queueing, so every queued call is seen by a later close().
        m_target->CallAfter(
            [shared, pending, &call]
            {
                {
                    std::lock_guard<std::mutex> innerLock(shared->mutex);
                    if (shared->closed)
                    {
                        return;
                    }
                }
                // The worker is blocked in run() until this has finished, so
                // the call (a reference into its stack) is still alive.
                call();
                std::lock_guard<std::mutex> innerLock(shared->mutex);
                pending->ran = true;
                shared->done.notify_all();
            });
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->done.wait(lock, [&] { return pending->ran || shared->closed; });
    return pending->ran;
}

void UiThreadCall::close()
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->closed = true;
    m_shared->done.notify_all();
}

bool UiThreadCall::isClosed() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->closed;
}
} // namespace platform

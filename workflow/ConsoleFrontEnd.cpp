#include "workflow/ConsoleFrontEnd.h"

#include "workflow/StopRequests.h"

#include <algorithm>
#include <iostream>

namespace
{
using namespace std::chrono_literals;

// how long the loop sleeps at most, so that a signal is seen promptly
constexpr auto SIGNAL_POLL = 50ms;
} // namespace

ConsoleFrontEnd::ConsoleFrontEnd()
    : m_owner(std::this_thread::get_id()), m_loopThread(std::this_thread::get_id()),
      m_answers(std::cout),
      m_run(std::make_unique<DownloadRun>(static_cast<RunView&>(*this), m_answers))
{
}

ConsoleFrontEnd::~ConsoleFrontEnd()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
    }
    // waits for the workers, then closes the library before unloading it
    m_run.reset();
}

void ConsoleFrontEnd::requestStop() noexcept
{
    StopRequests::request();
}

int ConsoleFrontEnd::runModal()
{
    // main catches the signals from its start; a caller that did not
    // (a test) gets them caught for the run here. Requests that came before
    // are taken by the first turn of the loop: the run ends before it starts.
    StopRequests::catchSignals();
    m_loopThread = std::this_thread::get_id();
    m_owner = m_loopThread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_run->prepare();
        m_run->start();
    }
    while (true)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_bEnded)
        {
            break;
        }
        if (StopRequests::take())
        {
            m_run->requestStop();
            continue;
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point next = now + SIGNAL_POLL;
        if (const std::optional<int> id = dueTimer(now, next))
        {
            const auto index = static_cast<std::size_t>(*id - 1);
            m_due[index] = now + m_interval[index];
            m_run->OnTimer(static_cast<unsigned int>(*id));
            continue;
        }
        lock.unlock();
        std::this_thread::sleep_until(next);
    }
    {
        // workers still running (a stop refused in no state leaves one, but
        // be safe) can no longer reach the run
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
    }
    m_run->joinWorkers();
    // the outcome is known: a stop from now on leaves it as it is
    StopRequests::forgetPending();
    return m_bAccepted ? MODAL_OK : MODAL_CANCEL;
}

std::optional<int> ConsoleFrontEnd::dueTimer(Clock::time_point now, Clock::time_point& next) const
{
    std::optional<int> due;
    Clock::time_point earliest = Clock::time_point::max();
    for (std::size_t i = 0; i < m_due.size(); ++i)
    {
        if (!m_due[i])
        {
            continue;
        }
        if (*m_due[i] <= now && *m_due[i] < earliest)
        {
            earliest = *m_due[i];
            due = static_cast<int>(i) + 1;
        }
        next = std::min(next, *m_due[i]);
    }
    return due;
}

void ConsoleFrontEnd::setTimer(int id, int milliseconds)
{
    const auto index = static_cast<std::size_t>(id - 1);
    m_interval[index] = std::chrono::milliseconds(milliseconds);
    m_due[index] = Clock::now() + m_interval[index];
}

void ConsoleFrontEnd::killTimer(int id)
{
    m_due[static_cast<std::size_t>(id - 1)].reset();
}

bool ConsoleFrontEnd::isFrontEndThread() const
{
    return m_owner.load() == std::this_thread::get_id();
}

bool ConsoleFrontEnd::callOnFrontEndThread(const std::function<void()>& call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bClosed)
    {
        return false;
    }
    m_owner = std::this_thread::get_id();
    call();
    m_owner = m_loopThread;
    return true;
}

void ConsoleFrontEnd::endRun(ReturnCode::eReturnCode code, bool accepted)
{
    m_eReturnCode = code;
    m_bAccepted = accepted;
    m_bEnded = true;
    for (auto& due : m_due)
    {
        due.reset();
    }
}

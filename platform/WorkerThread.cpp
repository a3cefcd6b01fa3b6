#include "platform/WorkerThread.h"

#include "platform/LastError.h"

#include <cerrno>
#include <system_error>

namespace platform
{
namespace
{
std::atomic<int> s_failingStarts{0};
} // namespace

WorkerThread::~WorkerThread()
{
    close();
}

bool WorkerThread::start(std::function<unsigned long()> routine)
{
    if (m_thread.joinable())
    {
        setLastError(EBUSY);
        return false;
    }
    if (s_failingStarts.load() > 0)
    {
        --s_failingStarts;
        m_state.reset();
        setLastError(EAGAIN);
        return false;
    }
    auto state = std::make_shared<State>();
    try
    {
        m_thread = std::thread(
            [state, work = std::move(routine)]
            {
                unsigned long code = 0;
                try
                {
                    code = work();
                }
                catch (...)
                {
                    // a routine that throws has failed, like one returning 0
                    code = 0;
                }
                state->exitCode.store(code);
                state->ended.store(true, std::memory_order_release);
            });
    }
    catch (const std::system_error& error)
    {
        m_state.reset();
        setLastError(static_cast<unsigned long>(error.code().value()));
        return false;
    }
    m_state = std::move(state);
    return true;
}

WorkerThread::ePoll WorkerThread::poll() const noexcept
{
    if (!m_state || !m_thread.joinable())
    {
        return ePoll::Failed;
    }
    return m_state->ended.load(std::memory_order_acquire) ? ePoll::Ended : ePoll::Running;
}

unsigned long WorkerThread::exitCode() const noexcept
{
    if (!m_state || !m_state->ended.load(std::memory_order_acquire))
    {
        return 0;
    }
    return m_state->exitCode.load();
}

void WorkerThread::close() noexcept
{
    if (m_thread.joinable())
    {
        try
        {
            m_thread.join();
        }
        catch (const std::system_error&)
        {
            // only a thread closing itself gets here; let it run out alone
            m_thread.detach();
        }
    }
    m_state.reset();
}

void WorkerThread::failNextStartsForTesting(int count) noexcept
{
    s_failingStarts.store(count);
}
} // namespace platform

#include "pelvane/base/CancelToken.h"

namespace pelvane
{
void CancelToken::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_flag.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
}

void CancelToken::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flag.store(false, std::memory_order_release);
}

bool CancelToken::sleepFor(std::chrono::milliseconds duration) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return canceled(); });
}
} // namespace pelvane

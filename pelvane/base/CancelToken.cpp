#include "pelvane/base/CancelToken.h"

#include <algorithm>

namespace pelvane
{
CancelToken::CancelToken(CancelToken& parent) : m_parent(&parent)
{
    std::lock_guard<std::mutex> lock(parent.m_mutex);
    parent.m_children.push_back(this);
    if (parent.canceled())
    {
        m_flag.store(true, std::memory_order_release);
    }
}

CancelToken::~CancelToken()
{
    if (m_parent != nullptr)
    {
        std::lock_guard<std::mutex> lock(m_parent->m_mutex);
        auto& siblings = m_parent->m_children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

void CancelToken::cancel()
{
    {
        // a parent's lock is always taken before its children's
        std::lock_guard<std::mutex> lock(m_mutex);
        m_flag.store(true, std::memory_order_release);
        for (CancelToken* child : m_children)
        {
            child->cancel();
        }
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

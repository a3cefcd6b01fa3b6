// The stop request shared by the caller's threads and the download thread.
// Checking it is one atomic load; waiting on it (between retries) wakes at
// once when it is set.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pelvane
{
class CancelToken
{
public:
    void cancel();
    void reset();
    bool canceled() const { return m_flag.load(std::memory_order_acquire); }
    const std::atomic<bool>& flag() const { return m_flag; }
    // Waits `duration` unless canceled first; true when the wait ran out.
    bool sleepFor(std::chrono::milliseconds duration) const;

private:
    std::atomic<bool> m_flag{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
};
} // namespace pelvane

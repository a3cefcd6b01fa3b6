// The stop request shared by the caller's threads and the download thread.
// Checking it is one atomic load; waiting on it (between retries) wakes at
// once when it is set. A token made from a parent is canceled with it and
// can also be canceled alone: the parallel transfers of a run stop together
// when one of them fails, without touching the caller's token.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace pelvane
{
class CancelToken
{
public:
    CancelToken() = default;
    // Canceled whenever `parent` is (at once if it already is); `parent`
    // must outlive this token.
    explicit CancelToken(CancelToken& parent);
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

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
    CancelToken* m_parent = nullptr;
    std::vector<CancelToken*> m_children; // guarded by m_mutex
};
} // namespace pelvane

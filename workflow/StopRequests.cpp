#include "workflow/StopRequests.h"

#include <atomic>
#include <csignal>

namespace
{
// lock-free, hence safe in a signal handler and between threads
std::atomic<int> s_requests{0};
std::atomic<int> s_taken{0};
std::atomic<int> s_lastSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int number)
{
    s_lastSignal.store(number, std::memory_order_relaxed);
    s_requests.fetch_add(1, std::memory_order_release);
}
} // namespace

namespace StopRequests
{
void catchSignals() noexcept
{
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
}

void releaseSignals() noexcept
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    if (s_requests.load(std::memory_order_acquire) != s_taken.load(std::memory_order_acquire))
    {
        std::raise(s_lastSignal.load(std::memory_order_relaxed));
    }
}

void request() noexcept
{
    s_requests.fetch_add(1, std::memory_order_release);
}

bool take() noexcept
{
    const int requests = s_requests.load(std::memory_order_acquire);
    return s_taken.exchange(requests, std::memory_order_acq_rel) != requests;
}

void forgetPending() noexcept
{
    s_taken.store(s_requests.load(std::memory_order_acquire), std::memory_order_release);
}
} // namespace StopRequests

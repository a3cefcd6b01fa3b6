// A worker thread with the life of a Win32 thread handle: started once, polled
// without blocking ("has it ended"), read for its exit code (1 or 0), then
// closed. A start that fails leaves the object in the state of a null
// handle, so that the poller reports it the way a failed wait would be.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace platform
{
class WorkerThread
{
public:
    // What a zero time-out wait tells.
    enum class ePoll
    {
        Ended,   // WAIT_OBJECT_0
        Running, // WAIT_TIMEOUT
        Failed   // WAIT_FAILED: no thread (never started, start failed, closed)
    };

    WorkerThread() = default;
    // Joins a thread that still runs: the thread's routine may use its owner.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts routine on a new thread. false (last error set) when the thread
    // could not be created or one is already held.
    bool start(std::function<unsigned long()> routine);
    ePoll poll() const noexcept;
    // The routine's result once it has ended; 0 otherwise.
    unsigned long exitCode() const noexcept;
    // Releases an ended thread (joins it); the object is then empty again.
    void close() noexcept;
    bool isHeld() const noexcept { return m_thread.joinable(); }

    // Makes the next `count` starts fail as if the system refused a thread.
    static void failNextStartsForTesting(int count) noexcept;

private:
    struct State
    {
        std::atomic<bool> ended{false};
        std::atomic<unsigned long> exitCode{0};
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};
} // namespace platform

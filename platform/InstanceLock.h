// Stand-in for a named kernel mutex used as a single-instance guard: an
// exclusive flock on a file named after the mutex under the machine-wide
// temporary folder. The kernel drops the lock when the holder dies, whoever
// the user; the file itself is left in place for the next start.
#pragma once

#include <string>

namespace platform
{
// Last error after create() when another process holds the lock (the value
// Windows gives for a mutex that already exists).
inline constexpr unsigned long ERROR_ALREADY_EXISTS = 183;

class InstanceLock
{
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Opens the lock file for name and tries to take the lock without
    // waiting. true when this object now holds it (last error 0); false with
    // last error ERROR_ALREADY_EXISTS when another process holds it, or the
    // errno of the call that failed.
    bool create(const std::string& name);
    bool isHeld() const noexcept { return m_fd >= 0; }
    // Gives the lock up; harmless when nothing is held.
    void close() noexcept;

    // Folder of the lock files: /tmp, or QORDOWNLOADER_LOCK_DIR when set
    // (lets test runs keep their locks apart).
    static std::string lockFolder();

private:
    int m_fd = -1;
};
} // namespace platform

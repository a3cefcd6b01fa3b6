// The one owner of a file descriptor: closed (through the system-call seam)
// on every path out of a function.
#pragma once

#include "platform/SystemCalls.h"

namespace platform
{
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) noexcept : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
        {
            SystemCalls::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    // Gives the descriptor up to the caller.
    int release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now and reports the close's own error (errno set): a delayed
    // write error of some file systems shows only there.
    bool close() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return SystemCalls::close(fd) == 0;
    }

private:
    int m_fd;
};
} // namespace platform

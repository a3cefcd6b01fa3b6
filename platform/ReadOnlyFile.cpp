#include "platform/ReadOnlyFile.h"

#include "platform/LastError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{
ReadOnlyFile::~ReadOnlyFile()
{
    if (m_fd >= 0)
    {
        ::close(m_fd);
    }
}

bool ReadOnlyFile::open(const std::string& path)
{
    if (m_fd >= 0)
    {
        ::close(m_fd);
        m_fd = -1;
        m_size = 0;
    }
    // O_NONBLOCK: a fifo must not hang the caller until a writer comes
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        return failWithErrno();
    }
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
    {
        const int error = errno;
        ::close(fd);
        setLastError(static_cast<unsigned long>(error));
        return false;
    }
    if (!S_ISREG(info.st_mode))
    {
        ::close(fd);
        setLastError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return false;
    }
    m_fd = fd;
    m_size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool ReadOnlyFile::readAt(std::uint64_t offset, std::size_t size, void* buffer) const
{
    if (m_fd < 0)
    {
        setLastError(EBADF);
        return false;
    }
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size)
    {
        const ssize_t got =
            ::pread(m_fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return failWithErrno();
        }
        if (got == 0)
        {
            setLastError(EIO);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}
} // namespace platform

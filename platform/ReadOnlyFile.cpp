#include "platform/ReadOnlyFile.h"

#include "platform/LastError.h"
#include "platform/SystemCalls.h"

#include <cerrno>

namespace platform
{
ReadOnlyFile::~ReadOnlyFile()
{
    if (m_fd >= 0)
    {
        SystemCalls::close(m_fd);
    }
}

bool ReadOnlyFile::open(const std::string& path)
{
    if (m_fd >= 0)
    {
        SystemCalls::close(m_fd);
        m_fd = -1;
        m_size = 0;
    }
    // non-blocking: a fifo must not hang the caller until a writer comes
    const int fd = SystemCalls::open(path, SystemCalls::OpenMode::ReadNonBlocking);
    if (fd < 0)
    {
        return failWithErrno();
    }
    SystemCalls::Info info;
    int error = 0;
    if (SystemCalls::status(fd, info) != 0)
    {
        error = errno;
    }
    else if (info.type != SystemCalls::Type::File)
    {
        error = info.type == SystemCalls::Type::Directory ? EISDIR : EINVAL;
    }
    if (error != 0)
    {
        SystemCalls::close(fd);
        setLastError(static_cast<unsigned long>(error));
        return false;
    }
    m_fd = fd;
    m_size = info.size;
    return true;
}

bool ReadOnlyFile::readAt(std::uint64_t offset, std::size_t size, void* buffer) const
{
    if (m_fd < 0)
    {
        setLastError(EBADF);
        return false;
    }
    if (SystemCalls::readAllAt(m_fd, buffer, size, offset) != 0)
    {
        return failWithErrno();
    }
    return true;
}
} // namespace platform

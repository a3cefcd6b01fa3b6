#include "pelvane/deltas/OutputFile.h"

#include "platform/SystemCalls.h"

#include <cerrno>

namespace pelvane::deltas
{
using platform::SystemCalls;

int OutputFile::open(int fd, std::uint64_t size)
{
    m_map.unmap();
    m_fd = fd;
    m_size = size;
    m_buffered = size < SMALL_FILE;
    if (!m_buffered)
    {
        m_buffer = {};
        return m_map.mapForWriting(fd, size);
    }
    if (const int error = platform::MappedFile::prepareForWriting(fd, size))
    {
        return error;
    }
    m_buffer.assign(static_cast<std::size_t>(size), 0);
    return 0;
}

int OutputFile::flush()
{
    if (!m_buffered)
    {
        return 0;
    }
    return SystemCalls::writeAllAt(m_fd, m_buffer.data(), m_buffer.size(), 0) == 0 ? 0 : errno;
}
} // namespace pelvane::deltas

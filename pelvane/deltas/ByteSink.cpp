#include "pelvane/deltas/ByteSink.h"

#include "platform/SystemCalls.h"

#include <cerrno>

namespace pelvane::deltas
{
int FdSink::write(const void* data, std::size_t size)
{
    return platform::SystemCalls::writeAll(m_fd, data, size) == 0 ? 0 : errno;
}
} // namespace pelvane::deltas

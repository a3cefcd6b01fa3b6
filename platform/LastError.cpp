#include "platform/LastError.h"

#include <cerrno>

namespace
{
thread_local unsigned long t_lastError = 0;
}

namespace platform
{
unsigned long getLastError() noexcept
{
    return t_lastError;
}

void setLastError(unsigned long code) noexcept
{
    t_lastError = code;
}

bool failWithErrno() noexcept
{
    t_lastError = static_cast<unsigned long>(errno);
    return false;
}
} // namespace platform

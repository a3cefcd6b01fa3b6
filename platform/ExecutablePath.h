// The path of the running executable, as GetModuleFileNameW gives it for the
// program's own module.
#pragma once

#include <string>

namespace platform
{
class ExecutablePath
{
public:
    // The buffer size the program's callers use.
    static constexpr unsigned long MAX_PATH_UNITS = 1024;

    // Copies the path, NUL-terminated, into buffer (size wide characters)
    // and returns its length. When it does not fit, the truncated path is
    // stored, the result is size and the last error ENAMETOOLONG. 0 on
    // failure, with the error of the failing call.
    static unsigned long getModuleFileName(wchar_t* buffer, unsigned long size);
    // The whole path; empty on failure.
    static std::wstring get();
};
} // namespace platform

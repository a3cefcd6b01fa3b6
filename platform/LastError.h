// Stand-in for GetLastError/SetLastError: the error of the last failed
// platform call on this thread (an errno value, or a layer's own code). Kept
// apart from errno so that logging between the failure and its report
// cannot change it.
#pragma once

namespace platform
{
unsigned long getLastError() noexcept;
void setLastError(unsigned long code) noexcept;
// Records errno as the last error and returns false, for failure paths.
bool failWithErrno() noexcept;
} // namespace platform

#include "platform/ExecutablePath.h"

#include "platform/LastError.h"
#include "platform/TextCodec.h"

#include <cerrno>
#include <unistd.h>

namespace
{
// The link's target as bytes; false with errno when it cannot be read.
bool readExecutableLink(std::string& path)
{
    std::string buffer(256, '\0');
    for (;;)
    {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
        {
            return platform::failWithErrno();
        }
        if (static_cast<size_t>(length) < buffer.size())
        {
            buffer.resize(static_cast<size_t>(length));
            path = std::move(buffer);
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}
} // namespace

namespace platform
{
unsigned long ExecutablePath::getModuleFileName(wchar_t* buffer, unsigned long size)
{
    if (buffer == nullptr || size == 0)
    {
        setLastError(EINVAL);
        return 0;
    }
    std::string narrow;
    if (!readExecutableLink(narrow))
    {
        buffer[0] = L'\0';
        return 0;
    }
    const std::wstring path = TextCodec::decodePath(narrow);
    if (path.size() >= size)
    {
        path.copy(buffer, size - 1);
        buffer[size - 1] = L'\0';
        setLastError(ENAMETOOLONG);
        return size;
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = L'\0';
    return static_cast<unsigned long>(path.size());
}

std::wstring ExecutablePath::get()
{
    std::string narrow;
    if (!readExecutableLink(narrow))
    {
        return std::wstring();
    }
    return TextCodec::decodePath(narrow);
}
} // namespace platform

#include "platform/DynamicLibrary.h"

#include "platform/LastError.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace
{
thread_local std::string t_lastErrorText;

void recordFailure(unsigned long code)
{
    const char* text = ::dlerror();
    t_lastErrorText = text != nullptr ? text : "";
    platform::setLastError(code);
}

bool isRegularFile(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}
} // namespace

namespace platform::DynamicLibrary
{
std::string executableFolder()
{
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size())
    {
        return {};
    }
    const std::string path(buffer.data(), static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void* loadLibrary(const std::string& fileName)
{
    t_lastErrorText.clear();
    if (fileName.empty())
    {
        setLastError(ERROR_MOD_NOT_FOUND);
        t_lastErrorText = "empty library name";
        return nullptr;
    }
    std::string path = fileName;
    if (fileName.find('/') == std::string::npos)
    {
        // Our own copy beside the program wins over one elsewhere on the
        // system; when it is there but broken, that is the error to report.
        const std::string folder = executableFolder();
        if (!folder.empty() && isRegularFile(folder + "/" + fileName))
        {
            path = folder + "/" + fileName;
        }
    }
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
    {
        recordFailure(ERROR_MOD_NOT_FOUND);
    }
    return handle;
}

void* getProcAddress(void* handle, const char* name)
{
    if (handle == nullptr || name == nullptr)
    {
        t_lastErrorText = "no library or no symbol name";
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ::dlerror();
    void* address = ::dlsym(handle, name);
    if (address == nullptr)
    {
        recordFailure(ERROR_PROC_NOT_FOUND);
    }
    return address;
}

bool freeLibrary(void* handle)
{
    if (handle == nullptr)
    {
        t_lastErrorText = "no library";
        setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    ::dlerror();
    if (::dlclose(handle) != 0)
    {
        recordFailure(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

std::string lastErrorText()
{
    return t_lastErrorText;
}
} // namespace platform::DynamicLibrary

#include "PelvaneLibrary.h"

#include <dlfcn.h>

namespace pelvanetest
{
namespace
{
template <typename Pointer>
void resolve(void* handle, const char* name, Pointer& pointer, std::string& error)
{
    pointer = reinterpret_cast<Pointer>(::dlsym(handle, name));
    if (pointer == nullptr)
    {
        error += std::string("missing ") + name + "; ";
    }
}
} // namespace

PelvaneLibrary PelvaneLibrary::load(const char* path)
{
    PelvaneLibrary loaded;
    loaded.handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (loaded.handle == nullptr)
    {
        loaded.error = ::dlerror();
        return loaded;
    }
    resolve(loaded.handle, "initUpdInterEx", loaded.initUpdInterEx, loaded.error);
    resolve(loaded.handle, "closeUpdInter", loaded.closeUpdInter, loaded.error);
    resolve(loaded.handle, "getVersionCount", loaded.getVersionCount, loaded.error);
    resolve(loaded.handle, "getVersionInfo", loaded.getVersionInfo, loaded.error);
    resolve(loaded.handle, "downloadUntil", loaded.downloadUntil, loaded.error);
    resolve(loaded.handle, "closeDownload", loaded.closeDownload, loaded.error);
    resolve(loaded.handle, "getStatusUpdInter", loaded.getStatusUpdInter, loaded.error);
    resolve(loaded.handle, "getResultUpdInter", loaded.getResultUpdInter, loaded.error);
    resolve(loaded.handle, "getResultUpdInterEx", loaded.getResultUpdInterEx, loaded.error);
    return loaded;
}

PelvaneLibrary& PelvaneLibrary::instance()
{
    static PelvaneLibrary library = load(PELVANE_LIBRARY_PATH);
    return library;
}
} // namespace pelvanetest

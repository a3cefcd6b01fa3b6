#include "PelvaneLibrary.h"

#include <dlfcn.h>
#include <type_traits>

#ifdef PELVANE_IN_PROCESS
// The entry points compiled into the test itself, so that the test's fault
// hook reaches the library's system calls (the built .so keeps its own seam
// to itself).
extern "C"
{
    std::remove_pointer_t<PFN_initUpdInterEx> initUpdInterEx;
    std::remove_pointer_t<PFN_closeUpdInter> closeUpdInter;
    std::remove_pointer_t<PFN_getVersionCount> getVersionCount;
    std::remove_pointer_t<PFN_getVersionInfo> getVersionInfo;
    std::remove_pointer_t<PFN_downloadUntil> downloadUntil;
    std::remove_pointer_t<PFN_closeDownload> closeDownload;
    std::remove_pointer_t<PFN_getStatusUpdInter> getStatusUpdInter;
    std::remove_pointer_t<PFN_getResultUpdInter> getResultUpdInter;
    std::remove_pointer_t<PFN_getResultUpdInterEx> getResultUpdInterEx;
}

#endif

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

#ifdef PELVANE_IN_PROCESS
PelvaneLibrary& PelvaneLibrary::instance()
{
    static PelvaneLibrary library = []
    {
        PelvaneLibrary linked;
        linked.initUpdInterEx = &::initUpdInterEx;
        linked.closeUpdInter = &::closeUpdInter;
        linked.getVersionCount = &::getVersionCount;
        linked.getVersionInfo = &::getVersionInfo;
        linked.downloadUntil = &::downloadUntil;
        linked.closeDownload = &::closeDownload;
        linked.getStatusUpdInter = &::getStatusUpdInter;
        linked.getResultUpdInter = &::getResultUpdInter;
        linked.getResultUpdInterEx = &::getResultUpdInterEx;
        linked.handle = &linked; // loaded: it is part of this program
        return linked;
    }();
    return library;
}
#else
PelvaneLibrary& PelvaneLibrary::instance()
{
    static PelvaneLibrary library = load(PELVANE_LIBRARY_PATH);
    return library;
}
#endif
} // namespace pelvanetest

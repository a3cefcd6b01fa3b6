// The built libPelvane.so, loaded the way the program loads it: dlopen and
// the nine entry points resolved by name.
#pragma once

#include "updclient/UpdInterApi.h"

#include <string>

namespace pelvanetest
{
struct PelvaneLibrary
{
    PFN_initUpdInterEx initUpdInterEx = nullptr;
    PFN_closeUpdInter closeUpdInter = nullptr;
    PFN_getVersionCount getVersionCount = nullptr;
    PFN_getVersionInfo getVersionInfo = nullptr;
    PFN_downloadUntil downloadUntil = nullptr;
    PFN_closeDownload closeDownload = nullptr;
    PFN_getStatusUpdInter getStatusUpdInter = nullptr;
    PFN_getResultUpdInter getResultUpdInter = nullptr;
    PFN_getResultUpdInterEx getResultUpdInterEx = nullptr;
    void* handle = nullptr;
    std::string error;

    // The library at path; error names what failed. It stays loaded.
    static PelvaneLibrary load(const char* path);
    // The built library, loaded once per process.
    static PelvaneLibrary& instance();
};
} // namespace pelvanetest

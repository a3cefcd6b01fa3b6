// Run-time binding to the update-client library: loads the library that
// CONFIG/ClientLibrary names, resolves its nine entry points by name, and
// frees it again when the owner goes away.
#pragma once

#include "updclient/UpdInterApi.h"

#include <string>

class UpdInterFct
{
public:
    UpdInterFct() = default;
    ~UpdInterFct();
    UpdInterFct(const UpdInterFct&) = delete;
    UpdInterFct& operator=(const UpdInterFct&) = delete;

    // true when the library is loaded and all nine entry points are resolved
    bool initAndLoadLibrary();
    // true when no library remains loaded afterwards
    bool freeLibrary();
    bool isLoaded() const noexcept { return m_hModule != nullptr; }
    // why the last initAndLoadLibrary failed, in the loader's words
    const std::string& loadErrorText() const noexcept { return m_sLoadError; }

    PFN_initUpdInterEx initUpdInterEx = nullptr;
    PFN_closeUpdInter closeUpdInter = nullptr;
    PFN_getVersionCount getVersionCount = nullptr;
    PFN_getVersionInfo getVersionInfo = nullptr;
    PFN_downloadUntil downloadUntil = nullptr;
    PFN_closeDownload closeDownload = nullptr;
    PFN_getStatusUpdInter getStatusUpdInter = nullptr;
    PFN_getResultUpdInter getResultUpdInter = nullptr;
    PFN_getResultUpdInterEx getResultUpdInterEx = nullptr;

private:
    void* m_hModule = nullptr;
    std::string m_sLoadError;
};

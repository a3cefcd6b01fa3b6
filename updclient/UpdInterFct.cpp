#include "updclient/UpdInterFct.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/DynamicLibrary.h"
#include "platform/LastError.h"
#include "tools/UnicodeFile.h"

#include <string>

namespace
{
// dlsym hands back an object pointer; the entry points are functions
template <typename Function> Function asFunction(void* address)
{
    return reinterpret_cast<Function>(address);
}
} // namespace

UpdInterFct::~UpdInterFct()
{
    freeLibrary();
}

bool UpdInterFct::initAndLoadLibrary()
{
    C_IniFileTools iniFile;
    const std::wstring libraryName =
        iniFile.getWstring(ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_CONFIG,
                           ConfigKeys::KEY_CLIENT_LIBRARY, ConfigKeys::DEFAULT_CLIENT_LIBRARY);
    QOR_LOG_INFO(L"Update client library: " << libraryName);

    m_hModule = platform::DynamicLibrary::loadLibrary(wstringToString(libraryName, CP_ACP));
    if (m_hModule == nullptr)
    {
        const unsigned long error = platform::getLastError();
        m_sLoadError = platform::DynamicLibrary::lastErrorText();
        QOR_LOG_ERROR("LoadLibrary error: " << error);
        QOR_LOG_ERROR("LoadLibrary error text: " << m_sLoadError);
        return false;
    }

    using platform::DynamicLibrary::getProcAddress;
    // all nine are looked up before any is tested
    initUpdInterEx = asFunction<PFN_initUpdInterEx>(getProcAddress(m_hModule, "initUpdInterEx"));
    closeUpdInter = asFunction<PFN_closeUpdInter>(getProcAddress(m_hModule, "closeUpdInter"));
    getVersionCount = asFunction<PFN_getVersionCount>(getProcAddress(m_hModule, "getVersionCount"));
    getVersionInfo = asFunction<PFN_getVersionInfo>(getProcAddress(m_hModule, "getVersionInfo"));
    downloadUntil = asFunction<PFN_downloadUntil>(getProcAddress(m_hModule, "downloadUntil"));
    closeDownload = asFunction<PFN_closeDownload>(getProcAddress(m_hModule, "closeDownload"));
    getStatusUpdInter =
        asFunction<PFN_getStatusUpdInter>(getProcAddress(m_hModule, "getStatusUpdInter"));
    getResultUpdInter =
        asFunction<PFN_getResultUpdInter>(getProcAddress(m_hModule, "getResultUpdInter"));
    getResultUpdInterEx =
        asFunction<PFN_getResultUpdInterEx>(getProcAddress(m_hModule, "getResultUpdInterEx"));

    if (initUpdInterEx != nullptr && closeUpdInter != nullptr && getVersionCount != nullptr &&
        getVersionInfo != nullptr && downloadUntil != nullptr && closeDownload != nullptr &&
        getStatusUpdInter != nullptr && getResultUpdInter != nullptr &&
        getResultUpdInterEx != nullptr)
    {
        return true;
    }

    platform::DynamicLibrary::freeLibrary(m_hModule);
    m_hModule = nullptr;
    m_sLoadError = "an entry point is missing";
    QOR_LOG_ERROR("GetProcAddress error");
    return false;
}

bool UpdInterFct::freeLibrary()
{
    if (m_hModule == nullptr)
    {
        return true;
    }
    if (platform::DynamicLibrary::freeLibrary(m_hModule))
    {
        m_hModule = nullptr;
    }
    else
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_ERROR("FreeLibrary error: " << error);
    }
    return m_hModule == nullptr;
}

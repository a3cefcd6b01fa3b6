// The nine exported entry points. Each one forwards to the session and
// stops every exception here: nothing but a result code crosses the C
// boundary. Return value: the call's APIErrorCode (0 when it succeeded).
#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/session/UpdateSession.h"

#include "updclient/UpdInterApi.h"

#define PELVANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
template <typename Call> std::int32_t guarded(const char* name, Call&& call) noexcept
{
    try
    {
        return call();
    }
    catch (...)
    {
        try
        {
            PELVANE_LOG_ERROR("Unexpected failure in " << name);
            return pelvane::UpdateSession::instance().fail(pelvane::API_INTERNAL);
        }
        catch (...)
        {
            return pelvane::API_INTERNAL;
        }
    }
}

} // namespace

PELVANE_EXPORT std::int32_t
initUpdInterEx(const char* key, const char* productCode, const char* statsUrl,
               std::int32_t keepArchives, const char* extract, const char* target,
               const char* flagFile, const char* userProxy, const char* pswdProxy, const char* url,
               const char* notesPswd, const char* application, const char* language,
               const char* version, std::int32_t connectTimeoutMs, std::int32_t stallTimeoutMs,
               const char* reserved1, const char* reserved2)
{
    return guarded("initUpdInterEx",
                   [&]
                   {
                       const pelvane::InitArguments arguments{
                           key,       productCode, statsUrl,         keepArchives,
                           extract,   target,      flagFile,         userProxy,
                           pswdProxy, url,         notesPswd,        application,
                           language,  version,     connectTimeoutMs, stallTimeoutMs,
                           reserved1, reserved2};
                       return pelvane::UpdateSession::instance().init(arguments);
                   });
}

PELVANE_EXPORT std::int32_t closeUpdInter()
{
    return guarded("closeUpdInter", [] { return pelvane::UpdateSession::instance().close(); });
}

PELVANE_EXPORT std::int32_t getVersionCount(std::int32_t* count)
{
    return guarded("getVersionCount",
                   [&] { return pelvane::UpdateSession::instance().versionCount(count); });
}

PELVANE_EXPORT std::int32_t getVersionInfo(std::int32_t index, char* version,
                                           std::int32_t versionCapacity, char* notes,
                                           std::int32_t notesCapacity, std::int32_t* fileCount,
                                           std::int32_t* sizeKiB, std::int32_t* updateCount)
{
    return guarded("getVersionInfo",
                   [&]
                   {
                       return pelvane::UpdateSession::instance().versionInfo(
                           index, version, versionCapacity, notes, notesCapacity, fileCount,
                           sizeKiB, updateCount);
                   });
}

PELVANE_EXPORT std::int32_t downloadUntil(const char* version)
{
    return guarded("downloadUntil",
                   [&] { return pelvane::UpdateSession::instance().downloadUntil(version); });
}

PELVANE_EXPORT std::int32_t closeDownload()
{
    return guarded("closeDownload",
                   [] { return pelvane::UpdateSession::instance().cancelDownload(); });
}

PELVANE_EXPORT std::int32_t getStatusUpdInter(std::int32_t* status, std::int32_t* nbUpdate,
                                              std::int32_t* currentUpdate, std::int32_t* nbBlock,
                                              std::int32_t* currentBlock)
{
    try
    {
        return pelvane::UpdateSession::instance().status(status, nbUpdate, currentUpdate, nbBlock,
                                                         currentBlock);
    }
    catch (...)
    {
        return pelvane::API_INTERNAL;
    }
}

PELVANE_EXPORT std::int32_t getResultUpdInter(std::int32_t* result)
{
    try
    {
        return pelvane::UpdateSession::instance().result(result);
    }
    catch (...)
    {
        return pelvane::API_INTERNAL;
    }
}

PELVANE_EXPORT std::int32_t getResultUpdInterEx(std::int32_t* apiErrorCode,
                                                std::int32_t* primaryErrorCode,
                                                std::int32_t* secondaryErrorCode)
{
    try
    {
        return pelvane::UpdateSession::instance().resultEx(apiErrorCode, primaryErrorCode,
                                                           secondaryErrorCode);
    }
    catch (...)
    {
        return pelvane::API_INTERNAL;
    }
}

// The exports must match the binding's pointer types exactly.
static_assert(std::is_same_v<decltype(&initUpdInterEx), PFN_initUpdInterEx>);
static_assert(std::is_same_v<decltype(&closeUpdInter), PFN_closeUpdInter>);
static_assert(std::is_same_v<decltype(&getVersionCount), PFN_getVersionCount>);
static_assert(std::is_same_v<decltype(&getVersionInfo), PFN_getVersionInfo>);
static_assert(std::is_same_v<decltype(&downloadUntil), PFN_downloadUntil>);
static_assert(std::is_same_v<decltype(&closeDownload), PFN_closeDownload>);
static_assert(std::is_same_v<decltype(&getStatusUpdInter), PFN_getStatusUpdInter>);
static_assert(std::is_same_v<decltype(&getResultUpdInter), PFN_getResultUpdInter>);
static_assert(std::is_same_v<decltype(&getResultUpdInterEx), PFN_getResultUpdInterEx>);

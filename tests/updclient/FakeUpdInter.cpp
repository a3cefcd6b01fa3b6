// A stand-in update-client library for the binding tests: it exports the
// nine entry points (or all but one, with FAKE_OMIT_DOWNLOAD_UNTIL), and
// tells which build of it was loaded through getResultUpdInter.
#include "updclient/UpdInterApi.h"

#ifndef FAKE_VARIANT
#define FAKE_VARIANT 1
#endif

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT std::int32_t initUpdInterEx(const char*, const char*, const char*, std::int32_t,
                                        const char*, const char*, const char*, const char*,
                                        const char*, const char*, const char*, const char*,
                                        const char*, const char*, std::int32_t, std::int32_t,
                                        const char*, const char*)
{
    return 0;
}
FAKE_EXPORT std::int32_t closeUpdInter()
{
    return 0;
}
FAKE_EXPORT std::int32_t getVersionCount(std::int32_t* count)
{
    *count = 1;
    return 0;
}
FAKE_EXPORT std::int32_t getVersionInfo(std::int32_t, char*, std::int32_t, char*, std::int32_t,
                                        std::int32_t*, std::int32_t*, std::int32_t*)
{
    return 0;
}
#ifndef FAKE_OMIT_DOWNLOAD_UNTIL
FAKE_EXPORT std::int32_t downloadUntil(const char*)
{
    return 0;
}
#endif
FAKE_EXPORT std::int32_t closeDownload()
{
    return 0;
}
FAKE_EXPORT std::int32_t getStatusUpdInter(std::int32_t* status, std::int32_t*, std::int32_t*,
                                           std::int32_t*, std::int32_t*)
{
    *status = 0;
    return 0;
}
FAKE_EXPORT std::int32_t getResultUpdInter(std::int32_t* result)
{
    *result = FAKE_VARIANT;
    return 0;
}
FAKE_EXPORT std::int32_t getResultUpdInterEx(std::int32_t* api, std::int32_t* primary,
                                             std::int32_t* secondary)
{
    *api = 0;
    *primary = 0;
    *secondary = 0;
    return 0;
}

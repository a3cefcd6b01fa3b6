// The nine entry points of an update-client library, as the program calls
// them and as libPelvane.so exports them. Texts are NUL-terminated narrow
// strings in the locale's character set; every integer and every
// out-parameter is a 32-bit signed integer. No caller uses a return value;
// the library reports its outcome through getResultUpdInter and
// getResultUpdInterEx.
#pragma once

#include <cstdint>

extern "C"
{

    using PFN_initUpdInterEx = std::int32_t (*)(
        const char* key, const char* productCode, const char* statsUrl, std::int32_t keepArchives,
        const char* extract, const char* target, const char* flagFile, const char* userProxy,
        const char* pswdProxy, const char* url, const char* notesPswd, const char* application,
        const char* language, const char* version, std::int32_t connectTimeoutMs,
        std::int32_t stallTimeoutMs, const char* reserved1, const char* reserved2);
    using PFN_closeUpdInter = std::int32_t (*)();
    using PFN_getVersionCount = std::int32_t (*)(std::int32_t* count);
    using PFN_getVersionInfo = std::int32_t (*)(std::int32_t index, char* version,
                                                std::int32_t versionCapacity, char* notes,
                                                std::int32_t notesCapacity, std::int32_t* fileCount,
                                                std::int32_t* sizeKiB, std::int32_t* updateCount);
    using PFN_downloadUntil = std::int32_t (*)(const char* version);
    using PFN_closeDownload = std::int32_t (*)();
    using PFN_getStatusUpdInter = std::int32_t (*)(std::int32_t* status, std::int32_t* nbUpdate,
                                                   std::int32_t* currentUpdate,
                                                   std::int32_t* nbBlock,
                                                   std::int32_t* currentBlock);
    using PFN_getResultUpdInter = std::int32_t (*)(std::int32_t* result);
    using PFN_getResultUpdInterEx = std::int32_t (*)(std::int32_t* apiErrorCode,
                                                     std::int32_t* primaryErrorCode,
                                                     std::int32_t* secondaryErrorCode);

} // extern "C"

// Status values reported by getStatusUpdInter.
inline constexpr std::int32_t UPDINTER_STATUS_IDLE = 0;
inline constexpr std::int32_t UPDINTER_STATUS_WORKING = 1;
// Result value of getResultUpdInter meaning success.
inline constexpr std::int32_t UPDINTER_RESULT_SUCCESS = 1;

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
// Result values of getResultUpdInter.
inline constexpr std::int32_t UPDINTER_RESULT_FAILURE = 0;
inline constexpr std::int32_t UPDINTER_RESULT_SUCCESS = 1;
// What the caller presets before a call, so that a value the library leaves
// alone reads as "not reported".
inline constexpr std::int32_t UPDINTER_COUNT_UNKNOWN = -1;
inline constexpr std::int32_t UPDINTER_ERROR_NONE = 0;
// initUpdInterEx's keepArchives argument.
inline constexpr std::int32_t UPDINTER_KEEP_ARCHIVES_NO = 0;
inline constexpr std::int32_t UPDINTER_KEEP_ARCHIVES_YES = 1;
// The time-outs the program passes to initUpdInterEx, in milliseconds.
inline constexpr std::int32_t UPDINTER_CONNECT_TIMEOUT_MS = 30000;
inline constexpr std::int32_t UPDINTER_STALL_TIMEOUT_MS = 30000;
// getVersionInfo's buffers: the capacities passed leave the last byte a terminator.
inline constexpr std::int32_t UPDINTER_VERSION_BUFFER_BYTES = 1024;
inline constexpr std::int32_t UPDINTER_NOTES_BUFFER_BYTES = 4096;

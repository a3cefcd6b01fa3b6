// The error table that program and library share: every APIErrorCode that
// libPelvane.so reports through getResultUpdInterEx, its name, and what a
// failed call means in words a person can act on (the name and the detail
// carried by the two other codes: the curl code or errno behind it, and the
// HTTP status).
#pragma once

#include <cstdint>
#include <string>

namespace updinter
{
enum ApiErrorCode : std::int32_t
{
    API_OK = 0,
    API_BAD_ARGUMENT = 1,     // null pointer, zero capacity, over-long or malformed text
    API_NOT_INITIALISED = 2,  // call before a successful initUpdInterEx, or after closeUpdInter
    API_NETWORK = 3,          // connection, TLS, time-out, stall; primary = curl code
    API_HTTP = 4,             // unexpected HTTP status; secondary = status
    API_SERVER_AUTH = 5,      // 401/403 from the update server
    API_PROXY_AUTH = 6,       // the proxy refused the credentials (407)
    API_SIGNATURE = 7,        // manifest signature missing or wrong
    API_BAD_MANIFEST = 8,     // unparsable, over limits, unsafe path
    API_HASH = 9,             // a file's SHA-256 or size is wrong after a full download
    API_DISK = 10,            // writing Extract, Target or FlagFile failed; primary = errno
    API_CANCELED = 11,        // closeDownload or closeUpdInter stopped the run
    API_UNKNOWN_VERSION = 12, // downloadUntil/getVersionInfo: no such newer version
    API_BUSY = 13,            // a download is already running
    API_IN_PROGRESS = 14,     // reserved: a running download reads as result 1
    API_INTERNAL = 15,        // an unexpected failure inside the library
    API_EXPIRED = 16,         // the manifest's expiry has passed (one day of clock skew allowed)
    API_ROLLBACK = 17         // the manifest's serial is lower than one already accepted
};

// "network", "disk", ...; "unknown" for a code the table does not hold.
const char* apiErrorName(std::int32_t apiErrorCode);

// "network (APIErrorCode 3): curl 7, Couldn't connect to server"
std::string describeLibraryError(std::int32_t apiErrorCode, std::int32_t primaryErrorCode,
                                 std::int32_t secondaryErrorCode);

// "errno 28, No space left on device"
std::string describeErrno(unsigned long error);
} // namespace updinter

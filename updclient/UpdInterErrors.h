// What a failed update-client call means, in words a person can act on: the
// APIErrorCode by its name in the library's own table (that table is compiled
// in here as well, so the program never links the library for it) and the
// detail carried by the two other codes: the curl code or errno behind it,
// and the HTTP status.
#pragma once

#include "pelvane/base/PelvaneErrors.h"

#include <cstdint>
#include <string>

namespace updinter
{
// "network", "disk", ...; "unknown" for a code the table does not hold.
const char* apiErrorName(std::int32_t apiErrorCode);

// "network (APIErrorCode 3): curl 7, Couldn't connect to server"
std::string describeLibraryError(std::int32_t apiErrorCode, std::int32_t primaryErrorCode,
                                 std::int32_t secondaryErrorCode);

// "errno 28, No space left on device"
std::string describeErrno(unsigned long error);
} // namespace updinter

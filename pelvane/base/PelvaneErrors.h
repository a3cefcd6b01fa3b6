// What libPelvane.so reports through getResultUpdInterEx, and what a caller
// may rely on. APIErrorCode is one of these; PrimaryErrorCode holds the curl
// code or the errno behind it, SecondaryErrorCode the HTTP status.
#pragma once

#include "updclient/UpdInterApi.h"
#include "updclient/UpdInterErrors.h"

#include <cstdint>

namespace pelvane
{
// The codes are the shared table's, under the library's own names.
using enum updinter::ApiErrorCode;
using updinter::apiErrorName;

// getResultUpdInter values, as the contract header defines them
inline constexpr std::int32_t RESULT_FAILURE = 0;
inline constexpr std::int32_t RESULT_SUCCESS = UPDINTER_RESULT_SUCCESS;
static_assert(RESULT_FAILURE != RESULT_SUCCESS);
// getStatusUpdInter values
inline constexpr std::int32_t STATUS_IDLE = UPDINTER_STATUS_IDLE;
inline constexpr std::int32_t STATUS_WORKING = UPDINTER_STATUS_WORKING;
} // namespace pelvane

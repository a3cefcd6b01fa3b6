// What an operation of the library came to, in the three codes that
// getResultUpdInterEx reports: the APIErrorCode, the PrimaryErrorCode (the
// curl code or the errno behind it) and the SecondaryErrorCode (the HTTP
// status, or a refused certificate's verdict). Every layer reports in it;
// the HTTP layer adds only what a retry needs (FetchResult).
#pragma once

#include "pelvane/base/PelvaneErrors.h"

#include <cstdint>

namespace pelvane
{
struct Outcome
{
    std::int32_t apiError = API_OK;
    std::int32_t primary = 0;
    std::int32_t secondary = 0;

    static Outcome success() { return {}; }
    static Outcome failure(std::int32_t apiError, std::int32_t primary = 0,
                           std::int32_t secondary = 0)
    {
        return {apiError, primary, secondary};
    }
    static Outcome canceled() { return {API_CANCELED, 0, 0}; }
    static Outcome internal() { return {API_INTERNAL, 0, 0}; }
    // The result of a file operation that answers 0 or an errno. One stopped
    // by a cancel answers ECANCELED: that is a cancel, not a disk failure.
    static Outcome disk(int errorNumber);
    static Outcome network(std::int32_t curlCode, std::int32_t httpStatus = 0)
    {
        return {API_NETWORK, curlCode, httpStatus};
    }
    static Outcome http(std::int32_t curlCode, std::int32_t httpStatus)
    {
        return {API_HTTP, curlCode, httpStatus};
    }

    bool ok() const { return apiError == API_OK; }
    bool is(std::int32_t code) const { return apiError == code; }
    // What another mirror may cure: it is down, overloaded, lacks the file or
    // serves other bytes. A full disk, a cancel or the proxy are the same everywhere.
    bool worthAnotherMirror() const;
};
} // namespace pelvane

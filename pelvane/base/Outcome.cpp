#include "pelvane/base/Outcome.h"

#include <cerrno>

namespace pelvane
{
Outcome Outcome::disk(int errorNumber)
{
    if (errorNumber == 0)
    {
        return success();
    }
    return errorNumber == ECANCELED ? canceled() : Outcome{API_DISK, errorNumber, 0};
}

bool Outcome::worthAnotherMirror() const
{
    return apiError == API_NETWORK || apiError == API_HTTP || apiError == API_HASH ||
           apiError == API_SERVER_AUTH;
}
} // namespace pelvane

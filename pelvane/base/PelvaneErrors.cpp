#include "pelvane/base/PelvaneErrors.h"

namespace pelvane
{
const char* apiErrorName(std::int32_t code)
{
    switch (code)
    {
    case API_OK:
        return "ok";
    case API_BAD_ARGUMENT:
        return "bad argument";
    case API_NOT_INITIALISED:
        return "not initialised";
    case API_NETWORK:
        return "network";
    case API_HTTP:
        return "http";
    case API_SERVER_AUTH:
        return "server authentication";
    case API_PROXY_AUTH:
        return "proxy authentication";
    case API_SIGNATURE:
        return "signature";
    case API_BAD_MANIFEST:
        return "bad manifest";
    case API_HASH:
        return "hash";
    case API_DISK:
        return "disk";
    case API_CANCELED:
        return "canceled";
    case API_UNKNOWN_VERSION:
        return "unknown version";
    case API_BUSY:
        return "busy";
    case API_IN_PROGRESS:
        return "in progress";
    case API_INTERNAL:
        return "internal";
    case API_EXPIRED:
        return "manifest expired";
    case API_ROLLBACK:
        return "manifest rollback";
    default:
        return "unknown";
    }
}
} // namespace pelvane

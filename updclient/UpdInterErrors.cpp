#include "updclient/UpdInterErrors.h"

#include <curl/curl.h>

#include <cstring>

namespace updinter
{
namespace
{
std::string curlDetail(std::int32_t code)
{
    return "curl " + std::to_string(code) + ", " + curl_easy_strerror(static_cast<CURLcode>(code));
}

std::string httpDetail(std::int32_t status)
{
    return "HTTP " + std::to_string(status);
}

void append(std::string& text, const std::string& part)
{
    text += text.empty() ? part : ", " + part;
}
} // namespace

const char* apiErrorName(std::int32_t apiErrorCode)
{
    switch (apiErrorCode)
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

std::string describeErrno(unsigned long error)
{
    return "errno " + std::to_string(error) + ", " + std::strerror(static_cast<int>(error));
}

std::string describeLibraryError(std::int32_t apiErrorCode, std::int32_t primaryErrorCode,
                                 std::int32_t secondaryErrorCode)
{
    std::string detail;
    switch (apiErrorCode)
    {
    case API_NETWORK:
    case API_HTTP:
        // primary is the curl code (TLS failures included), secondary the status
        if (primaryErrorCode != 0)
        {
            append(detail, curlDetail(primaryErrorCode));
        }
        if (secondaryErrorCode != 0)
        {
            append(detail, httpDetail(secondaryErrorCode));
        }
        break;
    case API_SERVER_AUTH:
    case API_PROXY_AUTH:
    case API_SIGNATURE:
        if (secondaryErrorCode != 0)
        {
            append(detail, httpDetail(secondaryErrorCode));
        }
        break;
    case API_HASH:
    case API_DISK:
        if (primaryErrorCode != 0)
        {
            append(detail, describeErrno(static_cast<unsigned long>(primaryErrorCode)));
        }
        break;
    default:
        // codes this program does not know the detail of are shown as they came
        if (primaryErrorCode != 0)
        {
            append(detail, "PrimaryErrorCode " + std::to_string(primaryErrorCode));
        }
        if (secondaryErrorCode != 0)
        {
            append(detail, "SecondaryErrorCode " + std::to_string(secondaryErrorCode));
        }
        break;
    }
    std::string text = std::string(apiErrorName(apiErrorCode)) + " (APIErrorCode " +
                       std::to_string(apiErrorCode) + ")";
    return detail.empty() ? text : text + ": " + detail;
}
} // namespace updinter

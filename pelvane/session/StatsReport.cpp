#include "pelvane/session/StatsReport.h"

#include "pelvane/base/PelvaneErrors.h"
#include "pelvane/base/PelvaneLog.h"

#include <nlohmann/json.hpp>

namespace pelvane
{
std::string StatsReport::toJson() const
{
    // the fields in the documented order, so that a note reads the same everywhere
    const nlohmann::ordered_json body = {
        {"product", product},
        {"version", version},
        {"outcome", result == RESULT_SUCCESS ? "success" : "failure"},
        {"apiErrorCode", apiError},
        {"error", apiErrorName(apiError)},
        {"durationMs", durationMs}};
    return body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void StatsReport::send(const std::string& statsUrl, const TransferSettings& settings,
                       const CancelToken& cancel) const
{
    if (statsUrl.empty())
    {
        return;
    }
    TransferSettings quick = settings;
    quick.connectTimeoutMs = static_cast<std::int32_t>(LIMIT.count());
    quick.stallTimeoutMs = static_cast<std::int32_t>(LIMIT.count());
    HttpFetcher fetcher(quick, cancel);
    const FetchResult sent = fetcher.post(statsUrl, toJson(), LIMIT);
    if (!sent.ok())
    {
        PELVANE_LOG_WARN("Statistics not sent: curl " << sent.primary << ", HTTP "
                                                      << sent.secondary);
    }
}
} // namespace pelvane

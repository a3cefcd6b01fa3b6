// A best-effort note to the publisher's statistics address after a run:
// product, version, outcome, duration. It is sent after the outcome is
// published, gives up after two seconds, and nothing it does changes the
// outcome.
#pragma once

#include "pelvane/base/CancelToken.h"
#include "pelvane/net/HttpFetcher.h"

#include <chrono>
#include <string>

namespace pelvane
{
class StatsReport
{
public:
    static constexpr std::chrono::milliseconds LIMIT{2000};

    std::string product;
    std::string version;
    std::int32_t result = 0;
    std::int32_t apiError = 0;
    std::int64_t durationMs = 0;

    std::string toJson() const;
    void send(const std::string& statsUrl, const TransferSettings& settings,
              const CancelToken& cancel) const;
};
} // namespace pelvane

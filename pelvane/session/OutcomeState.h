// The result and the three error codes of the last call (or of the running
// download), always read and written as one set.
#pragma once

#include "pelvane/base/PelvaneErrors.h"

#include <cstdint>
#include <mutex>

namespace pelvane
{
class OutcomeState
{
public:
    void set(std::int32_t result, std::int32_t apiError, std::int32_t primary,
             std::int32_t secondary);
    void success() { set(RESULT_SUCCESS, API_OK, 0, 0); }
    void failure(std::int32_t apiError, std::int32_t primary = 0, std::int32_t secondary = 0)
    {
        set(RESULT_FAILURE, apiError, primary, secondary);
    }
    void read(std::int32_t& result, std::int32_t& apiError, std::int32_t& primary,
              std::int32_t& secondary) const;

private:
    mutable std::mutex m_mutex;
    std::int32_t m_result = RESULT_FAILURE;
    std::int32_t m_apiError = API_NOT_INITIALISED;
    std::int32_t m_primary = 0;
    std::int32_t m_secondary = 0;
};
} // namespace pelvane

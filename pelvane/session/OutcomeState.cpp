#include "pelvane/session/OutcomeState.h"

namespace pelvane
{
void OutcomeState::set(std::int32_t result, std::int32_t apiError, std::int32_t primary,
                       std::int32_t secondary)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = result;
    m_apiError = apiError;
    m_primary = primary;
    m_secondary = secondary;
}

void OutcomeState::read(std::int32_t& result, std::int32_t& apiError, std::int32_t& primary,
                        std::int32_t& secondary) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    result = m_result;
    apiError = m_apiError;
    primary = m_primary;
    secondary = m_secondary;
}
} // namespace pelvane

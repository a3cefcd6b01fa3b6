#include "logging/LogMessage.h"

namespace
{
void widenInto(std::wostringstream& out, std::string_view text)
{
    for (const char c : text)
    {
        out.put(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
}
} // namespace

namespace qorlog
{
LogMessage& LogMessage::appendNarrow(std::string_view text)
{
    if (m_isWide)
    {
        widenInto(m_wide, text);
    }
    else
    {
        m_narrow << text;
    }
    return *this;
}

LogMessage& LogMessage::appendWide(std::wstring_view text)
{
    if (!m_isWide)
    {
        m_isWide = true;
        widenInto(m_wide, m_narrow.str());
        m_narrow.str(std::string());
    }
    m_wide << text;
    return *this;
}

void LogMessage::emit(const log4cxx::LoggerPtr& logger, const log4cxx::LevelPtr& level,
                      const log4cxx::spi::LocationInfo& location) const
{
    if (m_isWide)
    {
        logger->forcedLog(level, m_wide.str(), location);
    }
    else
    {
        logger->forcedLog(level, m_narrow.str(), location);
    }
}
} // namespace qorlog

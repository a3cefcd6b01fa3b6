#include "CapturingAppender.h"

#include "logging/AppLogger.h"

using namespace log4cxx;
using qortest::CapturingAppender;

IMPLEMENT_LOG4CXX_OBJECT(CapturingAppender)

namespace qortest
{
void CapturingAppender::append(const spi::LoggingEventPtr& event, helpers::Pool&)
{
    const spi::LocationInfo& location = event->getLocationInformation();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(CapturedEvent{event->getLevel()->toString(), event->getMessage(),
                                     location.getFileName(), location.getMethodName(),
                                     location.getClassName(), location.getLineNumber()});
}

std::vector<CapturedEvent> CapturingAppender::events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

std::vector<std::string> CapturingAppender::lines() const
{
    std::vector<std::string> result;
    for (const auto& event : events())
    {
        result.push_back(event.level + " " + event.message);
    }
    return result;
}

void CapturingAppender::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

LogCapture::LogCapture() : m_appender(std::make_shared<CapturingAppender>())
{
    const LoggerPtr& logger = appLogger();
    m_previousLevel = logger->getLevel();
    logger->setLevel(Level::getTrace());
    logger->addAppender(m_appender);
}

LogCapture::~LogCapture()
{
    const LoggerPtr& logger = appLogger();
    logger->removeAppender(m_appender);
    logger->setLevel(m_previousLevel);
}
} // namespace qortest

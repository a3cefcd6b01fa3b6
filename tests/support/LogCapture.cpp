#include "LogCapture.h"

#include "logging/AppLogger.h"

#include <log4cxx/spi/loggingevent.h>

#include <cstdio>

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
    if (m_echo)
    {
        std::fprintf(stderr, "%s %s\n", m_events.back().level.c_str(),
                     m_events.back().message.c_str());
    }
}

std::vector<CapturedEvent> CapturingAppender::events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

void CapturingAppender::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

void CapturingAppender::setEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = echo;
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

std::vector<std::string> LogCapture::lines() const
{
    std::vector<std::string> result;
    for (const auto& event : events())
    {
        result.push_back(event.level + " " + event.message);
    }
    return result;
}

std::string LogCapture::text() const
{
    std::string result;
    for (const auto& line : lines())
    {
        result += line + "\n";
    }
    return result;
}

bool LogCapture::contains(const std::string& line) const
{
    for (const auto& candidate : lines())
    {
        if (candidate == line)
        {
            return true;
        }
    }
    return false;
}

bool LogCapture::containsPrefix(const std::string& prefix) const
{
    for (const auto& candidate : lines())
    {
        if (candidate.rfind(prefix, 0) == 0)
        {
            return true;
        }
    }
    return false;
}

std::string LogCapture::missingInOrder(const std::vector<std::string>& expected) const
{
    const auto all = lines();
    std::size_t at = 0;
    for (const auto& wanted : expected)
    {
        const bool isPrefix = !wanted.empty() && wanted.back() == '*';
        const std::string text = isPrefix ? wanted.substr(0, wanted.size() - 1) : wanted;
        bool found = false;
        for (; at < all.size(); ++at)
        {
            if (isPrefix ? all[at].rfind(text, 0) == 0 : all[at] == text)
            {
                found = true;
                ++at;
                break;
            }
        }
        if (!found)
        {
            return wanted;
        }
    }
    return "";
}
} // namespace qortest

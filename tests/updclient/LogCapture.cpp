#include "LogCapture.h"

#include "logging/AppLogger.h"

#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/transcoder.h>
#include <log4cxx/spi/loggingevent.h>

class LogCapture::Appender : public log4cxx::AppenderSkeleton
{
public:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override
    {
        std::string level;
        std::string message;
        log4cxx::helpers::Transcoder::encode(event->getLevel()->toString(), level);
        log4cxx::helpers::Transcoder::encode(event->getMessage(), message);
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({level, message});
    }
    void close() override {}
    bool requiresLayout() const override { return false; }

    std::vector<CapturedLine> lines() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedLine> m_lines;
};

LogCapture::LogCapture() : m_appender(std::make_shared<Appender>())
{
    const log4cxx::LoggerPtr& logger = appLogger();
    m_previousLevel = logger->getLevel();
    logger->setLevel(log4cxx::Level::getTrace());
    logger->addAppender(m_appender);
}

LogCapture::~LogCapture()
{
    const log4cxx::LoggerPtr& logger = appLogger();
    logger->removeAppender(m_appender);
    logger->setLevel(m_previousLevel);
}

std::vector<CapturedLine> LogCapture::lines() const
{
    return m_appender->lines();
}

std::string LogCapture::text() const
{
    std::string text;
    for (const CapturedLine& line : lines())
    {
        text += line.level + " " + line.message + "\n";
    }
    return text;
}

// An appender that keeps every event it is given, for tests that check what
// the program logged: level, message text and location.
#pragma once

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

#include <mutex>
#include <string>
#include <vector>

namespace qortest
{
// the log4cxx object macros name helpers:: unqualified
namespace helpers = log4cxx::helpers;

struct CapturedEvent
{
    std::string level;
    std::string message; // UTF-8, as log4cxx keeps it
    std::string fileName;
    std::string methodName;
    std::string className;
    int line;
};

class CapturingAppender : public log4cxx::AppenderSkeleton
{
public:
    DECLARE_LOG4CXX_OBJECT(CapturingAppender)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(CapturingAppender)
    LOG4CXX_CAST_ENTRY_CHAIN(AppenderSkeleton)
    END_LOG4CXX_CAST_MAP()

    void close() override {}
    bool requiresLayout() const override { return false; }

    std::vector<CapturedEvent> events() const;
    // "LEVEL message" per event, for compact comparisons
    std::vector<std::string> lines() const;
    void clear();

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool& pool) override;

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedEvent> m_events;
};

// Attaches a capturing appender to the program's logger at TRACE for the
// life of the object, and detaches it afterwards.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const { return m_appender->lines(); }
    std::vector<CapturedEvent> events() const { return m_appender->events(); }
    void clear() { m_appender->clear(); }

private:
    std::shared_ptr<CapturingAppender> m_appender;
    log4cxx::LevelPtr m_previousLevel;
};
} // namespace qortest

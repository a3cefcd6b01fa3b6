// Keeps what the program logs through its "QorDownloader" logger while an
// object lives, for tests that check levels, texts and locations.
#pragma once

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qortest
{
// the log4cxx object macros name helpers:: unqualified
namespace helpers = log4cxx::helpers;

struct CapturedEvent
{
    std::string level;   // "TRACE", "INFO", ...
    std::string message; // UTF-8, as log4cxx keeps it
    std::string fileName;
    std::string methodName;
    std::string className;
    int line;
};

// An appender that keeps every event it is given; it can also echo each one
// to stderr as "LEVEL message".
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
    void clear();
    void setEcho(bool echo);

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool& pool) override;

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedEvent> m_events;
    bool m_echo = false;
};

// Attaches a capturing appender to the program's logger at TRACE for the
// life of the object, then detaches it and restores the previous level.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedEvent> events() const { return m_appender->events(); }
    // "LEVEL message" per event, for compact comparisons
    std::vector<std::string> lines() const;
    // the lines, each ended by "\n", for readable failure output
    std::string text() const;
    bool contains(const std::string& line) const;
    bool containsPrefix(const std::string& prefix) const;
    // empty when the lines (exact, or prefixes ending in "*") come in order;
    // otherwise the first one missing
    std::string missingInOrder(const std::vector<std::string>& expected) const;
    void clear() { m_appender->clear(); }
    // also writes every event to stderr as it arrives
    void echoToStderr(bool echo) { m_appender->setEcho(echo); }

private:
    std::shared_ptr<CapturingAppender> m_appender;
    log4cxx::LevelPtr m_previousLevel;
};
} // namespace qortest

// Helpers shared by the configuration and proxy tests: a private working
// folder (the INI names are relative) and a capture of the program's log.
#pragma once

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace qortest
{
// Creates a private temporary folder, makes it the working directory, and
// removes it again (restoring the previous working directory) at the end.
class TempWorkDir
{
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::filesystem::path& path() const noexcept { return m_path; }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};

void writeBytes(const std::filesystem::path& file, const std::string& bytes);
std::string readBytes(const std::filesystem::path& file);

struct LogEvent
{
    std::string level; // "TRACE", "INFO", ...
    std::wstring text;

    bool operator==(const LogEvent& other) const = default;
};

// the log4cxx object macros name helpers:: unqualified
namespace helpers = log4cxx::helpers;

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
    std::vector<LogEvent> events() const;
    void clear();

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool& pool) override;

private:
    mutable std::mutex m_mutex;
    std::vector<LogEvent> m_events;
};

// Attaches a capturing appender to the program's logger at TRACE level for
// its lifetime.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEvent> events() const { return m_appender->events(); }
    void clear() { m_appender->clear(); }

private:
    std::shared_ptr<CapturingAppender> m_appender;
    log4cxx::LevelPtr m_previousLevel;
};

std::string describe(const std::vector<LogEvent>& events);
} // namespace qortest

// Collects what the program logs through the "QorDownloader" logger while
// an object of this class lives, so tests can check levels and texts.
#pragma once

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct CapturedLine
{
    std::string level;
    std::string message;
};

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> lines() const;
    // "LEVEL message" per line, for readable failure output
    std::string text() const;

private:
    class Appender;
    std::shared_ptr<Appender> m_appender;
    log4cxx::LevelPtr m_previousLevel;
};

// The program's one logger, "QorDownloader", configured from
// "LogQorDownloader.xml" in the working directory on first use, and the form
// of every log statement: the level check comes first, so a disabled
// statement builds no text and evaluates none of its values.
//
//   QOR_LOG_WARN("Delete error: " << platform::getLastError());
//   QOR_LOG_INFO("FlagFile found: " << flagFile);   // wide value: wide message
//
// A statement's location names its source file. Code that belongs to
// another file of the design than the one it sits in names that file by
// defining QOR_LOG_SOURCE_FILE before its first include, for example
//   #define QOR_LOG_SOURCE_FILE "QorDownloaderDlg.cpp"
#pragma once

#include "logging/LogMessage.h"

#include <log4cxx/logger.h>

#include <string>

namespace qorlog
{
inline const std::string LOGGER_NAME = "QorDownloader";
inline const std::string CONFIG_FILE_STEM = "LogQorDownloader";
inline const std::string CONFIG_FILE_EXTENSION = ".xml";
} // namespace qorlog

namespace qorlog
{
// Configures log4cxx from the configuration file and returns the logger;
// run once, by the first appLogger() call.
log4cxx::LoggerPtr configureLogger();
// Logs at WARN what the configuration's appenders refused (an option value
// they replaced by its default); the start-up calls it after "Begin".
void reportConfigurationWarnings();
} // namespace qorlog

// The process-wide logger reference; the first call configures log4cxx.
// Inline, because every statement of the program calls it before its level
// check: a disabled statement then costs little more than that check.
inline const log4cxx::LoggerPtr& appLogger()
{
    static const log4cxx::LoggerPtr logger = qorlog::configureLogger();
    return logger;
}

#ifdef QOR_LOG_SOURCE_FILE
#define QOR_LOG_LOCATION                                                                           \
    ::log4cxx::spi::LocationInfo(QOR_LOG_SOURCE_FILE, QOR_LOG_SOURCE_FILE, __LOG4CXX_FUNC__,       \
                                 __LINE__)
#else
#define QOR_LOG_LOCATION LOG4CXX_LOCATION
#endif

#define QOR_LOG_AT(isEnabledFn, levelFn, message)                                                  \
    do                                                                                             \
    {                                                                                              \
        const ::log4cxx::LoggerPtr& qorLogger_ = ::appLogger();                                    \
        if (qorLogger_ && qorLogger_->isEnabledFn())                                               \
        {                                                                                          \
            ::qorlog::LogMessage qorMessage_;                                                      \
            qorMessage_ << message;                                                                \
            qorMessage_.emit(qorLogger_, ::log4cxx::Level::levelFn(), QOR_LOG_LOCATION);           \
        }                                                                                          \
    } while (0)

#define QOR_LOG_TRACE(message) QOR_LOG_AT(isTraceEnabled, getTrace, message)
#define QOR_LOG_INFO(message) QOR_LOG_AT(isInfoEnabled, getInfo, message)
#define QOR_LOG_WARN(message) QOR_LOG_AT(isWarnEnabled, getWarn, message)
#define QOR_LOG_ERROR(message) QOR_LOG_AT(isErrorEnabled, getError, message)
#define QOR_LOG_FATAL(message) QOR_LOG_AT(isFatalEnabled, getFatal, message)

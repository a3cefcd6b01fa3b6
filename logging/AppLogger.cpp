#include "logging/AppLogger.h"

#include "logging/QorDwnlFileAppender.h"

#include <log4cxx/xml/domconfigurator.h>

namespace
{
// Every program that logs links this file, so the appender's class name is
// known to log4cxx before any configuration is read, even from a static
// library whose appender object nothing else references.
const log4cxx::helpers::ClassRegistration& s_appenderRegistration =
    log4cxx::QorDwnlFileAppender::registerClass();
} // namespace

const log4cxx::LoggerPtr& appLogger()
{
    // The configuration's outcome is deliberately not examined: without a
    // usable file the program runs the same, only the log is missing.
    static const log4cxx::LoggerPtr logger = []
    {
        log4cxx::xml::DOMConfigurator::configure(qorlog::CONFIG_FILE_STEM +
                                                 qorlog::CONFIG_FILE_EXTENSION);
        return log4cxx::Logger::getLogger(qorlog::LOGGER_NAME);
    }();
    return logger;
}

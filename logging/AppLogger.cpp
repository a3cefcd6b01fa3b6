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

namespace qorlog
{
log4cxx::LoggerPtr configureLogger()
{
    // the appender must be known before the configuration names it
    log4cxx::QorDwnlFileAppender::registerClass();
    // The configuration's outcome is deliberately not examined: without a
    // usable file the program runs the same, only the log is missing.
    log4cxx::xml::DOMConfigurator::configure(CONFIG_FILE_STEM + CONFIG_FILE_EXTENSION);
    return log4cxx::Logger::getLogger(LOGGER_NAME);
}

void reportConfigurationWarnings()
{
    for (const std::string& warning : log4cxx::QorDwnlFileAppender::takeConfigurationWarnings())
    {
        QOR_LOG_WARN("Log configuration: " << warning);
    }
}
} // namespace qorlog

#include "logging/QorDwnlFileAppender.h"

#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/stringhelper.h>
#include <log4cxx/level.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/spi/loggingevent.h>

using namespace log4cxx;

// Registers the class name at static initialisation, before any
// configuration is read.
IMPLEMENT_LOG4CXX_OBJECT(QorDwnlFileAppender)

void QorDwnlFileAppender::setFile(const LogString& file)
{
    m_filePattern = file;
    FileAppender::setFile(file);
}

void QorDwnlFileAppender::setOption(const LogString& option, const LogString& value)
{
    FileAppender::setOption(option, value);
    if (helpers::StringHelper::equalsIgnoreCase(option, LOG4CXX_STR("FILE"), LOG4CXX_STR("file")) ||
        helpers::StringHelper::equalsIgnoreCase(option, LOG4CXX_STR("FILENAME"),
                                                LOG4CXX_STR("filename")))
    {
        // the base class has stripped doubled backslashes from it
        m_filePattern = getFile();
    }
}

void QorDwnlFileAppender::activateOptions(helpers::Pool& p)
{
    if (!m_filePattern.empty())
    {
        FileAppender::setFile(renderFileName(m_filePattern, p));
    }
    FileAppender::activateOptions(p);
}

LogString QorDwnlFileAppender::renderFileName(const LogString& pattern, helpers::Pool& p)
{
    // an event of level OFF without logger, message or location: only the
    // date, the thread and literal text render into something useful
    const spi::LoggingEventPtr event = std::make_shared<spi::LoggingEvent>(
        LogString(), Level::toLevel(LOG4CXX_STR("OFF")), LogString(),
        spi::LocationInfo::getLocationUnavailable());
    PatternLayout layout(pattern);
    LogString rendered;
    layout.format(rendered, event, p);
    return rendered;
}

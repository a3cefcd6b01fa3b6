#include "logging/QorDwnlFileAppender.h"

#include "logging/LogRetention.h"

#include <log4cxx/helpers/loglog.h>
#include <log4cxx/helpers/optionconverter.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/stringhelper.h>
#include <log4cxx/level.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/spi/loggingevent.h>

#include <filesystem>
#include <fstream>

using namespace log4cxx;

namespace
{
// Creates file empty with mode 0640 unless it is there already; the base
// class then opens it as it would any existing file. An existing file keeps
// the mode its owner gave it.
void createLogFile(const std::string& file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(fs::symlink_status(file, error)) || file.empty())
    {
        return;
    }
    const fs::path parent = fs::path(file).parent_path();
    if (!parent.empty())
    {
        fs::create_directories(parent, error);
    }
    if (!std::ofstream(file, std::ios::app))
    {
        return; // the base class reports it when it fails the same way
    }
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                    fs::perm_options::replace, error);
}
} // namespace

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
    else if (helpers::StringHelper::equalsIgnoreCase(option, LOG4CXX_STR("MAXLOGFILES"),
                                                     LOG4CXX_STR("maxlogfiles")))
    {
        setMaxLogFiles(helpers::OptionConverter::toInt(value, DEFAULT_MAX_LOG_FILES));
    }
}

void QorDwnlFileAppender::activateOptions(helpers::Pool& p)
{
    if (!m_filePattern.empty())
    {
        FileAppender::setFile(renderFileName(m_filePattern, p));
    }
    createLogFile(getFile());
    FileAppender::activateOptions(p);
    if (!m_filePattern.empty())
    {
        std::vector<std::string> failures;
        LogRetention::prune(m_filePattern, getFile(), m_maxLogFiles, &failures);
        // the program's own log has no lines for this: log4cxx's diagnostics do
        for (const std::string& failure : failures)
        {
            helpers::LogLog::warn(LOG4CXX_STR("Cannot remove old log file ") + failure);
        }
    }
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

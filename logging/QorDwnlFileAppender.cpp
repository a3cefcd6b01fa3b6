#include "logging/QorDwnlFileAppender.h"

#include "logging/LogRetention.h"

#include <log4cxx/helpers/loglog.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/stringhelper.h>
#include <log4cxx/level.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/spi/loggingevent.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>

using namespace log4cxx;

namespace
{
// A run's file, when it cannot take the name its pattern rendered, tries
// this many suffixed names before giving up on a file of its own.
constexpr int MAX_RUN_SUFFIX = 1000;

std::mutex s_warningsMutex;
std::vector<std::string> s_warnings;

void warnAboutConfiguration(const std::string& text)
{
    helpers::LogLog::warn(text);
    const std::lock_guard<std::mutex> lock(s_warningsMutex);
    s_warnings.push_back(text);
}

void makeParentFolder(const std::string& file)
{
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    if (!parent.empty())
    {
        std::filesystem::create_directories(parent, error);
    }
}

void restrictMode(const std::string& file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                    fs::perm_options::replace, error);
}

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
    makeParentFolder(file);
    if (!std::ofstream(file, std::ios::app))
    {
        return; // the base class reports it when it fails the same way
    }
    restrictMode(file);
}

// Creates the file of this run under name, or under the first free suffixed
// name when an earlier run took it; exclusive, so that two runs starting
// together never share one. name itself when no file could be made (the
// base class then reports why).
std::string claimRunFile(const std::string& name)
{
    makeParentFolder(name);
    for (int number = 1; number <= MAX_RUN_SUFFIX; ++number)
    {
        const std::string candidate =
            number == 1 ? name : LogRetention::withRunSuffix(name, number);
        errno = 0;
        if (std::FILE* created = std::fopen(candidate.c_str(), "wx"))
        {
            std::fclose(created);
            restrictMode(candidate);
            return candidate;
        }
        if (errno != EEXIST)
        {
            break;
        }
    }
    return name;
}

// A whole number of 0 or more, blanks around it allowed.
bool parseFileCount(const std::string& text, int& count)
{
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos)
    {
        return false;
    }
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    const auto [stop, problem] = std::from_chars(begin, end, count);
    return problem == std::errc() && stop == end && count >= 0 && *begin != '-';
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
        int count = DEFAULT_MAX_LOG_FILES;
        if (!parseFileCount(value, count))
        {
            count = DEFAULT_MAX_LOG_FILES;
            warnAboutConfiguration("MaxLogFiles \"" + value +
                                   "\" is not a number of files (0 or more): the newest " +
                                   std::to_string(DEFAULT_MAX_LOG_FILES) + " are kept");
        }
        setMaxLogFiles(count);
    }
}

void QorDwnlFileAppender::activateOptions(helpers::Pool& p)
{
    if (!m_filePattern.empty())
    {
        const LogString rendered = renderFileName(m_filePattern, p);
        // a name without conversions is one file that every run appends to
        if (!LogRetention::hasConversion(m_filePattern))
        {
            m_runFile = rendered;
        }
        else if (rendered != m_renderedName || m_runFile.empty())
        {
            m_runFile = claimRunFile(rendered);
        }
        m_renderedName = rendered;
        FileAppender::setFile(m_runFile);
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

std::vector<std::string> QorDwnlFileAppender::takeConfigurationWarnings()
{
    const std::lock_guard<std::mutex> lock(s_warningsMutex);
    return std::exchange(s_warnings, {});
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

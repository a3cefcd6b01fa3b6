#include "tests/config/TestSupport.h"

#include "logging/AppLogger.h"

#include <log4cxx/helpers/transcoder.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace qortest
{
IMPLEMENT_LOG4CXX_OBJECT(CapturingAppender)

TempWorkDir::TempWorkDir() : m_previous(std::filesystem::current_path())
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qorcfg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    std::filesystem::current_path(m_path);
}

TempWorkDir::~TempWorkDir()
{
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
    // tests make files and folders read-only; give the owner back its rights
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_path, ignored))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

void writeBytes(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string readBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<LogEvent> CapturingAppender::events() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

void CapturingAppender::clear()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

void CapturingAppender::append(const ::log4cxx::spi::LoggingEventPtr& event,
                               ::log4cxx::helpers::Pool&)
{
    std::wstring text;
    ::log4cxx::helpers::Transcoder::encode(event->getMessage(), text);
    const std::string level = event->getLevel()->toString(); // UTF-8 log strings
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(LogEvent{level, text});
}

LogCapture::LogCapture() : m_appender(std::make_shared<CapturingAppender>())
{
    const ::log4cxx::LoggerPtr& logger = appLogger();
    m_previousLevel = logger->getLevel();
    logger->setLevel(::log4cxx::Level::getTrace());
    logger->addAppender(m_appender);
}

LogCapture::~LogCapture()
{
    const ::log4cxx::LoggerPtr& logger = appLogger();
    logger->removeAppender(m_appender);
    logger->setLevel(m_previousLevel);
}

std::string describe(const std::vector<LogEvent>& events)
{
    std::ostringstream text;
    for (const LogEvent& event : events)
    {
        std::string narrow;
        for (const wchar_t c : event.text)
            narrow.push_back(c < 128 ? static_cast<char>(c) : '?');
        text << event.level << " " << narrow << "\n";
    }
    return text.str();
}
} // namespace qortest

#include "TestSupport.h"

#include <log4cxx/helpers/transcoder.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace qortest
{
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

std::vector<LogEvent> logEvents(const LogCapture& log)
{
    std::vector<LogEvent> result;
    for (const CapturedEvent& event : log.events())
    {
        std::wstring text;
        ::log4cxx::helpers::Transcoder::encode(event.message, text);
        result.push_back(LogEvent{event.level, text});
    }
    return result;
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

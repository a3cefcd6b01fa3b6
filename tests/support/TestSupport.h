// Helpers shared by the configuration and proxy tests: a private working
// folder (the INI names are relative) and a capture of the program's log.
#pragma once

#include "LogCapture.h"

#include <filesystem>
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

// The events a capture holds, as level and wide text.
std::vector<LogEvent> logEvents(const LogCapture& log);

std::string describe(const std::vector<LogEvent>& events);
} // namespace qortest

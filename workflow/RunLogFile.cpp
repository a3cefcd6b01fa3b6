#include "workflow/RunLogFile.h"

#include "logging/AppLogger.h"

#include <log4cxx/fileappender.h>
#include <log4cxx/helpers/transcoder.h>

#include <filesystem>
#include <vector>

namespace
{
void collectFiles(const log4cxx::LoggerPtr& logger, std::vector<std::string>& files)
{
    if (!logger)
    {
        return;
    }
    for (const log4cxx::AppenderPtr& appender : logger->getAllAppenders())
    {
        const auto fileAppender = log4cxx::cast<log4cxx::FileAppender>(appender);
        if (!fileAppender)
        {
            continue;
        }
        std::string name;
        log4cxx::helpers::Transcoder::encode(fileAppender->getFile(), name);
        if (name.empty())
        {
            continue;
        }
        std::error_code error;
        // links resolved: the service's logs/ is a link to /var/log/qordownloader
        const std::filesystem::path absolute = std::filesystem::weakly_canonical(name, error);
        const std::string path = error ? name : absolute.string();
        bool known = false;
        for (const std::string& file : files)
        {
            known = known || file == path;
        }
        if (!known)
        {
            files.push_back(path);
        }
    }
}
} // namespace

std::string runLogFile()
{
    std::vector<std::string> files;
    collectFiles(appLogger(), files);
    collectFiles(log4cxx::Logger::getRootLogger(), files);
    if (files.empty())
    {
        return "none";
    }
    std::string text;
    for (const std::string& file : files)
    {
        text += text.empty() ? file : ", " + file;
    }
    return text;
}

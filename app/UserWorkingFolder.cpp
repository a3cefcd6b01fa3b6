// The preparation is part of the start-up, the design's QorDownloader file.
#define QOR_LOG_SOURCE_FILE "QorDownloader.cpp"

#include "app/UserWorkingFolder.h"

#include "logging/AppLogger.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/LastError.h"
#include "platform/TextCodec.h"
#include "platform/UserFolders.h"
#include "resources/Translation.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
const char* const OWN_SETTINGS = "QorDownloader.ini";
// in copy order: the program's own settings first, they decide whether the
// run can start at all
const char* const SETTINGS_FILES[] = {OWN_SETTINGS, "UpdInter.ini", "LogQorDownloader.xml"};

std::string errorText(unsigned long error)
{
    return std::generic_category().message(static_cast<int>(error));
}

bool isThere(const fs::path& path)
{
    std::error_code error;
    // a link, even a dangling one, is something the user put there
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

// Makes the missing folders of path, owner-only as the base-directory rules
// want them; "" or the reason.
std::string makeFolders(const fs::path& path)
{
    fs::path partial;
    for (const fs::path& part : path)
    {
        partial /= part;
        std::error_code error;
        if (fs::is_directory(partial, error))
        {
            continue;
        }
        if (!platform::FileSystem::makeDirectory(partial.string(), 0700) &&
            !fs::is_directory(partial, error))
        {
            return partial.string() + ": " + errorText(platform::getLastError());
        }
    }
    return {};
}

// The package's commented samples beside the program; empty when there are none.
std::string samplesFolder()
{
    std::string program;
    if (!platform::TextCodec::encodePath(platform::ExecutablePath::get(), program))
    {
        return {};
    }
    const fs::path samples =
        fs::path(program).parent_path().parent_path() / "share" / "qordownloader";
    std::error_code error;
    return fs::is_directory(samples, error) ? samples.lexically_normal().string() : std::string();
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
    {
        text += text.empty() ? item : ", " + item;
    }
    return text;
}
} // namespace

UserWorkingFolder::Preparation UserWorkingFolder::prepare()
{
    Preparation result;
    const char* admin = std::getenv(ADMIN_FOLDER_VARIABLE);
    result.adminFolder = admin != nullptr && *admin != '\0' ? admin : DEFAULT_ADMIN_FOLDER;
    const std::string state = platform::userStateFolder();
    if (state.empty())
    {
        result.folderProblem = qorTr("no home folder is known (HOME is not set)");
        return result;
    }
    const fs::path folder = (fs::path(state) / FOLDER_NAME).lexically_normal();
    result.folder = folder.string();
    result.folderProblem = makeFolders(folder);
    std::error_code error;
    if (result.folderProblem.empty())
    {
        fs::current_path(folder, error);
        if (error)
        {
            result.folderProblem = result.folder + ": " + error.message();
        }
    }
    if (!result.folderProblem.empty())
    {
        return result;
    }

    for (const char* name : SETTINGS_FILES)
    {
        const fs::path source = fs::path(result.adminFolder) / name;
        const fs::path target = folder / name;
        if (isThere(target) || !isThere(source))
        {
            continue;
        }
        if (platform::FileSystem::copyToNewPrivateFile(source.string(), target.string()))
        {
            result.copied.push_back(name);
        }
        else if (platform::getLastError() != EEXIST) // the user's own, made meanwhile
        {
            result.notCopied.push_back(source.string() + ": " +
                                       errorText(platform::getLastError()));
        }
    }
    result.hasSettings = fs::exists(folder / OWN_SETTINGS, error);
    return result;
}

void UserWorkingFolder::Preparation::log() const
{
    QOR_LOG_INFO("Working folder: " << folder);
    for (const std::string& name : copied)
    {
        QOR_LOG_INFO("Copied from the administrator's settings: "
                     << (fs::path(adminFolder) / name).string());
    }
    for (const std::string& problem : notCopied)
    {
        QOR_LOG_WARN("Not copied from the administrator's settings: " << problem);
    }
}

std::string UserWorkingFolder::Preparation::firstRunLines() const
{
    if (copied.empty())
    {
        return {};
    }
    std::string text =
        qorTrFormat("Your working folder %s was prepared with your administrator's settings.",
                    folder) +
        "\n" + qorTrFormat("Copied from %s:", adminFolder) + " " + joined(copied);
    for (const std::string& problem : notCopied)
    {
        text += "\n" + qorTrFormat("Not copied: %s", problem);
    }
    return text;
}

std::wstring UserWorkingFolder::Preparation::firstRunNote() const
{
    // the texts are UTF-8, whatever the locale
    return platform::TextCodec::decode(firstRunLines(), "UTF-8");
}

std::string UserWorkingFolder::Preparation::missingSettingsHeadline()
{
    return qorTr("QorDownloader has no settings to run with.");
}

std::string UserWorkingFolder::Preparation::missingSettingsText() const
{
    if (folder.empty() || !folderProblem.empty())
    {
        return qorTrFormat("Its working folder cannot be used: %s", folderProblem);
    }
    std::string text = qorTrFormat("It needs QorDownloader.ini in its working folder %s; "
                                   "UpdInter.ini and LogQorDownloader.xml beside it are optional.",
                                   folder);
    bool unreadable = false;
    for (const std::string& problem : notCopied)
    {
        unreadable = unreadable || problem.find(OWN_SETTINGS) != std::string::npos;
        text += "\n" + qorTrFormat("Not copied: %s", problem);
    }
    if (!unreadable)
    {
        text += "\n" + qorTrFormat("They are copied there from your administrator's folder %s, "
                                   "which holds no QorDownloader.ini.",
                                   adminFolder);
    }
    const std::string samples = samplesFolder();
    if (!samples.empty())
    {
        text += "\n" + qorTrFormat("Ask your administrator, or start from the commented samples in "
                                   "%s.",
                                   samples);
    }
    return text;
}

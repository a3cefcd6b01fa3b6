// The program's own entry point: it stands in for the framework start-up of
// a dialog application, so that InitInstance runs once, ExitInstance after
// it, and ExitInstance's result becomes the exit status (its low 8 bits).

// The start-up is part of the design's QorDownloader source file.
#define QOR_LOG_SOURCE_FILE "QorDownloader.cpp"

#include "app/CQorDownloaderApp.h"
#include "app/CommandLine.h"
#include "app/UserWorkingFolder.h"
#include "logging/AppLogger.h"
#include "platform/MessageBox.h"
#include "platform/TextCodec.h"
#include "resources/Translation.h"
#include "workflow/StopRequests.h"

#include <wx/init.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <clocale>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>

wxIMPLEMENT_APP_NO_MAIN(CQorDownloaderApp);

namespace
{
// A stop must find its handler from the first instruction of the process:
// the loader runs this before any library's initialisation and before main.
// main lets the signals go again unless the run is unattended.
void catchStopsFromTheStart(int, char**, char**)
{
    StopRequests::catchSignals();
}
__attribute__((section(".preinit_array"), used)) void (*const s_catchStops)(int, char**, char**) =
    &catchStopsFromTheStart;

using PreparedFolder = std::optional<UserWorkingFolder::Preparation>;

// InitInstance then ExitInstance on an application object that is already
// the toolkit's (attended) or that the toolkit never started (unattended).
int runInstance(CQorDownloaderApp& application, bool unattended, const PreparedFolder& folder)
{
    application.m_bUnattended = unattended;
    application.m_preparedFolder = folder;
    try
    {
        application.InitInstance();
    }
    catch (const std::exception& error)
    {
        QOR_LOG_ERROR("Unexpected exception: " << error.what());
    }
    return application.ExitInstance();
}

// Says why a --user-folder run cannot start: in a box for a person, on
// stderr otherwise, and in the log when the folder has a log configuration.
int reportMissingSettings(const UserWorkingFolder::Preparation& folder, bool attended)
{
    const std::string headline = UserWorkingFolder::Preparation::missingSettingsHeadline();
    const std::string text = folder.missingSettingsText();
    if (attended)
    {
        platform::messageBox(nullptr, platform::TextCodec::decode(headline, "UTF-8"),
                             CQorDownloaderApp::getAppTitle(),
                             platform::MB_OK | platform::MB_ICONERROR,
                             platform::TextCodec::decode(text, "UTF-8"));
    }
    else
    {
        std::cerr << "qordownloader: " << headline << "\n" << text << std::endl;
    }
    std::error_code error;
    if (std::filesystem::exists(qorlog::CONFIG_FILE_STEM + qorlog::CONFIG_FILE_EXTENSION, error))
    {
        QOR_LOG_ERROR("No settings: QorDownloader.ini is missing in " << folder.folder);
    }
    return CommandLine::NO_SETTINGS_STATUS;
}

// A person's run: the download dialog needs the toolkit and a display.
int runAttended(const char* programPath, const PreparedFolder& folder)
{
    // The toolkit sees no options of ours: it would reject them.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {const_cast<char*>(programPath), nullptr};
    if (!wxEntryStart(toolkitArgc, toolkitArgv))
    {
        return CommandLine::reportNoDisplay();
    }
    // Toolkit messages go to stderr: a box of the toolkit's own would wait
    // for a user that is not there.
    delete wxLog::SetActiveTarget(new wxLogStderr);

    auto* application = dynamic_cast<CQorDownloaderApp*>(wxTheApp);
    int exitCode = CQorDownloaderApp::RC_NOT_SET;
    if (folder && !folder->hasSettings)
    {
        exitCode = reportMissingSettings(*folder, true);
    }
    else if (application != nullptr)
    {
        exitCode = runInstance(*application, false, folder);
    }
    wxEntryCleanup();
    return exitCode;
}

// An unattended run never starts the toolkit: the application object runs
// the download on the console, with no window and no display.
int runUnattended(const PreparedFolder& folder)
{
    CQorDownloaderApp application;
    return runInstance(application, true, folder);
}

PreparedFolder prepareFolder(const CommandLine& commandLine)
{
    if (!commandLine.m_bUserFolder)
    {
        return std::nullopt;
    }
    return UserWorkingFolder::prepare();
}

bool hasDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
        {
            return true;
        }
    }
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");

    const CommandLine commandLine(argc, argv);
    if (commandLine.m_eAction != CommandLine::ACTION_RUN || !commandLine.m_bUnattended)
    {
        // a person's run, or no run at all: the signals act as they always do
        StopRequests::releaseSignals();
    }
    switch (commandLine.m_eAction)
    {
    case CommandLine::ACTION_HELP:
        std::cout << CommandLine::usage();
        return 0;
    case CommandLine::ACTION_VERSION:
        std::cout << CommandLine::versionText() << std::endl;
        return 0;
    case CommandLine::ACTION_USAGE_ERROR:
        std::cerr << "qordownloader: " << commandLine.m_sError << "\n"
                  << qorTr("Try 'qordownloader --help' for more information.") << std::endl;
        return CommandLine::USAGE_ERROR_STATUS;
    case CommandLine::ACTION_RUN:
        break;
    }

    if (commandLine.m_bUnattended)
    {
        // the signals stay caught to the last instruction: a stop after the
        // outcome is known leaves it
        const PreparedFolder folder = prepareFolder(commandLine);
        if (folder && !folder->hasSettings)
        {
            return reportMissingSettings(*folder, false);
        }
        if (folder && !folder->copied.empty())
        {
            std::cout << folder->firstRunLines() << std::endl;
        }
        const int exitCode = runUnattended(folder);
        std::cout << qorTrFormat("Outcome: %s", std::to_string(exitCode) + " (" +
                                                    CommandLine::describeReturnCode(exitCode) + ")")
                  << std::endl;
        return exitCode;
    }
    if (!hasDisplay())
    {
        return CommandLine::reportNoDisplay();
    }

    // The program draws nothing with OpenGL, and GTK's probing for it costs
    // a few hundred milliseconds before the first prompt; a user's own
    // choice is kept.
    wxString glChoice;
    if (!wxGetEnv("GDK_GL", &glChoice))
    {
        wxSetEnv("GDK_GL", "disable");
    }
    return runAttended(argv[0], prepareFolder(commandLine));
}

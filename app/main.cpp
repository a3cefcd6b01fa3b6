// The program's own entry point: it stands in for the framework start-up of
// a dialog application, so that InitInstance runs once, ExitInstance after
// it, and ExitInstance's result becomes the exit status (its low 8 bits).

// The start-up is part of the design's QorDownloader source file.
#define QOR_LOG_SOURCE_FILE "QorDownloader.cpp"

#include "app/CQorDownloaderApp.h"
#include "app/CommandLine.h"
#include "logging/AppLogger.h"
#include "resources/Translation.h"
#include "workflow/StopRequests.h"

#include <wx/init.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <clocale>
#include <cstdlib>
#include <exception>
#include <iostream>

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

// InitInstance then ExitInstance on an application object that is already
// the toolkit's (attended) or that the toolkit never started (unattended).
int runInstance(CQorDownloaderApp& application, bool unattended)
{
    application.m_bUnattended = unattended;
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

// A person's run: the download dialog needs the toolkit and a display.
int runAttended(const char* programPath)
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
    if (application != nullptr)
    {
        exitCode = runInstance(*application, false);
    }
    wxEntryCleanup();
    return exitCode;
}

// An unattended run never starts the toolkit: the application object runs
// the download on the console, with no window and no display.
int runUnattended()
{
    CQorDownloaderApp application;
    return runInstance(application, true);
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
        const int exitCode = runUnattended();
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
    return runAttended(argv[0]);
}

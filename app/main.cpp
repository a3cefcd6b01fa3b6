// The program's own entry point: it stands in for the framework start-up of
// a dialog application, so that InitInstance runs once, ExitInstance after
// it, and ExitInstance's result becomes the exit status (its low 8 bits).

#include "app/CQorDownloaderApp.h"
#include "app/CommandLine.h"
#include "logging/AppLogger.h"
#include "resources/Translation.h"

#include <wx/init.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <clocale>
#include <exception>
#include <iostream>

wxIMPLEMENT_APP_NO_MAIN(CQorDownloaderApp);

namespace
{
// Runs the application object between the toolkit's start and clean-up.
int runApplication(const char* programPath, bool unattended)
{
    // The toolkit sees no options of ours: it would reject them.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {const_cast<char*>(programPath), nullptr};
    if (!wxEntryStart(toolkitArgc, toolkitArgv))
    {
        std::cerr << "qordownloader: " << qorTr("cannot start the user interface (no display?)")
                  << std::endl;
        return CQorDownloaderApp::RC_NOT_SET;
    }
    // Toolkit messages go to stderr: a box of the toolkit's own would wait
    // for a user that an unattended run does not have.
    delete wxLog::SetActiveTarget(new wxLogStderr);

    auto* application = dynamic_cast<CQorDownloaderApp*>(wxTheApp);
    int exitCode = CQorDownloaderApp::RC_NOT_SET;
    if (application != nullptr)
    {
        application->m_bUnattended = unattended;
        try
        {
            application->InitInstance();
        }
        catch (const std::exception& error)
        {
            QOR_LOG_ERROR("Unexpected exception: " << error.what());
        }
        exitCode = application->ExitInstance();
    }
    wxEntryCleanup();
    return exitCode;
}
} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");

    const CommandLine commandLine(argc, argv);
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

    // The program draws nothing with OpenGL, and GTK's probing for it costs
    // a few hundred milliseconds before the first prompt; a user's own
    // choice is kept.
    wxString glChoice;
    if (!wxGetEnv("GDK_GL", &glChoice))
    {
        wxSetEnv("GDK_GL", "disable");
    }

    const int exitCode = runApplication(argv[0], commandLine.m_bUnattended);
    if (commandLine.m_bUnattended)
    {
        std::cout << qorTrFormat("Outcome: %s", std::to_string(exitCode) + " (" +
                                                    CommandLine::describeReturnCode(exitCode) + ")")
                  << std::endl;
    }
    return exitCode;
}

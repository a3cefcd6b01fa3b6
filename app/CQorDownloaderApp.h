// The process: refuses to run twice, runs the download dialog modally and
// turns the outcome it recorded into the process exit code.
#pragma once

#include "app/ReturnCode.h"
#include "app/UserWorkingFolder.h"

#include <wx/app.h>

#include <optional>
#include <string>

class CQorDownloaderApp : public wxApp
{
public:
    // The return codes of a run (app/ReturnCode.h), spelled as members of
    // the application: CQorDownloaderApp::RC_SUCCESS and so on.
    using eReturnCode = ReturnCode::eReturnCode;
    using enum ReturnCode::eReturnCode;

    // Runs once at start; always false (there is no main loop of our own).
    virtual bool InitInstance();
    // Runs once after InitInstance; its result is the process exit status.
    virtual int ExitInstance();

    // "QorDownloader v<file version>", cached once computed; empty on failure.
    static const std::wstring& getAppTitle();

    eReturnCode m_eReturnCode = RC_NOT_SET;
    // Set by main from --unattended before InitInstance: the run goes to the
    // console, and a second copy reports on stderr instead of a box.
    bool m_bUnattended = false;
    // Set by main for --user-folder: logged after "Begin"; what it copied is
    // told with the confirmation.
    std::optional<UserWorkingFolder::Preparation> m_preparedFolder;
};

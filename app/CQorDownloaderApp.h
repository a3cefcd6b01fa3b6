// The process: refuses to run twice, runs the download dialog modally and
// turns the outcome it recorded into the process exit code.
#pragma once

#include "app/UserWorkingFolder.h"

#include <wx/app.h>

#include <optional>
#include <string>

class CQorDownloaderApp : public wxApp
{
public:
    // The return codes of a run, which are also the process exit codes
    // (a caller reading the low 8 bits sees -10 as 246, -11 as 245).
    enum eReturnCode : int
    {
        RC_NOT_SET = 0,
        RC_SUCCESS = 1,
        RC_CONFIRMATION_REFUSED = -1,
        RC_PROXY_CANCELED = -2,
        RC_USER_CANCELED = -3,
        RC_ALREADY_RUNNING = -10,
        RC_DOWNLOAD_FAILED = -11,
    };

    // Runs once at start; always false (there is no main loop of our own).
    virtual bool InitInstance();
    // Runs once after InitInstance; its result is the process exit status.
    virtual int ExitInstance();

    // "QorDownloader v<file version>", cached once computed; empty on failure.
    static const std::wstring& getAppTitle();

    eReturnCode m_eReturnCode = RC_NOT_SET;
    // Set by main from --unattended before InitInstance: the dialog answers
    // its own prompts and a second copy reports on stderr instead of a box.
    bool m_bUnattended = false;
    // Set by main for --user-folder: logged after "Begin"; what it copied is
    // told with the confirmation.
    std::optional<UserWorkingFolder::Preparation> m_preparedFolder;
};

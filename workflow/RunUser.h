// Whom a run of the download asks and tells: a person at the screen (the
// download dialog's prompts and message boxes), or, in an unattended run,
// the answers an administrator gave in advance (UnattendedAnswers: Yes, the
// stored proxy credentials, no box) and the console lines they read later.
// Called on the front end's thread only.
#pragma once

#include <string>

class RunUser
{
public:
    // askCancel's answer when its confirmation is already open
    static constexpr int PROMPT_ALREADY_OPEN = -1;

    // How the proxy credentials were settled.
    enum class eProxyAnswer
    {
        Typed,   // login and password hold what the user typed: store them
        Stored,  // the stored credentials go to the library as they are
        Canceled // the user left the credentials dialog with Cancel
    };

    virtual ~RunUser() = default;

    // "Do you really want to download ...?": true for Yes.
    virtual bool confirmDownload(const std::wstring& text) = 0;
    // The credentials for the proxy at server; login and password come in
    // as stored (the password unscrambled).
    virtual eProxyAnswer askProxyCredentials(const std::wstring& server, std::wstring& login,
                                             std::wstring& password) = 0;
    // The cancel confirmation, with the Windows answer numbers
    // (platform/MessageBox.h); abortCancelPrompt ends an open one with
    // IDABORT and tells whether one was open.
    virtual int askCancel(const std::wstring& text) = 0;
    virtual bool abortCancelPrompt() = 0;
    // The final message box; reason, when not empty, says why the run
    // failed and stands under text.
    virtual void showMessage(const std::wstring& text, unsigned int icon,
                             const std::wstring& reason) = 0;

    // One line of the run's account, for someone who does not watch it.
    virtual void report(const std::string& line) = 0;
    // A failed phase ("find", "download", "finalize") and the line that
    // says why ("failed at ...; log file: ..."), already logged.
    virtual void reportFailure(const std::string& phase, const std::string& reasonLine) = 0;
};

// The user of an unattended run: the answers an administrator gave by
// starting it with --unattended, and the account they read afterwards on
// standard output (or in the journal of a service). The download is
// confirmed, the stored proxy credentials are used as they are, a cancel
// request is meant, no message box is shown, and every phase, every tenth
// of the download and the reason of a failure become one line each.
#pragma once

#include "workflow/RunUser.h"

#include <ostream>

class UnattendedAnswers final : public RunUser
{
public:
    explicit UnattendedAnswers(std::ostream& out) : m_out(out) {}

    bool confirmDownload(const std::wstring& text) override;
    eProxyAnswer askProxyCredentials(const std::wstring& server, std::wstring& login,
                                     std::wstring& password) override;
    int askCancel(const std::wstring& text) override;
    bool abortCancelPrompt() override;
    void showMessage(const std::wstring& text, unsigned int icon,
                     const std::wstring& reason) override;
    void report(const std::string& line) override;
    void reportFailure(const std::string& phase, const std::string& reasonLine) override;

private:
    std::ostream& m_out;
};

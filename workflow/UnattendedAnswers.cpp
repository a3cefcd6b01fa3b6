// The answers stand in for the download dialog's prompts; their log lines
// name the dialog's file, as the prompts' lines do.
#define QOR_LOG_SOURCE_FILE "QorDownloaderDlg.cpp"

#include "workflow/UnattendedAnswers.h"

#include "logging/AppLogger.h"
#include "platform/MessageBox.h"
#include "resources/Translation.h"
#include "tools/UnicodeFile.h"

bool UnattendedAnswers::confirmDownload(const std::wstring&)
{
    QOR_LOG_INFO("Download confirmed (unattended)");
    report(qorTr("QorDownloader: confirmed"));
    return true;
}

RunUser::eProxyAnswer UnattendedAnswers::askProxyCredentials(const std::wstring& server,
                                                             std::wstring&, std::wstring&)
{
    QOR_LOG_INFO("Proxy settings taken from the configuration (unattended)");
    report(qorTrFormat("proxy: %s (stored credentials)", wstringToString(server, CP_ACP)));
    return eProxyAnswer::Stored;
}

int UnattendedAnswers::askCancel(const std::wstring&)
{
    // whoever asks an unattended run to stop means it, as SIGTERM does
    return platform::IDYES;
}

bool UnattendedAnswers::abortCancelPrompt()
{
    return false; // askCancel opens nothing that could be closed
}

void UnattendedAnswers::showMessage(const std::wstring& text, unsigned int, const std::wstring&)
{
    QOR_LOG_INFO("Final message not shown (unattended): " << text);
}

void UnattendedAnswers::report(const std::string& line)
{
    m_out << line << std::endl;
}

void UnattendedAnswers::reportFailure(const std::string& phase, const std::string& reasonLine)
{
    // the three phase lines, marked here so that the catalog has them
    static const char* const FAILED_LINES[] = {QOR_N_("find: failed"), QOR_N_("download: failed"),
                                               QOR_N_("finalize: failed")};
    const std::string line = phase + ": failed";
    bool translated = false;
    for (const char* msgid : FAILED_LINES)
    {
        if (line == msgid)
        {
            report(qorTr(msgid));
            translated = true;
        }
    }
    if (!translated)
    {
        report(line);
    }
    report(reasonLine);
}

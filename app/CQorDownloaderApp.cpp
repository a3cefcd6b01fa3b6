// The application object is the design's QorDownloader source file.
#define QOR_LOG_SOURCE_FILE "QorDownloader.cpp"

#include "app/CQorDownloaderApp.h"

#include "logging/AppLogger.h"
#include "platform/ExecutablePath.h"
#include "platform/InstanceLock.h"
#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "tools/C_WindowsTools.h"
#include "tools/UnicodeFile.h"
#include "workflow/CQorDownloaderDlg.h"
#include "workflow/ConsoleFrontEnd.h"

#include <iostream>

namespace
{
// The Windows mutex was "Global\{6883A631-E832-497a-B901-4675F28C0DC3}"; the
// lock file carries the same name, and the machine-wide folder stands in for
// the "Global\" prefix.
const std::string INSTANCE_MUTEX_NAME = "{6883A631-E832-497a-B901-4675F28C0DC3}";

const unsigned int IDS_APP_TITLE = 135;
const unsigned int IDS_ALREADY_RUNNING = 137;
const wchar_t* const REGISTRY_KEY = L"Velmora";

// both front ends end their loop with the same answers
static_assert(ConsoleFrontEnd::MODAL_OK == wxID_OK && ConsoleFrontEnd::MODAL_CANCEL == wxID_CANCEL);

// Holds the instance lock for exactly the life of InitInstance, and keeps
// the last error of its creation for the already-running decision.
class InstanceMutexGuard
{
public:
    explicit InstanceMutexGuard(const std::string& name)
    {
        m_lock.create(name);
        m_lastError = platform::getLastError();
    }
    unsigned long lastError() const noexcept { return m_lastError; }

private:
    platform::InstanceLock m_lock;
    unsigned long m_lastError = 0;
};
} // namespace

bool CQorDownloaderApp::InitInstance()
{
    QOR_LOG_INFO("Begin");
    qorlog::reportConfigurationWarnings();
    if (m_preparedFolder)
    {
        m_preparedFolder->log();
    }

    const InstanceMutexGuard instanceMutex(INSTANCE_MUTEX_NAME);
    // any other failure of the lock lets the start go on
    if (instanceMutex.lastError() == platform::ERROR_ALREADY_EXISTS)
    {
        QOR_LOG_FATAL("QorDownloader is already running");
        m_eReturnCode = RC_ALREADY_RUNNING;
        const std::wstring text = C_WindowsTools::getUString(IDS_ALREADY_RUNNING, L"");
        const std::wstring& title = getAppTitle();
        if (m_bUnattended)
        {
            // narrow, like everything else on stderr: a wide write would
            // turn the stream wide and swallow later narrow messages
            std::cerr << wstringToString(title + L": " + text, CP_ACP) << std::endl;
        }
        else
        {
            platform::messageBox(nullptr, text, title, platform::MB_OK | platform::MB_ICONERROR);
        }
    }
    else
    {
        // Common controls and the framework's own set-up need nothing here;
        // the vendor name is the framework's settings key, which we never use.
        SetVendorName(REGISTRY_KEY);

        if (m_bUnattended)
        {
            // the same run on the console: no window, no display needed;
            // its loop ends only the OK or the Cancel way. The console has
            // no caption, but the log tells the version where the dialog
            // would take its caption.
            getAppTitle();
            ConsoleFrontEnd console;
            console.runModal();
            m_eReturnCode = console.m_eReturnCode;
        }
        else
        {
            CQorDownloaderDlg dialog(nullptr, false);
            if (m_preparedFolder)
            {
                dialog.setConfirmationNote(m_preparedFolder->firstRunNote());
            }
            const int result = dialog.ShowModal();
            if (result != wxID_OK && result != wxID_CANCEL)
            {
                QOR_LOG_WARN("Application canceled with unknown ID: " << result);
            }
            m_eReturnCode = dialog.m_eReturnCode;
        }
    }

    QOR_LOG_TRACE("End");
    return false;
}

int CQorDownloaderApp::ExitInstance()
{
    wxApp::OnExit();
    QOR_LOG_INFO("Application return code: " << static_cast<int>(m_eReturnCode));
    QOR_LOG_INFO("End");
    return m_eReturnCode;
}

const std::wstring& CQorDownloaderApp::getAppTitle()
{
    // UI thread only; only a computed title is kept, so a failure is retried
    static std::wstring s_title;
    if (!s_title.empty())
    {
        return s_title;
    }

    wchar_t fileName[platform::ExecutablePath::MAX_PATH_UNITS] = {};
    const unsigned long length = platform::ExecutablePath::getModuleFileName(
        fileName, platform::ExecutablePath::MAX_PATH_UNITS);
    if (length - 1 > platform::ExecutablePath::MAX_PATH_UNITS - 2)
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_WARN("Filename size error: " << length);
        QOR_LOG_WARN("GetModuleFileName error: " << error);
        return s_title;
    }

    C_WindowsTools windowsTools;
    std::wstring version;
    if (windowsTools.getVersionString(fileName, version))
    {
        s_title = C_WindowsTools::getUString(IDS_APP_TITLE, L"") + L" v" + version;
        QOR_LOG_INFO(L"Tool version: v" << version);
    }
    else
    {
        QOR_LOG_WARN("getVersionString error");
    }
    return s_title;
}

// The state machine belongs to the download dialog in the design; its log
// lines say so whichever front end runs it.
#define QOR_LOG_SOURCE_FILE "QorDownloaderDlg.cpp"

#include "workflow/DownloadRun.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "proxy/C_Proxy.h"
#include "proxy/PasswordScrambling.h"
#include "resources/Translation.h"
#include "tools/C_WindowsTools.h"
#include "tools/UnicodeFile.h"
#include "updclient/UpdInterErrors.h"
#include "workflow/RunLogFile.h"

#include <algorithm>
#include <sstream>

namespace
{
// text ids of the string table
constexpr unsigned int IDS_CONFIRM_DOWNLOAD = 139;
constexpr unsigned int IDS_DOWNLOAD_IN_PROGRESS = 140;
constexpr unsigned int IDS_CONFIRM_CANCEL = 142;
constexpr unsigned int IDS_DOWNLOAD_COMPLETE = 144;
constexpr unsigned int IDS_DOWNLOAD_FAILED = 145;

constexpr int START_DELAY_MS = 0;
constexpr int FIND_THREAD_POLL_MS = 1000;
constexpr int STATUS_POLL_MS = 500;
constexpr int FINALIZE_THREAD_POLL_MS = 500;
constexpr int DOWNLOAD_START = 50;
constexpr int DOWNLOAD_SPAN = 900;
// the unattended report shows the download in steps of 10 %
constexpr int REPORT_STEP = DownloadRun::PROGRESS_MAX / 10;

std::wstring iniValue(C_IniFileTools& ini, const wchar_t* file, const wchar_t* section,
                      const wchar_t* key)
{
    return ini.getWstring(file, section, key, L"");
}

const char* timerName(unsigned int id)
{
    switch (id)
    {
    case DownloadRun::M_TIMER_STARTDOWNLOAD:
        return "M_TIMER_STARTDOWNLOAD";
    case DownloadRun::M_TIMER_STATUS_FINDTHREAD:
        return "M_TIMER_STATUS_FINDTHREAD";
    case DownloadRun::M_TIMER_GETSTATUS:
        return "M_TIMER_GETSTATUS";
    case DownloadRun::M_TIMER_STATUS_FINALIZETHREAD:
        return "M_TIMER_STATUS_FINALIZETHREAD";
    case DownloadRun::M_TIMER_GETSTATUS_CANCELUPDATE:
        return "M_TIMER_GETSTATUS_CANCELUPDATE";
    default:
        return nullptr;
    }
}
} // namespace

DownloadRun::DownloadRun(RunFrontEnd& frontEnd, bool unattended)
    : m_frontEnd(frontEnd), m_bUnattended(unattended)
{
}

DownloadRun::~DownloadRun()
{
    joinWorkers();
    // the library must be told to stop before it is unloaded under a download
    closeUpdInter();
}

void DownloadRun::joinWorkers()
{
    m_hThreadFindUpdate.close();
    m_hThreadFinalizeUpdate.close();
}

void DownloadRun::prepare()
{
    m_frontEnd.setStatusText(C_WindowsTools::getUString(IDS_DOWNLOAD_IN_PROGRESS, L""));
    setPos(0);
}

void DownloadRun::start()
{
    setTimer(M_TIMER_STARTDOWNLOAD, START_DELAY_MS);
}

void DownloadRun::setTimer(int id, int milliseconds)
{
    m_frontEnd.setTimer(id, milliseconds);
}

void DownloadRun::killTimer(int id)
{
    m_frontEnd.killTimer(id);
}

bool DownloadRun::OnTimer(unsigned int nIDEvent)
{
    QOR_LOG_TRACE("nIDEvent: " << nIDEvent);
    const char* name = timerName(nIDEvent);
    if (name == nullptr)
    {
        return false;
    }
    QOR_LOG_TRACE(name);
    switch (nIDEvent)
    {
    case M_TIMER_STARTDOWNLOAD:
        onStartDownload();
        break;
    case M_TIMER_STATUS_FINDTHREAD:
        onFindThreadPoll();
        break;
    case M_TIMER_GETSTATUS:
        onDownloadPoll();
        break;
    case M_TIMER_STATUS_FINALIZETHREAD:
        onFinalizeThreadPoll();
        break;
    case M_TIMER_GETSTATUS_CANCELUPDATE:
        onCancelPoll();
        break;
    default:
        break;
    }
    return true;
}

void DownloadRun::onStartDownload()
{
    killTimer(M_TIMER_STARTDOWNLOAD);
    if (m_eState == eState::Ended)
    {
        return; // stopped before the first tick
    }
    m_eState = eState::Asking;

    if (m_bUnattended)
    {
        QOR_LOG_INFO("Download confirmed (unattended)");
        report(qorTr("QorDownloader: confirmed"));
    }
    else if (m_frontEnd.askYesNo(C_WindowsTools::getUString(IDS_CONFIRM_DOWNLOAD, L"")) !=
             platform::IDYES)
    {
        QOR_LOG_INFO("Download canceled from confirmation popup");
        OnCancel(CQorDownloaderApp::RC_CONFIRMATION_REFUSED);
        return;
    }

    if (!settleProxyCredentials())
    {
        QOR_LOG_WARN("Download canceled from proxy configuration");
        OnCancel(CQorDownloaderApp::RC_PROXY_CANCELED);
        return;
    }

    m_frontEnd.reveal();
    m_eState = eState::Finding;
    if (!m_hThreadFindUpdate.start([this] { return threadFindUpdate(this); }))
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_WARN("FindUpdate CreateThread error: " << error);
        setFailure("starting the find worker", updinter::describeErrno(error));
    }
    setTimer(M_TIMER_STATUS_FINDTHREAD, FIND_THREAD_POLL_MS);
}

bool DownloadRun::settleProxyCredentials()
{
    // the first construction of the store fixes the run mode
    C_IniFileTools ini;
    C_Proxy proxy;
    std::wstring proxyAddress;
    if (!proxy.getProxyConfiguration(proxyAddress))
    {
        QOR_LOG_INFO("No proxy");
        report(qorTr("proxy: none"));
        return true;
    }

    const std::wstring login = iniValue(ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY,
                                        ConfigKeys::KEY_USER_PROXY);
    const std::wstring storedPassword = iniValue(
        ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY, ConfigKeys::KEY_PSWD_PROXY);

    if (m_bUnattended)
    {
        // the stored credentials go to the library as they are; nothing is rewritten
        QOR_LOG_INFO("Proxy settings taken from the configuration (unattended)");
        report(
            qorTrFormat("proxy: %s (stored credentials)", wstringToString(proxyAddress, CP_ACP)));
        return true;
    }

    std::wstring editedLogin = login;
    std::wstring editedPassword =
        stringToWstring(unscramblePassword(wstringToString(storedPassword, CP_ACP)));
    if (!m_frontEnd.editProxyCredentials(proxyAddress, editedLogin, editedPassword))
    {
        QOR_LOG_WARN("Leaving proxy settings with Cancel button");
        return false;
    }
    QOR_LOG_INFO("Leaving proxy settings with OK button");
    // a failed write is logged; the run goes on with what the user typed
    C_Proxy::storeCredentials(ini, editedLogin, editedPassword);
    return true;
}

void DownloadRun::onFindThreadPoll()
{
    switch (m_hThreadFindUpdate.poll())
    {
    case platform::WorkerThread::ePoll::Running:
        return;
    case platform::WorkerThread::ePoll::Ended:
    {
        killTimer(M_TIMER_STATUS_FINDTHREAD);
        unsigned long exitCode = WORKER_FAILURE;
        exitCode = m_hThreadFindUpdate.exitCode();
        m_hThreadFindUpdate.close();
        if (exitCode == WORKER_SUCCESS)
        {
            QOR_LOG_INFO("FindUpdate success");
            report(qorTrFormat("find: update %s found, downloading", m_foundVersion));
            m_eState = eState::Downloading;
            if (m_bStopPending)
            {
                // the download has just been started: stop it like a confirmed cancel
                beginCancel();
                return;
            }
            setTimer(M_TIMER_GETSTATUS, STATUS_POLL_MS);
            return;
        }
        QOR_LOG_ERROR("FindUpdate failure: thread return code NOK");
        reportFailure("find");
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
    case platform::WorkerThread::ePoll::Failed:
        QOR_LOG_ERROR("FindUpdate failure: thread abandoned");
        reportFailure("find");
        killTimer(M_TIMER_STATUS_FINDTHREAD);
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
}

void DownloadRun::onDownloadPoll()
{
    if (getStatusAuto())
    {
        return;
    }
    killTimer(M_TIMER_GETSTATUS);
    handleCancelPopup();
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_INFO("DownloadUpdate success");
        report(qorTr("download: complete"));
        m_eState = eState::Finalizing;
        startFinalizeWorker();
        return;
    }
    QOR_LOG_ERROR("DownloadUpdate failure");
    setLibraryFailure("download");
    reportFailure("download");
    finalizeStatus(true);
    OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
}

void DownloadRun::startFinalizeWorker()
{
    if (!m_hThreadFinalizeUpdate.start([this] { return threadFinalizeUpdate(this); }))
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_WARN("FinalizeUpdate CreateThread error: " << error);
        setFailure("starting the finalize worker", updinter::describeErrno(error));
    }
    setTimer(M_TIMER_STATUS_FINALIZETHREAD, FINALIZE_THREAD_POLL_MS);
}

void DownloadRun::onFinalizeThreadPoll()
{
    switch (m_hThreadFinalizeUpdate.poll())
    {
    case platform::WorkerThread::ePoll::Running:
        return;
    case platform::WorkerThread::ePoll::Ended:
    {
        killTimer(M_TIMER_STATUS_FINALIZETHREAD);
        unsigned long exitCode = WORKER_FAILURE;
        exitCode = m_hThreadFinalizeUpdate.exitCode();
        m_hThreadFinalizeUpdate.close();
        if (exitCode == WORKER_SUCCESS)
        {
            QOR_LOG_INFO("FinalizeUpdate success");
            report(qorTrFormat("finalize: moved to %s", wstringToString(m_destPath, CP_ACP)));
            finalizeStatus(true);
            OnOK(CQorDownloaderApp::RC_SUCCESS);
            return;
        }
        QOR_LOG_ERROR("FinalizeUpdate failure");
        reportFailure("finalize");
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
    case platform::WorkerThread::ePoll::Failed:
        QOR_LOG_ERROR("FinalizeUpdate failure: thread abandoned");
        reportFailure("finalize");
        killTimer(M_TIMER_STATUS_FINALIZETHREAD);
        finalizeStatus(false);
        OnCancel(CQorDownloaderApp::RC_DOWNLOAD_FAILED);
        return;
    }
}

void DownloadRun::onCancelPoll()
{
    if (getStatusAuto())
    {
        return;
    }
    killTimer(M_TIMER_GETSTATUS_CANCELUPDATE);
    if (m_updInterFct.isLoaded() && !m_bUpdInterClosed)
    {
        m_bUpdInterClosed = true;
        m_updInterFct.closeUpdInter();
        QOR_LOG_INFO("...download stopped");
    }
    report(qorTr("download: canceled"));
    m_frontEnd.closeWaitBox();
    OnCancel(CQorDownloaderApp::RC_USER_CANCELED);
}

std::wstring DownloadRun::percentText() const
{
    // a default wide stream: 6 significant digits, no trailing zeros
    std::wostringstream text;
    text << static_cast<double>(m_frontEnd.barPosition()) * 100.0 / PROGRESS_MAX << L"%";
    return text.str();
}

void DownloadRun::setPos(const int& pos)
{
    if (!m_frontEnd.isFrontEndThread())
    {
        const int value = pos;
        m_frontEnd.callOnFrontEndThread([this, value] { setPos(value); });
        return;
    }
    QOR_LOG_TRACE(m_iLastPos << "/" << pos);
    if (pos != m_iLastPos)
    {
        // the Windows control clamps; the front ends keep the range too
        m_frontEnd.setBarPosition(std::clamp(pos, 0, PROGRESS_MAX));
        m_iLastPos = pos;
    }
    const std::wstring text = percentText();
    QOR_LOG_TRACE(m_wzLastPercent << L"/" << text);
    if (text != m_wzLastPercent)
    {
        m_frontEnd.setPercentText(text);
        m_wzLastPercent = text;
    }
    if (m_bUnattended && m_eState == eState::Downloading)
    {
        const int decile = m_frontEnd.barPosition() / REPORT_STEP;
        if (decile > m_iLastReportedDecile)
        {
            m_iLastReportedDecile = decile;
            report(qorTrFormat("download: %s", wstringToString(text, CP_ACP)));
        }
    }
}

void DownloadRun::offsetPos(const int& i_iPos)
{
    if (!m_frontEnd.isFrontEndThread())
    {
        const int value = i_iPos;
        m_frontEnd.callOnFrontEndThread([this, value] { offsetPos(value); });
        return;
    }
    QOR_LOG_TRACE("i_iPos: " << i_iPos);
    m_frontEnd.setBarPosition(static_cast<int>(std::clamp<long long>(
        static_cast<long long>(m_frontEnd.barPosition()) + i_iPos, 0, PROGRESS_MAX)));
    m_frontEnd.setPercentText(percentText());
}

void DownloadRun::deltaPos(const int& delta)
{
    if (!m_frontEnd.isFrontEndThread())
    {
        const int value = delta;
        m_frontEnd.callOnFrontEndThread([this, value] { deltaPos(value); });
        return;
    }
    m_frontEnd.setBarPosition(static_cast<int>(std::clamp<long long>(
        static_cast<long long>(m_frontEnd.barPosition()) + delta, 0, PROGRESS_MAX)));
}

bool DownloadRun::getStatusAuto()
{
    std::int32_t status = UPDINTER_STATUS_IDLE;
    std::int32_t nbUpdate = UPDINTER_COUNT_UNKNOWN;
    std::int32_t currentUpdate = UPDINTER_COUNT_UNKNOWN;
    std::int32_t nbBlock = UPDINTER_COUNT_UNKNOWN;
    std::int32_t currentBlock = UPDINTER_COUNT_UNKNOWN;
    if (m_updInterFct.isLoaded())
    {
        m_updInterFct.getStatusUpdInter(&status, &nbUpdate, &currentUpdate, &nbBlock,
                                        &currentBlock);
    }
    setDownloadStatus();

    if (nbBlock > 0 && nbUpdate > 0)
    {
        const double position =
            DOWNLOAD_SPAN * ((currentUpdate - 1.0) / nbUpdate +
                             static_cast<double>(currentBlock) /
                                 (static_cast<double>(nbUpdate) * static_cast<double>(nbBlock)));
        // hostile counts must not overflow the conversion; the bar clamps anyway
        const double bounded = std::clamp(position, -1.0e6, 1.0e6);
        setPos(static_cast<int>(bounded) + DOWNLOAD_START);
    }
    else
    {
        QOR_LOG_WARN("NbUpdate: " << nbUpdate);
        QOR_LOG_WARN("NbBlock: " << nbBlock);
    }

    if (status != UPDINTER_STATUS_IDLE)
    {
        m_bCancelAllowed = true;
        if (!m_frontEnd.isCancelShown())
        {
            m_frontEnd.showCancel(true);
        }
    }
    else
    {
        m_frontEnd.showCancel(false);
        m_bCancelAllowed = false;
    }
    return status == UPDINTER_STATUS_WORKING;
}

void DownloadRun::setDownloadStatus()
{
    m_iResultUpdInter = UPDINTER_RESULT_FAILURE;
    if (!m_updInterFct.isLoaded())
    {
        return;
    }
    std::int32_t result = UPDINTER_RESULT_FAILURE;
    m_updInterFct.getResultUpdInter(&result);
    m_iResultUpdInter = result;
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_TRACE("ResultUpdInter: SUCCESS");
        return;
    }
    std::int32_t apiErrorCode = UPDINTER_ERROR_NONE;
    std::int32_t primaryErrorCode = UPDINTER_ERROR_NONE;
    std::int32_t secondaryErrorCode = UPDINTER_ERROR_NONE;
    m_updInterFct.getResultUpdInterEx(&apiErrorCode, &primaryErrorCode, &secondaryErrorCode);
    m_lastErrorCodes[0] = apiErrorCode;
    m_lastErrorCodes[1] = primaryErrorCode;
    m_lastErrorCodes[2] = secondaryErrorCode;
    QOR_LOG_WARN("APIErrorCode: " << apiErrorCode);
    QOR_LOG_WARN("PrimaryErrorCode: " << primaryErrorCode);
    QOR_LOG_WARN("SecondaryErrorCode: " << secondaryErrorCode);
}

void DownloadRun::closeUpdInter()
{
    if (m_updInterFct.isLoaded() && !m_bUpdInterClosed)
    {
        m_bUpdInterClosed = true;
        m_updInterFct.closeUpdInter();
        QOR_LOG_INFO("Download stopped");
    }
}

void DownloadRun::finalizeStatus(bool i_bSuccess)
{
    std::wstring text = C_WindowsTools::getUString(IDS_DOWNLOAD_FAILED, L"");
    unsigned int icon = platform::MB_ICONERROR;
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS && i_bSuccess)
    {
        text = C_WindowsTools::getUString(IDS_DOWNLOAD_COMPLETE, L"");
        icon = platform::MB_ICONINFORMATION;
    }
    closeUpdInter();
    if (m_bUnattended)
    {
        QOR_LOG_INFO("Final message not shown (unattended): " << text);
        return;
    }
    m_frontEnd.showMessage(text, icon);
}

void DownloadRun::OnOK(const CQorDownloaderApp::eReturnCode code)
{
    QOR_LOG_INFO("Download success return code: " << static_cast<int>(code));
    m_eReturnCode = code;
    m_eState = eState::Ended;
    m_frontEnd.endRun(code, true);
}

void DownloadRun::OnCancel(const CQorDownloaderApp::eReturnCode code)
{
    QOR_LOG_WARN("Download failure return code: " << static_cast<int>(code));
    m_eReturnCode = code;
    m_eState = eState::Ended;
    m_frontEnd.endRun(code, false);
}

void DownloadRun::OnBnClickedCancel()
{
    if (!m_bCancelAllowed || m_eState != eState::Downloading)
    {
        if (m_eState == eState::Canceling)
        {
            QOR_LOG_WARN("Cancel action ignored: a cancel is already in progress");
            return;
        }
        QOR_LOG_WARN("Cancel action not allowed");
        return;
    }
    if (!m_frontEnd.isCancelShown())
    {
        QOR_LOG_WARN("Cancel action not take into account cause CancelBtn is not visible");
        return;
    }
    onCancelAnswer(m_frontEnd.askCancel(C_WindowsTools::getUString(IDS_CONFIRM_CANCEL, L"")));
}

void DownloadRun::onCancelAnswer(int answer)
{
    switch (answer)
    {
    case platform::IDYES:
        // ticks ran while the box was open: the download may be over now
        if (!m_bCancelAllowed || m_eState != eState::Downloading)
        {
            QOR_LOG_WARN("Cancel action not allowed this time");
            return;
        }
        if (!m_frontEnd.isCancelShown())
        {
            QOR_LOG_WARN("Download not canceled cause CancelBtn is not visible this time");
            return;
        }
        beginCancel();
        return;
    case platform::IDNO:
        QOR_LOG_INFO("Download not canceled cause user choice (NO)");
        return;
    case platform::IDABORT:
        QOR_LOG_INFO("Download not canceled cause download ending");
        return;
    case RunFrontEnd::PROMPT_ALREADY_OPEN:
        // Escape pressed again behind the open confirmation
        return;
    default:
        QOR_LOG_ERROR("Download not canceled cause: " << answer);
        return;
    }
}

void DownloadRun::beginCancel()
{
    killTimer(M_TIMER_GETSTATUS);
    m_eState = eState::Canceling;
    if (m_updInterFct.isLoaded())
    {
        m_updInterFct.closeDownload();
        QOR_LOG_INFO("Stopping download...");
    }
    m_frontEnd.showWaitBox();
    setTimer(M_TIMER_GETSTATUS_CANCELUPDATE, STATUS_POLL_MS);
}

void DownloadRun::handleCancelPopup()
{
    if (m_frontEnd.abortCancelPrompt())
    {
        QOR_LOG_INFO("Cancel popup found: sending ABORT message");
        return;
    }
    QOR_LOG_INFO("No cancel popup");
}

void DownloadRun::requestStop()
{
    switch (m_eState)
    {
    case eState::Starting:
    case eState::Asking:
        // nothing has been touched yet
        QOR_LOG_WARN("Stop requested: the run ends before it starts");
        report(qorTr("stop requested: nothing started"));
        OnCancel(CQorDownloaderApp::RC_USER_CANCELED);
        return;
    case eState::Finding:
        // the worker cannot be interrupted inside the library; the download
        // it starts is stopped as soon as it has ended
        QOR_LOG_WARN("Stop requested: the download is stopped once the find step ends");
        report(qorTr("stop requested: stopping after the find step"));
        m_bStopPending = true;
        return;
    case eState::Downloading:
        QOR_LOG_WARN("Stop requested: stopping the download");
        report(qorTr("stop requested: stopping the download"));
        beginCancel();
        return;
    case eState::Finalizing:
        // half a move is worse than a finished one
        QOR_LOG_WARN("Stop requested: refused while the update is moved into place");
        report(qorTr("stop requested: refused, the update is being moved into place"));
        return;
    case eState::Canceling:
    case eState::Ended:
        QOR_LOG_WARN("Cancel action ignored: a cancel is already in progress");
        return;
    }
}

void DownloadRun::setFailure(const std::string& step, const std::string& detail)
{
    m_failure = Failure{};
    m_failure.step = step;
    m_failure.detail = detail;
}

void DownloadRun::setLibraryFailure(const std::string& step)
{
    setFailure(step);
    m_failure.hasLibraryCodes = true;
    m_failure.apiErrorCode = m_lastErrorCodes[0];
    m_failure.primaryErrorCode = m_lastErrorCodes[1];
    m_failure.secondaryErrorCode = m_lastErrorCodes[2];
}

void DownloadRun::reportFailure(const std::string& phase)
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
    if (!m_bUnattended)
    {
        return; // the attended log stays as it always was
    }
    std::string reason = m_failure.step.empty() ? phase : m_failure.step;
    if (m_failure.hasLibraryCodes)
    {
        reason += ": " + updinter::describeLibraryError(m_failure.apiErrorCode,
                                                        m_failure.primaryErrorCode,
                                                        m_failure.secondaryErrorCode);
    }
    else if (!m_failure.detail.empty())
    {
        reason += ": " + m_failure.detail;
    }
    const std::string logFile = runLogFile();
    QOR_LOG_ERROR("Run failed at " << reason << "; log file: " << logFile);
    report(qorTrFormat("failed at %s", reason) + qorTrFormat("; log file: %s", logFile));
}

void DownloadRun::report(const std::string& line)
{
    if (m_bUnattended)
    {
        m_frontEnd.report(line);
    }
}

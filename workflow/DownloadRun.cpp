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
#include "workflow/FailureReason.h"
#include "workflow/RunLogFile.h"
#include "workflow/RunWorkers.h"

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

DownloadRun::DownloadRun(RunView& view, RunUser& user) : m_view(view), m_user(user) {}

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
    m_view.setStatusText(C_WindowsTools::getUString(IDS_DOWNLOAD_IN_PROGRESS, L""));
    setPos(0);
}

void DownloadRun::start()
{
    m_view.setTimer(M_TIMER_STARTDOWNLOAD, START_DELAY_MS);
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
    m_view.killTimer(M_TIMER_STARTDOWNLOAD);
    if (m_eState == eState::Ended)
    {
        return; // stopped before the first tick
    }
    m_eState = eState::Asking;

    if (!m_user.confirmDownload(C_WindowsTools::getUString(IDS_CONFIRM_DOWNLOAD, L"")))
    {
        QOR_LOG_INFO("Download canceled from confirmation popup");
        OnCancel(ReturnCode::RC_CONFIRMATION_REFUSED);
        return;
    }

    if (!settleProxyCredentials())
    {
        QOR_LOG_WARN("Download canceled from proxy configuration");
        OnCancel(ReturnCode::RC_PROXY_CANCELED);
        return;
    }

    m_view.reveal();
    m_eState = eState::Finding;
    startFindWorker();
}

void DownloadRun::startFindWorker()
{
    // the thread's routine keeps its own copy of the arguments
    const FindUpdateArguments arguments = FindUpdateArguments::read();
    m_failureContext.urls = arguments.url;
    m_failureContext.extract = arguments.extract;
    m_failureContext.target = arguments.target;
    if (!m_hThreadFindUpdate.start([this, arguments]
                                   { return threadFindUpdate(&arguments, m_updInterFct, m_door); }))
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_WARN("FindUpdate CreateThread error: " << error);
        setFailure("starting the find worker", updinter::describeErrno(error));
    }
    m_view.setTimer(M_TIMER_STATUS_FINDTHREAD, FIND_THREAD_POLL_MS);
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
        m_user.report(qorTr("proxy: none"));
        return true;
    }

    m_failureContext.proxy = proxyAddress;
    std::wstring login = iniValue(ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY,
                                  ConfigKeys::KEY_USER_PROXY);
    const std::wstring storedPassword = iniValue(
        ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY, ConfigKeys::KEY_PSWD_PROXY);
    std::wstring password =
        stringToWstring(unscramblePassword(wstringToString(storedPassword, CP_ACP)));
    switch (m_user.askProxyCredentials(proxyAddress, login, password))
    {
    case RunUser::eProxyAnswer::Stored:
        // nothing is rewritten: the library reads the stored ones itself
        return true;
    case RunUser::eProxyAnswer::Typed:
        QOR_LOG_INFO("Leaving proxy settings with OK button");
        // a failed write is logged; the run goes on with what the user typed
        C_Proxy::storeCredentials(ini, login, password);
        return true;
    case RunUser::eProxyAnswer::Canceled:
        break;
    }
    QOR_LOG_WARN("Leaving proxy settings with Cancel button");
    return false;
}

unsigned long DownloadRun::endedWorker(platform::WorkerThread& worker)
{
    const unsigned long exitCode = worker.exitCode();
    worker.close();
    return exitCode;
}

void DownloadRun::endFailed(const char* phase, bool i_bSuccess)
{
    // the same reason for the log, the console and the failure box
    const FailureReason reason(m_failure, phase, m_failureContext);
    const std::string logFile = runLogFile();
    QOR_LOG_ERROR("Run failed at " << reason.text() << "; log file: " << logFile);
    const std::string line = qorTrFormat("failed at %s", reason.translatedText()) +
                             qorTrFormat("; log file: %s", logFile);
    m_user.reportFailure(phase, line);
    finalizeStatus(i_bSuccess, stringToWstring(line));
    OnCancel(ReturnCode::RC_DOWNLOAD_FAILED);
}

void DownloadRun::onFindThreadPoll()
{
    switch (m_hThreadFindUpdate.poll())
    {
    case platform::WorkerThread::ePoll::Running:
        return;
    case platform::WorkerThread::ePoll::Ended:
        m_view.killTimer(M_TIMER_STATUS_FINDTHREAD);
        if (endedWorker(m_hThreadFindUpdate) != WORKER_SUCCESS)
        {
            QOR_LOG_ERROR("FindUpdate failure: thread return code NOK");
            endFailed("find", false);
            return;
        }
        QOR_LOG_INFO("FindUpdate success");
        m_user.report(qorTrFormat("find: update %s found, downloading", m_foundVersion));
        m_eState = eState::Downloading;
        if (m_bStopPending)
        {
            // the download has just been started: stop it like a confirmed cancel
            beginCancel();
            return;
        }
        m_view.setTimer(M_TIMER_GETSTATUS, STATUS_POLL_MS);
        return;
    case platform::WorkerThread::ePoll::Failed:
        QOR_LOG_ERROR("FindUpdate failure: thread abandoned");
        m_view.killTimer(M_TIMER_STATUS_FINDTHREAD);
        endFailed("find", false);
        return;
    }
}

void DownloadRun::onDownloadPoll()
{
    if (getStatusAuto())
    {
        return;
    }
    m_view.killTimer(M_TIMER_GETSTATUS);
    handleCancelPopup();
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_INFO("DownloadUpdate success");
        m_user.report(qorTr("download: complete"));
        m_eState = eState::Finalizing;
        startFinalizeWorker();
        return;
    }
    QOR_LOG_ERROR("DownloadUpdate failure");
    m_failure = RunFailure::library("download", m_lastFailedResult);
    endFailed("download", true);
}

void DownloadRun::startFinalizeWorker()
{
    const FinalizeUpdateArguments arguments = FinalizeUpdateArguments::read();
    m_destPath = arguments.destPath;
    if (!m_hThreadFinalizeUpdate.start([this, arguments]
                                       { return threadFinalizeUpdate(&arguments, m_door); }))
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_WARN("FinalizeUpdate CreateThread error: " << error);
        setFailure("starting the finalize worker", updinter::describeErrno(error));
    }
    m_view.setTimer(M_TIMER_STATUS_FINALIZETHREAD, FINALIZE_THREAD_POLL_MS);
}

void DownloadRun::onFinalizeThreadPoll()
{
    switch (m_hThreadFinalizeUpdate.poll())
    {
    case platform::WorkerThread::ePoll::Running:
        return;
    case platform::WorkerThread::ePoll::Ended:
        m_view.killTimer(M_TIMER_STATUS_FINALIZETHREAD);
        if (endedWorker(m_hThreadFinalizeUpdate) != WORKER_SUCCESS)
        {
            QOR_LOG_ERROR("FinalizeUpdate failure");
            endFailed("finalize", false);
            return;
        }
        QOR_LOG_INFO("FinalizeUpdate success");
        m_user.report(qorTrFormat("finalize: moved to %s", wstringToString(m_destPath, CP_ACP)));
        finalizeStatus(true);
        OnOK(ReturnCode::RC_SUCCESS);
        return;
    case platform::WorkerThread::ePoll::Failed:
        QOR_LOG_ERROR("FinalizeUpdate failure: thread abandoned");
        m_view.killTimer(M_TIMER_STATUS_FINALIZETHREAD);
        endFailed("finalize", false);
        return;
    }
}

void DownloadRun::onCancelPoll()
{
    if (getStatusAuto())
    {
        return;
    }
    m_view.killTimer(M_TIMER_GETSTATUS_CANCELUPDATE);
    if (m_updInterFct.isLoaded() && !m_bUpdInterClosed)
    {
        m_bUpdInterClosed = true;
        m_updInterFct.closeUpdInter();
        QOR_LOG_INFO("...download stopped");
    }
    m_user.report(qorTr("download: canceled"));
    m_view.closeWaitBox();
    OnCancel(ReturnCode::RC_USER_CANCELED);
}

std::wstring DownloadRun::percentText() const
{
    // a default wide stream: 6 significant digits, no trailing zeros
    std::wostringstream text;
    text << static_cast<double>(m_iBarPosition) * 100.0 / PROGRESS_MAX << L"%";
    return text.str();
}

bool DownloadRun::crossOver(const std::function<void()>& call)
{
    if (m_view.isFrontEndThread())
    {
        return false;
    }
    m_view.callOnFrontEndThread(call);
    return true;
}

void DownloadRun::onFrontEndThread(const std::function<void()>& call)
{
    if (!crossOver(call))
    {
        call();
    }
}

void DownloadRun::moveBar(int position)
{
    // the Windows control clamps; the run keeps the range for every front end
    m_iBarPosition = std::clamp(position, 0, PROGRESS_MAX);
    m_view.setBarPosition(m_iBarPosition);
}

void DownloadRun::setPos(const int& pos)
{
    if (crossOver([this, value = pos] { setPos(value); }))
    {
        return;
    }
    QOR_LOG_TRACE(m_iLastPos << "/" << pos);
    if (pos != m_iLastPos)
    {
        moveBar(pos);
        m_iLastPos = pos;
    }
    const std::wstring text = percentText();
    QOR_LOG_TRACE(m_wzLastPercent << L"/" << text);
    if (text != m_wzLastPercent)
    {
        m_view.setPercentText(text);
        m_wzLastPercent = text;
    }
    const int decile = m_iBarPosition / REPORT_STEP;
    if (m_eState == eState::Downloading && decile > m_iLastReportedDecile)
    {
        m_iLastReportedDecile = decile;
        m_user.report(qorTrFormat("download: %s", wstringToString(text, CP_ACP)));
    }
}

void DownloadRun::offsetPos(const int& i_iPos)
{
    if (crossOver([this, value = i_iPos] { offsetPos(value); }))
    {
        return;
    }
    QOR_LOG_TRACE("i_iPos: " << i_iPos);
    deltaPos(i_iPos);
    m_view.setPercentText(percentText());
}

void DownloadRun::deltaPos(const int& delta)
{
    if (crossOver([this, value = delta] { deltaPos(value); }))
    {
        return;
    }
    moveBar(static_cast<int>(
        std::clamp<long long>(static_cast<long long>(m_iBarPosition) + delta, 0, PROGRESS_MAX)));
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
        if (!m_view.isCancelShown())
        {
            m_view.showCancel(true);
        }
    }
    else
    {
        m_view.showCancel(false);
        m_bCancelAllowed = false;
    }
    return status == UPDINTER_STATUS_WORKING;
}

void DownloadRun::setDownloadStatus()
{
    setDownloadStatus(UpdInterResult::read(m_updInterFct));
}

void DownloadRun::setDownloadStatus(const UpdInterResult& result)
{
    m_iResultUpdInter = result.resultUpdInter;
    if (!result.bRead)
    {
        return;
    }
    if (result.isSuccess())
    {
        QOR_LOG_TRACE("ResultUpdInter: SUCCESS");
        return;
    }
    m_lastFailedResult = result;
    QOR_LOG_WARN("APIErrorCode: " << result.apiErrorCode);
    QOR_LOG_WARN("PrimaryErrorCode: " << result.primaryErrorCode);
    QOR_LOG_WARN("SecondaryErrorCode: " << result.secondaryErrorCode);
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

void DownloadRun::finalizeStatus(bool i_bSuccess, const std::wstring& reason)
{
    std::wstring text = C_WindowsTools::getUString(IDS_DOWNLOAD_FAILED, L"");
    unsigned int icon = platform::MB_ICONERROR;
    if (m_iResultUpdInter == UPDINTER_RESULT_SUCCESS && i_bSuccess)
    {
        text = C_WindowsTools::getUString(IDS_DOWNLOAD_COMPLETE, L"");
        icon = platform::MB_ICONINFORMATION;
    }
    closeUpdInter();
    m_user.showMessage(text, icon, reason);
}

void DownloadRun::OnOK(const ReturnCode::eReturnCode code)
{
    QOR_LOG_INFO("Download success return code: " << static_cast<int>(code));
    m_eReturnCode = code;
    m_eState = eState::Ended;
    m_view.endRun(code, true);
}

void DownloadRun::OnCancel(const ReturnCode::eReturnCode code)
{
    QOR_LOG_WARN("Download failure return code: " << static_cast<int>(code));
    m_eReturnCode = code;
    m_eState = eState::Ended;
    m_view.endRun(code, false);
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
    if (!m_view.isCancelShown())
    {
        QOR_LOG_WARN("Cancel action not take into account cause CancelBtn is not visible");
        return;
    }
    onCancelAnswer(m_user.askCancel(C_WindowsTools::getUString(IDS_CONFIRM_CANCEL, L"")));
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
        if (!m_view.isCancelShown())
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
    case RunUser::PROMPT_ALREADY_OPEN:
        // Escape pressed again behind the open confirmation
        return;
    default:
        QOR_LOG_ERROR("Download not canceled cause: " << answer);
        return;
    }
}

void DownloadRun::beginCancel()
{
    m_view.killTimer(M_TIMER_GETSTATUS);
    m_eState = eState::Canceling;
    if (m_updInterFct.isLoaded())
    {
        m_updInterFct.closeDownload();
        QOR_LOG_INFO("Stopping download...");
    }
    m_view.showWaitBox();
    m_view.setTimer(M_TIMER_GETSTATUS_CANCELUPDATE, STATUS_POLL_MS);
}

void DownloadRun::handleCancelPopup()
{
    if (m_user.abortCancelPrompt())
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
        m_user.report(qorTr("stop requested: nothing started"));
        OnCancel(ReturnCode::RC_USER_CANCELED);
        return;
    case eState::Finding:
        // the worker cannot be interrupted inside the library; the download
        // it starts is stopped as soon as it has ended
        QOR_LOG_WARN("Stop requested: the download is stopped once the find step ends");
        m_user.report(qorTr("stop requested: stopping after the find step"));
        m_bStopPending = true;
        return;
    case eState::Downloading:
        QOR_LOG_WARN("Stop requested: stopping the download");
        m_user.report(qorTr("stop requested: stopping the download"));
        beginCancel();
        return;
    case eState::Finalizing:
        // half a move is worse than a finished one
        QOR_LOG_WARN("Stop requested: refused while the update is moved into place");
        m_user.report(qorTr("stop requested: refused, the update is being moved into place"));
        return;
    case eState::Canceling:
    case eState::Ended:
        QOR_LOG_WARN("Cancel action ignored: a cancel is already in progress");
        return;
    }
}

void DownloadRun::setFailure(const std::string& step, const std::string& detail)
{
    m_failure = RunFailure::at(step, detail);
}

void DownloadRun::Door::setDownloadStatus(const UpdInterResult& result)
{
    m_run.onFrontEndThread([this, &result] { m_run.setDownloadStatus(result); });
}

void DownloadRun::Door::setFoundVersion(const std::string& version)
{
    m_run.onFrontEndThread([this, &version] { m_run.m_foundVersion = version; });
}

void DownloadRun::Door::setFailure(const RunFailure& failure)
{
    m_run.onFrontEndThread([this, &failure] { m_run.m_failure = failure; });
}

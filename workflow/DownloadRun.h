// One run of the download: its steps and its timer state machine, the two
// workers, the update-client binding and the run's outcome. It asks for
// confirmation, settles the proxy credentials, starts the find worker,
// follows the library's download, starts the finalize worker and ends with
// the run's return code. It knows its front end (the download dialog or the
// console) only through RunFrontEnd, and it never blocks on a worker or on
// the library: it polls them from its timers.
//
// Threads: the front end's thread runs every tick and owns the state; the
// find worker and then the finalize worker run one after the other and
// reach the front end only through the progress operations below, which
// cross onto that thread.
#pragma once

#include "app/CQorDownloaderApp.h"
#include "platform/WorkerThread.h"
#include "updclient/UpdInterFct.h"
#include "workflow/RunFrontEnd.h"

#include <cstdint>
#include <string>

class DownloadRun
{
public:
    // timer ids
    static constexpr int M_TIMER_STARTDOWNLOAD = 1;
    static constexpr int M_TIMER_STATUS_FINDTHREAD = 2;
    static constexpr int M_TIMER_GETSTATUS = 3;
    static constexpr int M_TIMER_STATUS_FINALIZETHREAD = 4;
    static constexpr int M_TIMER_GETSTATUS_CANCELUPDATE = 5;
    static constexpr int TIMER_COUNT = 5;

    static constexpr int PROGRESS_MAX = 1000;

    // A worker's exit code.
    static constexpr unsigned long WORKER_SUCCESS = 1;
    static constexpr unsigned long WORKER_FAILURE = 0;

    // Where the run stands; each state has at most one timer set.
    enum class eState
    {
        Starting,
        Asking,
        Finding,
        Downloading,
        Finalizing,
        Canceling,
        Ended
    };

    // Why a run failed: the step, and the library's codes or the system's
    // error behind it. Written by a worker before it ends, or by a tick.
    struct Failure
    {
        std::string step;
        bool hasLibraryCodes = false;
        std::int32_t apiErrorCode = 0;
        std::int32_t primaryErrorCode = 0;
        std::int32_t secondaryErrorCode = 0;
        // the system's or the loader's words, when the library has none
        std::string detail;
    };

    DownloadRun(RunFrontEnd& frontEnd, bool unattended);
    // Waits for a worker still running and closes the library before the
    // binding unloads it. The front end must have stopped taking calls.
    ~DownloadRun();
    DownloadRun(const DownloadRun&) = delete;
    DownloadRun& operator=(const DownloadRun&) = delete;

    // the front end's set-up: the status text and the bar at 0
    void prepare();
    // the first tick, on the front end's next turn
    void start();
    // One timer tick; false for an id that is not one of the run's.
    bool OnTimer(unsigned int nIDEvent);

    // progress and status (from the front end's thread or a worker)
    void setPos(const int& pos);
    void offsetPos(const int& i_iPos);
    // moves the bar by delta without refreshing the label
    void deltaPos(const int& delta);
    bool getStatusAuto();
    void setDownloadStatus();
    void finalizeStatus(bool i_bSuccess);
    void OnOK(const CQorDownloaderApp::eReturnCode code);
    void OnCancel(const CQorDownloaderApp::eReturnCode code);

    // cancellation: the user's request (Cancel, Escape, close), and a stop
    // asked from outside (SIGTERM), which needs no confirmation
    void OnBnClickedCancel();
    void handleCancelPopup();
    void requestStop();

    // Waits for the workers; the front end calls it once it has stopped
    // taking their calls.
    void joinWorkers();

    eState state() const noexcept { return m_eState; }
    bool isUnattended() const noexcept { return m_bUnattended; }
    const Failure& failure() const noexcept { return m_failure; }
    CQorDownloaderApp::eReturnCode returnCode() const noexcept { return m_eReturnCode; }

    platform::WorkerThread m_hThreadFindUpdate;
    platform::WorkerThread m_hThreadFinalizeUpdate;
    int m_iResultUpdInter = 0;
    bool m_bCancelAllowed = false;
    UpdInterFct m_updInterFct;

    // for the workers
    void setFoundVersion(const std::string& version) { m_foundVersion = version; }
    void setDestPath(const std::wstring& destPath) { m_destPath = destPath; }
    void setFailure(const std::string& step, const std::string& detail = {});
    void setLibraryFailure(const std::string& step);

private:
    void onStartDownload();
    void onFindThreadPoll();
    void onDownloadPoll();
    void onFinalizeThreadPoll();
    void onCancelPoll();

    // the proxy step of the first tick; false when the user canceled it
    bool settleProxyCredentials();
    void setTimer(int id, int milliseconds);
    void killTimer(int id);
    void closeUpdInter();
    void onCancelAnswer(int answer);
    // the confirmed cancel: the poll stops, the library is asked to stop
    void beginCancel();
    void startFinalizeWorker();
    // the end of a failed run: the console's reason line and its log line
    void reportFailure(const std::string& phase);
    void report(const std::string& line);
    std::wstring percentText() const;

    RunFrontEnd& m_frontEnd;
    bool m_bUnattended;
    eState m_eState = eState::Starting;
    CQorDownloaderApp::eReturnCode m_eReturnCode = CQorDownloaderApp::RC_NOT_SET;
    bool m_bUpdInterClosed = false;
    // a stop asked while the find worker runs, carried out once it ends
    bool m_bStopPending = false;
    // setPos's own memory: its last position and its last label text
    int m_iLastPos = -1;
    std::wstring m_wzLastPercent;
    // the last error codes the library reported
    std::int32_t m_lastErrorCodes[3] = {0, 0, 0};
    Failure m_failure;
    // unattended reporting
    std::string m_foundVersion;
    std::wstring m_destPath;
    int m_iLastReportedDecile = -1;
};

// Worker thread routines; the parameter is the run. 1 success, 0 failure.
unsigned long threadFindUpdate(void* parameter);
unsigned long threadFinalizeUpdate(void* parameter);

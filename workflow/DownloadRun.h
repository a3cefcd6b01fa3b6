// One run of the download: its steps and its timer state machine, the two
// workers, the update-client binding and the run's outcome. It asks for
// confirmation, settles the proxy credentials, starts the find worker,
// follows the library's download, starts the finalize worker and ends with
// the run's return code. It knows its front end only as what shows it
// (RunView) and whom it asks (RunUser), and it never blocks on a worker or
// on the library: it polls them from its timers.
//
// Threads: the front end's thread runs every tick and owns the state; the
// find worker and then the finalize worker run one after the other, each
// with its arguments read before it starts, and reach the run only through
// its WorkerDoor, which crosses onto the front end's thread.
#pragma once

#include "app/ReturnCode.h"
#include "platform/WorkerThread.h"
#include "updclient/UpdInterFct.h"
#include "workflow/FailureReason.h"
#include "workflow/RunUser.h"
#include "workflow/RunView.h"
#include "workflow/WorkerDoor.h"

#include <functional>
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

    static constexpr int PROGRESS_MAX = WorkerDoor::PROGRESS_MAX;

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

    DownloadRun(RunView& view, RunUser& user);
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

    // progress (from the front end's thread, or crossing onto it)
    void setPos(const int& pos);
    void offsetPos(const int& i_iPos);
    // moves the bar by delta without refreshing the label
    void deltaPos(const int& delta);
    // status (front end's thread)
    bool getStatusAuto();
    void setDownloadStatus();
    void setDownloadStatus(const UpdInterResult& result);
    // the final box; reason, when given, stands under its text
    void finalizeStatus(bool i_bSuccess, const std::wstring& reason = L"");
    void OnOK(const ReturnCode::eReturnCode code);
    void OnCancel(const ReturnCode::eReturnCode code);

    // cancellation: the user's request (Cancel, Escape, close), and a stop
    // asked from outside (SIGTERM), which needs no confirmation
    void OnBnClickedCancel();
    void handleCancelPopup();
    void requestStop();

    // Waits for the workers; the front end calls it once it has stopped
    // taking their calls.
    void joinWorkers();

    eState state() const noexcept { return m_eState; }
    const RunFailure& failure() const noexcept { return m_failure; }
    ReturnCode::eReturnCode returnCode() const noexcept { return m_eReturnCode; }

    // Read and written on the front end's thread only. The find worker is
    // handed the binding for its steps; after it has ended only the front
    // end's thread calls the library.
    int m_iResultUpdInter = 0;
    bool m_bCancelAllowed = false;
    UpdInterFct m_updInterFct;

private:
    // What the workers get of the run.
    class Door final : public WorkerDoor
    {
    public:
        explicit Door(DownloadRun& run) : m_run(run) {}
        void deltaPos(int delta) override { m_run.deltaPos(delta); }
        void offsetPos(int delta) override { m_run.offsetPos(delta); }
        void setPos(int position) override { m_run.setPos(position); }
        void setDownloadStatus(const UpdInterResult& result) override;
        void setFoundVersion(const std::string& version) override;
        void setFailure(const RunFailure& failure) override;

    private:
        DownloadRun& m_run;
    };

    void onStartDownload();
    void onFindThreadPoll();
    void onDownloadPoll();
    void onFinalizeThreadPoll();
    void onCancelPoll();

    // the proxy step of the first tick; false when the user canceled it
    bool settleProxyCredentials();
    void startFindWorker();
    void startFinalizeWorker();
    // a worker that has ended: its exit code, the worker released
    static unsigned long endedWorker(platform::WorkerThread& worker);
    // the end of a failed find, download or finalize step
    void endFailed(const char* phase, bool i_bSuccess);
    void closeUpdInter();
    void onCancelAnswer(int answer);
    // the confirmed cancel: the poll stops, the library is asked to stop
    void beginCancel();
    void setFailure(const std::string& step, const std::string& detail);
    // Off the front end's thread, runs call there through the view and
    // returns true; on it, returns false and the caller goes on.
    bool crossOver(const std::function<void()>& call);
    // runs call on the front end's thread, crossing over when needed
    void onFrontEndThread(const std::function<void()>& call);
    void moveBar(int position);
    std::wstring percentText() const;

    RunView& m_view;
    RunUser& m_user;
    Door m_door{*this};
    platform::WorkerThread m_hThreadFindUpdate;
    platform::WorkerThread m_hThreadFinalizeUpdate;
    eState m_eState = eState::Starting;
    ReturnCode::eReturnCode m_eReturnCode = ReturnCode::RC_NOT_SET;
    bool m_bUpdInterClosed = false;
    // a stop asked while the find worker runs, carried out once it ends
    bool m_bStopPending = false;
    // where the bar stands, as the run last put it
    int m_iBarPosition = 0;
    // setPos's own memory: its last position and its last label text
    int m_iLastPos = -1;
    std::wstring m_wzLastPercent;
    // the last outcome other than success the library reported
    UpdInterResult m_lastFailedResult;
    RunFailure m_failure;
    // what a failure's reason names: the URL, the folders, the proxy
    FailureContext m_failureContext;
    // for the run's account
    std::string m_foundVersion;
    std::wstring m_destPath;
    int m_iLastReportedDecile = -1;
};

// The one way from a worker to its run, as WinSparkle's workers reach its
// window: every call crosses onto the front end's thread and returns once
// the run has handled it there, and once the front end has stopped taking
// calls it is dropped. A worker holds nothing of the run but this door: it
// moves the bar, hands over the library's outcome after each call, and
// before it ends what it found or why it failed.
#pragma once

#include "workflow/UpdInterResult.h"

#include <cstdint>
#include <string>

// Why a run failed: the step, and the library's codes or the system's error
// behind it.
struct RunFailure
{
    std::string step;
    bool hasLibraryCodes = false;
    std::int32_t apiErrorCode = 0;
    std::int32_t primaryErrorCode = 0;
    std::int32_t secondaryErrorCode = 0;
    // the system's or the loader's words, when the library has none
    std::string detail;

    static RunFailure at(const std::string& step, const std::string& detail = {})
    {
        RunFailure failure;
        failure.step = step;
        failure.detail = detail;
        return failure;
    }
    static RunFailure library(const std::string& step, const UpdInterResult& result)
    {
        RunFailure failure = at(step);
        failure.hasLibraryCodes = true;
        failure.apiErrorCode = result.apiErrorCode;
        failure.primaryErrorCode = result.primaryErrorCode;
        failure.secondaryErrorCode = result.secondaryErrorCode;
        return failure;
    }
};

class WorkerDoor
{
public:
    // the bar runs from 0 to this
    static constexpr int PROGRESS_MAX = 1000;

    // the bar moved by delta, label left alone (PBM_DELTAPOS)
    virtual void deltaPos(int delta) = 0;
    // the bar moved by delta, label refreshed
    virtual void offsetPos(int delta) = 0;
    virtual void setPos(int position) = 0;
    // the library's outcome after one of the find worker's calls
    virtual void setDownloadStatus(const UpdInterResult& result) = 0;
    // the version the find worker started downloading
    virtual void setFoundVersion(const std::string& version) = 0;
    virtual void setFailure(const RunFailure& failure) = 0;

protected:
    ~WorkerDoor() = default;
};

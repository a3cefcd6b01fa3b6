// The library's outcome after a call: getResultUpdInter, and, when that is
// not success, the three codes of getResultUpdInterEx. Read by whichever
// thread may call the library at the time (the find worker while it runs,
// the front end's thread afterwards) and handed to the run, which logs and
// keeps it (DownloadRun::setDownloadStatus).
#pragma once

#include "updclient/UpdInterFct.h"

#include <cstdint>

struct UpdInterResult
{
    // false when no library was loaded to ask: nothing else was read
    bool bRead = false;
    std::int32_t resultUpdInter = UPDINTER_RESULT_FAILURE;
    std::int32_t apiErrorCode = UPDINTER_ERROR_NONE;
    std::int32_t primaryErrorCode = UPDINTER_ERROR_NONE;
    std::int32_t secondaryErrorCode = UPDINTER_ERROR_NONE;

    bool isSuccess() const noexcept { return resultUpdInter == UPDINTER_RESULT_SUCCESS; }

    static UpdInterResult read(const UpdInterFct& updInter)
    {
        UpdInterResult result;
        if (!updInter.isLoaded())
        {
            return result;
        }
        result.bRead = true;
        updInter.getResultUpdInter(&result.resultUpdInter);
        if (!result.isSuccess())
        {
            updInter.getResultUpdInterEx(&result.apiErrorCode, &result.primaryErrorCode,
                                         &result.secondaryErrorCode);
        }
        return result;
    }
};

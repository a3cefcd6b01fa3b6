// The two worker routines of a run and what each is given. Their arguments
// are read from the configuration on the front end's thread before the
// worker starts; a worker reaches its run only through its WorkerDoor and
// reports by its exit code (1 success, 0 failure). The find worker also
// gets the run's update-client binding, which it alone calls while it
// runs: it loads the library, initialises it and starts the download.
#pragma once

#include "updclient/UpdInterFct.h"
#include "workflow/WorkerDoor.h"

#include <string>

// A worker's exit code.
inline constexpr unsigned long WORKER_SUCCESS = 1;
inline constexpr unsigned long WORKER_FAILURE = 0;

// The fourteen values of the find step, in the order they are read.
struct FindUpdateArguments
{
    std::wstring extract;
    std::wstring target;
    std::wstring flagFile;
    std::wstring version;
    std::wstring userProxy;
    std::wstring pswdProxy; // scrambled, as stored
    std::wstring key;
    std::wstring productCode;
    std::wstring statsUrl;
    std::wstring keepArchives;
    std::wstring url;
    std::wstring notesPswd;
    std::wstring application;
    std::wstring language;

    static FindUpdateArguments read();
};

// The two values of the finalize step.
struct FinalizeUpdateArguments
{
    std::wstring target;
    std::wstring destPath;

    static FinalizeUpdateArguments read();
};

// Clears what a former update left (flag file, Extract), loads and
// initialises the library, finds the update and starts its download.
unsigned long threadFindUpdate(const FindUpdateArguments* parameter, UpdInterFct& updInter,
                               WorkerDoor& door);
// Moves Target to DestPath and fills the bar.
unsigned long threadFinalizeUpdate(const FinalizeUpdateArguments* parameter, WorkerDoor& door);

// The return codes of a run, which are also the process exit codes. Kept
// apart from the application object so that the run's state machine and the
// console front end, which never start the toolkit, need no toolkit header.
#pragma once

namespace ReturnCode
{
// A caller reading the low 8 bits of the exit status sees -10 as 246, -11 as 245.
enum eReturnCode : int
{
    RC_NOT_SET = 0,
    RC_SUCCESS = 1,
    RC_CONFIRMATION_REFUSED = -1,
    RC_PROXY_CANCELED = -2,
    RC_USER_CANCELED = -3,
    RC_ALREADY_RUNNING = -10,
    RC_DOWNLOAD_FAILED = -11,
};
} // namespace ReturnCode

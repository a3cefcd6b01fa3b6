// The program's command line: what to do, the usage text with the exit codes
// a caller sees, and the words that describe an outcome. Kept apart from the
// application object so that --help and --version need neither a display,
// nor the logger, nor the instance lock.
#pragma once

#include <string>

class CommandLine
{
public:
    enum eAction
    {
        ACTION_RUN,
        ACTION_HELP,
        ACTION_VERSION,
        ACTION_USAGE_ERROR,
    };

    // Exit status of a command line that cannot be understood; no return
    // code of a run has these low 8 bits.
    static constexpr int USAGE_ERROR_STATUS = 2;
    // Exit status of an attended start without a display; nothing is run.
    static constexpr int NO_DISPLAY_STATUS = 3;
    // Exit status of a --user-folder start that finds no settings to run
    // with, in the folder or to copy there; nothing is run.
    static constexpr int NO_SETTINGS_STATUS = 4;

    CommandLine(int argc, const char* const* argv);

    eAction m_eAction = ACTION_RUN;
    bool m_bUnattended = false;
    // run in the user's own working folder, prepared on first use
    bool m_bUserFolder = false;
    // what was wrong, for ACTION_USAGE_ERROR
    std::string m_sError;

    static std::string usage();
    static std::string versionText();
    // "update downloaded and finalized" for 1, and so on.
    static std::string describeReturnCode(int returnCode);
    // Says on stderr (and in the log, when there is one) that the dialog
    // needs a display or --unattended; returns NO_DISPLAY_STATUS.
    static int reportNoDisplay();
};

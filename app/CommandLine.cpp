// The command line is part of the design's QorDownloader source file.
#define QOR_LOG_SOURCE_FILE "QorDownloader.cpp"

#include "app/CommandLine.h"

#include "app/ReturnCode.h"
#include "logging/AppLogger.h"
#include "resources/Translation.h"

#include <filesystem>
#include <iostream>

#include <string_view>

namespace
{
struct ReturnCodeText
{
    int code;
    const char* text;
};

const ReturnCodeText RETURN_CODE_TEXTS[] = {
    {ReturnCode::RC_SUCCESS, QOR_N_("update downloaded and finalized")},
    {ReturnCode::RC_NOT_SET, QOR_N_("ended without recording an outcome")},
    {ReturnCode::RC_CONFIRMATION_REFUSED, QOR_N_("download not confirmed")},
    {ReturnCode::RC_PROXY_CANCELED, QOR_N_("proxy credentials dialog canceled")},
    {ReturnCode::RC_USER_CANCELED, QOR_N_("download canceled by the user")},
    {ReturnCode::RC_ALREADY_RUNNING, QOR_N_("another copy is already running")},
    {ReturnCode::RC_DOWNLOAD_FAILED,
     QOR_N_("finding, downloading or finalizing the update failed")},
};
// "  -10   246   another copy is already running"
std::string exitCodeLine(int code, const char* meaning)
{
    std::string line = "  " + std::to_string(code);
    line.resize(8, ' ');
    line += std::to_string(code & 0xFF);
    line.resize(14, ' ');
    return line + qorTr(meaning) + "\n";
}
} // namespace

CommandLine::CommandLine(int argc, const char* const* argv)
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string_view argument = argv[i] != nullptr ? argv[i] : "";
        if (argument == "--unattended")
        {
            m_bUnattended = true;
        }
        else if (argument == "--user-folder")
        {
            m_bUserFolder = true;
        }
        else if (argument == "--help" || argument == "-h")
        {
            help = true;
        }
        else if (argument == "--version")
        {
            version = true;
        }
        else
        {
            m_eAction = ACTION_USAGE_ERROR;
            m_sError = argument.starts_with("-")
                           ? qorTrFormat("unknown option '%s'", std::string(argument))
                           : qorTrFormat("unexpected argument '%s'", std::string(argument));
            return;
        }
    }
    if (help)
    {
        m_eAction = ACTION_HELP;
    }
    else if (version)
    {
        m_eAction = ACTION_VERSION;
    }
}

std::string CommandLine::versionText()
{
    return std::string("qordownloader ") + QOR_PROJECT_VERSION;
}

std::string CommandLine::describeReturnCode(int returnCode)
{
    for (const ReturnCodeText& entry : RETURN_CODE_TEXTS)
    {
        if (entry.code == returnCode)
        {
            return qorTr(entry.text);
        }
    }
    return qorTr("unknown outcome");
}

int CommandLine::reportNoDisplay()
{
    const char* const text =
        QOR_N_("cannot show the download dialog: no display (DISPLAY and "
               "WAYLAND_DISPLAY are not usable); run 'qordownloader --unattended' to "
               "download without a window");
    std::cerr << "qordownloader: " << qorTr(text) << std::endl;
    // only where logging is set up: log4cxx would complain on stderr instead
    std::error_code error;
    if (std::filesystem::exists(qorlog::CONFIG_FILE_STEM + qorlog::CONFIG_FILE_EXTENSION, error))
    {
        QOR_LOG_ERROR("No display: " << text);
    }
    return NO_DISPLAY_STATUS;
}

std::string CommandLine::usage()
{
    std::string text =
        qorTr("Usage: qordownloader [--unattended]\n"
              "       qordownloader --user-folder [--unattended]\n"
              "       qordownloader --help | --version\n"
              "\n"
              "Fetches one update of the Orvane suite with the update-client library\n"
              "(libPelvane.so by default) and moves it to its destination folder.\n"
              "\n"
              "Options:\n"
              "  --unattended  run without any window (no display needed): answer the\n"
              "                confirmation with Yes, use the stored proxy credentials,\n"
              "                print the progress, the reason of a failure and the\n"
              "                outcome to standard output; SIGTERM or SIGINT stop the\n"
              "                download like a confirmed cancel (exit code -3)\n"
              "  --user-folder run in your own working folder (below), made on the\n"
              "                first run with the administrator's settings from\n"
              "                /etc/qordownloader; the desktop entry starts it this way\n"
              "  --help        show this text and exit\n"
              "  --version     show the program version and exit\n"
              "\n"
              "Files read from the working directory (with --user-folder:\n"
              "$XDG_STATE_HOME/qordownloader, by default ~/.local/state/qordownloader):\n"
              "  QorDownloader.ini     CONFIG, UPDATE and PROXY settings; the proxy user\n"
              "                        name and scrambled password are written back here\n"
              "  UpdInter.ini          KARVO settings of the update client\n"
              "  LogQorDownloader.xml  log4cxx configuration (logging is off without it)\n"
              "\n"
              "Exit codes (the value, then the status a shell sees):\n");
    for (const ReturnCodeText& entry : RETURN_CODE_TEXTS)
    {
        text += exitCodeLine(entry.code, entry.text);
    }
    text += exitCodeLine(USAGE_ERROR_STATUS, QOR_N_("command line not understood (no run)"));
    text += exitCodeLine(NO_DISPLAY_STATUS,
                         QOR_N_("no display for the dialog and no --unattended (no run)"));
    text += exitCodeLine(NO_SETTINGS_STATUS,
                         QOR_N_("--user-folder found no settings, nor any to copy (no run)"));
    text += qorTr("\n"
                  "Environment:\n"
                  "  QORDOWNLOADER_LOCK_DIR  folder of the single-instance lock file\n"
                  "                          (default /tmp, shared by all users)\n"
                  "  QORDOWNLOADER_ETC_DIR   the administrator's settings that --user-folder\n"
                  "                          copies (default /etc/qordownloader)\n"
                  "  http_proxy, https_proxy, all_proxy  proxy to use; without them the\n"
                  "                          desktop's proxy settings (GNOME) are read\n");
    return text;
}

// The two workers belong to the download dialog in the design; their log
// lines say so.
#define QOR_LOG_SOURCE_FILE "QorDownloaderDlg.cpp"

#include "workflow/RunWorkers.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "config/ServerPasswordScope.h"
#include "logging/AppLogger.h"
#include "platform/FileSystem.h"
#include "platform/LastError.h"
#include "tools/DirectoryTree.h"
#include "tools/UnicodeFile.h"
#include "updclient/UpdInterErrors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cwctype>
#include <filesystem>

namespace
{
constexpr int PROGRESS_STEP = 10;
// what KeepArchives must read, exactly, for the library to drop its archives
const std::wstring KEEP_ARCHIVES_NO_TEXT = L"0";

std::wstring iniValue(C_IniFileTools& ini, const wchar_t* file, const wchar_t* section,
                      const wchar_t* key)
{
    return ini.getWstring(file, section, key, L"");
}

// text is word in any case; word is written in lower case
bool equalsIgnoringCase(const std::wstring& text, const std::wstring& word)
{
    return std::equal(
        text.begin(), text.end(), word.begin(), word.end(),
        [](wchar_t a, wchar_t lower)
        { return std::towlower(static_cast<wint_t>(a)) == static_cast<wint_t>(lower); });
}

// After an erase that reported success: true when the folder is really
// empty now (through a top-level link too) or not there at all; otherwise
// error tells why it is not.
bool extractIsEmptied(const std::wstring& extract, unsigned long& error)
{
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::path path(wstringToString(extract, CP_ACP));
    const fs::file_status status = fs::status(path, code);
    if (!fs::exists(status))
    {
        // nothing to erase counts as erased, as it always has; a dangling
        // link is something that was not erased
        error = ENOENT;
        return fs::symlink_status(path, code).type() == fs::file_type::not_found;
    }
    if (!fs::is_directory(status))
    {
        error = ENOTDIR;
        return false;
    }
    if (!fs::is_empty(path, code) || code)
    {
        error = code ? static_cast<unsigned long>(code.value()) : ENOTEMPTY;
        return false;
    }
    return true;
}

void eraseExtract(const std::wstring& extract)
{
    unsigned long error = 0;
    bool erased = eraseTree(extract, true);
    if (!erased)
    {
        error = platform::getLastError();
    }
    else if (!extractIsEmptied(extract, error))
    {
        // the erase could not reach what is there (a file, a link it does
        // not follow): nothing was erased, whatever it answered
        erased = false;
    }
    if (erased)
    {
        QOR_LOG_INFO("Directory erased: " << extract);
        return;
    }
    QOR_LOG_WARN("Error when erasing directory: " << extract);
    QOR_LOG_WARN("Delete error: " << error);
}

void removeFlagFile(const std::wstring& flagFile)
{
    // the flag file is a file: a folder of that name is left alone
    if (platform::FileSystem::removeFile(wstringToString(flagFile, CP_ACP)))
    {
        QOR_LOG_INFO("FlagFile erased: " << flagFile);
        return;
    }
    const unsigned long error = platform::getLastError();
    QOR_LOG_WARN("Error when erasing FlagFile: " << flagFile);
    QOR_LOG_WARN("Delete error: " << error);
}

// initUpdInterEx with the thirteen texts in the ANSI code page and the fixed values
void initUpdInter(const UpdInterFct& updInter, const FindUpdateArguments& arguments)
{
    const auto narrow = [](const std::wstring& text) { return wstringToString(text, CP_ACP); };
    const std::string key = narrow(arguments.key);
    const std::string productCode = narrow(arguments.productCode);
    const std::string statsUrl = narrow(arguments.statsUrl);
    const std::string extract = narrow(arguments.extract);
    const std::string target = narrow(arguments.target);
    const std::string flagFile = narrow(arguments.flagFile);
    const std::string userProxy = narrow(arguments.userProxy);
    const std::string pswdProxy = narrow(arguments.pswdProxy);
    const std::string url = narrow(arguments.url);
    const std::string notesPswd = narrow(arguments.notesPswd);
    const std::string application = narrow(arguments.application);
    const std::string language = narrow(arguments.language);
    const std::string version = narrow(arguments.version);
    const std::int32_t keep = arguments.keepArchives == KEEP_ARCHIVES_NO_TEXT
                                  ? UPDINTER_KEEP_ARCHIVES_NO
                                  : UPDINTER_KEEP_ARCHIVES_YES;
    updInter.initUpdInterEx(key.c_str(), productCode.c_str(), statsUrl.c_str(), keep,
                            extract.c_str(), target.c_str(), flagFile.c_str(), userProxy.c_str(),
                            pswdProxy.c_str(), url.c_str(), notesPswd.c_str(), application.c_str(),
                            language.c_str(), version.c_str(), UPDINTER_CONNECT_TIMEOUT_MS,
                            UPDINTER_STALL_TIMEOUT_MS, "", "");
}

// getVersionInfo of the first update into versionText; the notes and the
// three counts are not read afterwards
void getVersionInfo(const UpdInterFct& updInter,
                    std::array<char, UPDINTER_VERSION_BUFFER_BYTES>& versionText)
{
    std::array<char, UPDINTER_NOTES_BUFFER_BYTES> notesText{};
    std::int32_t fileCount = 0;
    std::int32_t sizeKiB = 0;
    std::int32_t updateCount = 0;
    updInter.getVersionInfo(0, versionText.data(), UPDINTER_VERSION_BUFFER_BYTES - 1,
                            notesText.data(), UPDINTER_NOTES_BUFFER_BYTES - 1, &fileCount, &sizeKiB,
                            &updateCount);
}

// After a library call of the find step: the outcome goes to the run, the
// bar moves on, and the worker decides on what it read itself.
UpdInterResult afterLibraryCall(const UpdInterFct& updInter, WorkerDoor& door)
{
    const UpdInterResult result = UpdInterResult::read(updInter);
    door.setDownloadStatus(result);
    door.offsetPos(PROGRESS_STEP);
    return result;
}

// The built-in NotesPswd only for the built-in server's hosts: a URL of
// other hosts that a file gave gets no built-in password (said once why).
std::wstring scopedNotesPassword(const C_IniFileTools& ini, const std::wstring& url,
                                 const std::wstring& notesPswd)
{
    using namespace ConfigKeys;
    const std::wstring builtIn = ini.builtInValue(UPDINTER_INI_FILE, SECTION_KARVO, KEY_NOTES_PSWD);
    if (notesPswd.empty() || notesPswd != builtIn)
    {
        return notesPswd; // configured with the URL it is meant for
    }
    const std::vector<std::wstring> foreign = ServerPasswordScope::foreignHosts(
        url, ini.builtInValue(UPDINTER_INI_FILE, SECTION_KARVO, KEY_URL));
    if (foreign.empty())
    {
        return notesPswd;
    }
    std::wstring hosts;
    for (const std::wstring& host : foreign)
    {
        hosts += (hosts.empty() ? L"" : L" ") + host;
    }
    QOR_LOG_WARN(L"Built-in NotesPswd not sent: it belongs to the built-in update server, and URL "
                 L"names other hosts ("
                 << hosts << L"); set NotesPswd in UpdInter.ini for them");
    return {};
}

unsigned long failWith(WorkerDoor& door, const RunFailure& failure)
{
    door.setFailure(failure);
    return WORKER_FAILURE;
}
} // namespace

FindUpdateArguments FindUpdateArguments::read()
{
    using namespace ConfigKeys;
    C_IniFileTools ini;
    FindUpdateArguments arguments;
    arguments.extract = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_EXTRACT);
    arguments.target = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET);
    arguments.flagFile = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_FLAG_FILE);
    arguments.version = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_VERSION);
    arguments.userProxy = iniValue(ini, OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY);
    arguments.pswdProxy = iniValue(ini, OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY);
    arguments.key = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEY);
    arguments.productCode = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_PRODUCT_CODE);
    arguments.statsUrl = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_STATS_URL);
    if (equalsIgnoringCase(arguments.statsUrl, STATS_URL_OFF))
    {
        QOR_LOG_INFO("Statistics note switched off: " << KEY_STATS_URL << L"="
                                                      << arguments.statsUrl);
        arguments.statsUrl.clear();
    }
    arguments.keepArchives = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEEP_ARCHIVES);
    arguments.url = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_URL);
    arguments.notesPswd = scopedNotesPassword(
        ini, arguments.url, iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_NOTES_PSWD));
    arguments.application = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_APPLICATION);
    arguments.language = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE);
    return arguments;
}

FinalizeUpdateArguments FinalizeUpdateArguments::read()
{
    using namespace ConfigKeys;
    C_IniFileTools ini;
    FinalizeUpdateArguments arguments;
    arguments.target = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET);
    arguments.destPath = iniValue(ini, OWN_INI_FILE, SECTION_CONFIG, KEY_DEST_PATH);
    return arguments;
}

unsigned long threadFindUpdate(const FindUpdateArguments* parameter, UpdInterFct& updInter,
                               WorkerDoor& door)
{
    if (parameter == nullptr)
    {
        QOR_LOG_ERROR("FindUpdate error: null input parameter");
        return WORKER_FAILURE;
    }
    const FindUpdateArguments& arguments = *parameter;
    door.deltaPos(PROGRESS_STEP);

    if (pathExists(arguments.flagFile))
    {
        QOR_LOG_INFO("FlagFile found: " << arguments.flagFile);
        if (arguments.extract.empty())
        {
            // an empty folder name would address the working directory's root
            QOR_LOG_ERROR("No Extract folder configured: erase refused");
            return failWith(
                door, RunFailure::at("flag file", "no Extract folder configured, erase refused"));
        }
        eraseExtract(arguments.extract);
        if (pathExists(arguments.flagFile))
        {
            removeFlagFile(arguments.flagFile);
        }
    }
    else
    {
        QOR_LOG_INFO("No FlagFile: " << arguments.flagFile);
    }
    door.offsetPos(PROGRESS_STEP);

    if (!updInter.initAndLoadLibrary())
    {
        QOR_LOG_ERROR("UpdInter not loaded");
        return failWith(
            door, RunFailure::at("loading the update client library", updInter.loadErrorText()));
    }

    initUpdInter(updInter, arguments);
    UpdInterResult result = afterLibraryCall(updInter, door);
    if (!result.isSuccess())
    {
        QOR_LOG_ERROR("initUpdInter failure");
        return failWith(door, RunFailure::library("initUpdInterEx", result));
    }

    std::int32_t count = UPDINTER_COUNT_UNKNOWN;
    updInter.getVersionCount(&count);
    result = afterLibraryCall(updInter, door);
    if (!result.isSuccess())
    {
        QOR_LOG_ERROR("getVersionCount failure");
        return failWith(door, RunFailure::library("getVersionCount", result));
    }
    if (count < 1)
    {
        QOR_LOG_ERROR("No file to download: " << count);
        return failWith(door,
                        RunFailure::at("getVersionCount", "no newer version to download (count " +
                                                              std::to_string(count) + ")"));
    }

    std::array<char, UPDINTER_VERSION_BUFFER_BYTES> versionText{};
    getVersionInfo(updInter, versionText);
    result = afterLibraryCall(updInter, door);
    if (!result.isSuccess())
    {
        QOR_LOG_ERROR("getVersionInfo failure");
        return failWith(door, RunFailure::library("getVersionInfo", result));
    }

    // the library was given one byte less than the buffer: it stays a terminator
    versionText.back() = '\0';
    QOR_LOG_INFO("downloadUntil: " << versionText.data());
    door.setFoundVersion(versionText.data());
    updInter.downloadUntil(versionText.data());
    return WORKER_SUCCESS;
}

unsigned long threadFinalizeUpdate(const FinalizeUpdateArguments* parameter, WorkerDoor& door)
{
    if (parameter == nullptr)
    {
        QOR_LOG_ERROR("FinalizeUpdate error: null input parameter");
        return WORKER_FAILURE;
    }
    const std::wstring& target = parameter->target;
    const std::wstring& destPath = parameter->destPath;

    bool moved = false;
    if (target.empty() || destPath.empty())
    {
        // an empty name would make the move start from (or merge into) the
        // working directory's root
        QOR_LOG_ERROR((target.empty() ? "No Target configured" : "No DestPath configured")
                      << ": move refused");
        platform::setLastError(EINVAL);
        door.setFailure(
            RunFailure::at("moving Target to DestPath",
                           target.empty() ? "no Target configured" : "no DestPath configured"));
    }
    else
    {
        moved = moveTree(target, destPath);
    }
    if (!moved)
    {
        const unsigned long error = platform::getLastError();
        QOR_LOG_ERROR("FinalizeUpdate failure: " << error);
        if (!target.empty() && !destPath.empty())
        {
            door.setFailure(RunFailure::at("moving " + wstringToString(target, CP_ACP) + " to " +
                                               wstringToString(destPath, CP_ACP),
                                           updinter::describeErrno(error)));
        }
    }
    door.setPos(WorkerDoor::PROGRESS_MAX);
    return moved ? WORKER_SUCCESS : WORKER_FAILURE;
}

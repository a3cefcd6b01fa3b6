// The two workers belong to the download dialog in the design; their log
// lines say so.
#define QOR_LOG_SOURCE_FILE "QorDownloaderDlg.cpp"

// The two worker routines of a run. Each receives the run, reaches the
// front end only through the run's progress operations (which cross onto
// the front end's thread) and reports by its exit code: 1 success, 0
// failure, with the reason of a failure left in the run.
#include "workflow/DownloadRun.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/FileSystem.h"
#include "platform/LastError.h"
#include "tools/DirectoryTree.h"
#include "tools/UnicodeFile.h"
#include "updclient/UpdInterErrors.h"

#include <array>
#include <cerrno>
#include <cstdint>
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
} // namespace

unsigned long threadFindUpdate(void* parameter)
{
    if (parameter == nullptr)
    {
        QOR_LOG_ERROR("FindUpdate error: null input parameter");
        return DownloadRun::WORKER_FAILURE;
    }
    auto* run = static_cast<DownloadRun*>(parameter);
    run->deltaPos(PROGRESS_STEP);

    using namespace ConfigKeys;
    C_IniFileTools ini;
    const std::wstring extract = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_EXTRACT);
    const std::wstring target = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_TARGET);
    const std::wstring flagFile = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_FLAG_FILE);
    const std::wstring version = iniValue(ini, OWN_INI_FILE, SECTION_UPDATE, KEY_VERSION);
    const std::wstring userProxy = iniValue(ini, OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY);
    const std::wstring pswdProxy = iniValue(ini, OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY);
    const std::wstring key = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEY);
    const std::wstring productCode =
        iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_PRODUCT_CODE);
    const std::wstring statsUrl = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_STATS_URL);
    const std::wstring keepArchives =
        iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_KEEP_ARCHIVES);
    const std::wstring url = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_URL);
    const std::wstring notesPswd = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_NOTES_PSWD);
    const std::wstring application =
        iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_APPLICATION);
    const std::wstring language = iniValue(ini, UPDINTER_INI_FILE, SECTION_KARVO, KEY_LANGUAGE);

    if (pathExists(flagFile))
    {
        QOR_LOG_INFO("FlagFile found: " << flagFile);
        if (extract.empty())
        {
            // an empty folder name would address the working directory's root
            QOR_LOG_ERROR("No Extract folder configured: erase refused");
            run->setFailure("flag file", "no Extract folder configured, erase refused");
            return DownloadRun::WORKER_FAILURE;
        }
        eraseExtract(extract);
        if (pathExists(flagFile))
        {
            removeFlagFile(flagFile);
        }
    }
    else
    {
        QOR_LOG_INFO("No FlagFile: " << flagFile);
    }
    run->offsetPos(PROGRESS_STEP);

    UpdInterFct& updInter = run->m_updInterFct;
    if (!updInter.initAndLoadLibrary())
    {
        QOR_LOG_ERROR("UpdInter not loaded");
        run->setFailure("loading the update client library", updInter.loadErrorText());
        return DownloadRun::WORKER_FAILURE;
    }

    const std::string narrowKey = wstringToString(key, CP_ACP);
    const std::string narrowProductCode = wstringToString(productCode, CP_ACP);
    const std::string narrowStatsUrl = wstringToString(statsUrl, CP_ACP);
    const std::string narrowExtract = wstringToString(extract, CP_ACP);
    const std::string narrowTarget = wstringToString(target, CP_ACP);
    const std::string narrowFlagFile = wstringToString(flagFile, CP_ACP);
    const std::string narrowUserProxy = wstringToString(userProxy, CP_ACP);
    const std::string narrowPswdProxy = wstringToString(pswdProxy, CP_ACP);
    const std::string narrowUrl = wstringToString(url, CP_ACP);
    const std::string narrowNotesPswd = wstringToString(notesPswd, CP_ACP);
    const std::string narrowApplication = wstringToString(application, CP_ACP);
    const std::string narrowLanguage = wstringToString(language, CP_ACP);
    const std::string narrowVersion = wstringToString(version, CP_ACP);
    const std::int32_t keep = keepArchives == KEEP_ARCHIVES_NO_TEXT ? UPDINTER_KEEP_ARCHIVES_NO
                                                                    : UPDINTER_KEEP_ARCHIVES_YES;
    updInter.initUpdInterEx(
        narrowKey.c_str(), narrowProductCode.c_str(), narrowStatsUrl.c_str(), keep,
        narrowExtract.c_str(), narrowTarget.c_str(), narrowFlagFile.c_str(),
        narrowUserProxy.c_str(), narrowPswdProxy.c_str(), narrowUrl.c_str(),
        narrowNotesPswd.c_str(), narrowApplication.c_str(), narrowLanguage.c_str(),
        narrowVersion.c_str(), UPDINTER_CONNECT_TIMEOUT_MS, UPDINTER_STALL_TIMEOUT_MS, "", "");
    run->setDownloadStatus();
    run->offsetPos(PROGRESS_STEP);
    if (run->m_iResultUpdInter != UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_ERROR("initUpdInter failure");
        run->setLibraryFailure("initUpdInterEx");
        return DownloadRun::WORKER_FAILURE;
    }

    std::int32_t count = UPDINTER_COUNT_UNKNOWN;
    updInter.getVersionCount(&count);
    run->setDownloadStatus();
    run->offsetPos(PROGRESS_STEP);
    if (run->m_iResultUpdInter != UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_ERROR("getVersionCount failure");
        run->setLibraryFailure("getVersionCount");
        return DownloadRun::WORKER_FAILURE;
    }
    if (count < 1)
    {
        QOR_LOG_ERROR("No file to download: " << count);
        run->setFailure("getVersionCount",
                        "no newer version to download (count " + std::to_string(count) + ")");
        return DownloadRun::WORKER_FAILURE;
    }

    std::array<char, UPDINTER_VERSION_BUFFER_BYTES> versionText{};
    std::array<char, UPDINTER_NOTES_BUFFER_BYTES> notesText{};
    std::int32_t fileCount = 0;
    std::int32_t sizeKiB = 0;
    std::int32_t updateCount = 0;
    updInter.getVersionInfo(0, versionText.data(), UPDINTER_VERSION_BUFFER_BYTES - 1,
                            notesText.data(), UPDINTER_NOTES_BUFFER_BYTES - 1, &fileCount, &sizeKiB,
                            &updateCount);
    run->setDownloadStatus();
    run->offsetPos(PROGRESS_STEP);
    if (run->m_iResultUpdInter != UPDINTER_RESULT_SUCCESS)
    {
        QOR_LOG_ERROR("getVersionInfo failure");
        run->setLibraryFailure("getVersionInfo");
        return DownloadRun::WORKER_FAILURE;
    }

    // the library was given one byte less than the buffer: it stays a terminator
    versionText.back() = '\0';
    QOR_LOG_INFO("downloadUntil: " << versionText.data());
    run->setFoundVersion(versionText.data());
    updInter.downloadUntil(versionText.data());
    return DownloadRun::WORKER_SUCCESS;
}

unsigned long threadFinalizeUpdate(void* parameter)
{
    if (parameter == nullptr)
    {
        QOR_LOG_ERROR("FinalizeUpdate error: null input parameter");
        return DownloadRun::WORKER_FAILURE;
    }
    auto* run = static_cast<DownloadRun*>(parameter);

    C_IniFileTools ini;
    const std::wstring target =
        iniValue(ini, ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_UPDATE, ConfigKeys::KEY_TARGET);
    const std::wstring destPath = iniValue(ini, ConfigKeys::OWN_INI_FILE,
                                           ConfigKeys::SECTION_CONFIG, ConfigKeys::KEY_DEST_PATH);
    run->setDestPath(destPath);

    bool moved = false;
    if (target.empty() || destPath.empty())
    {
        // an empty name would make the move start from (or merge into) the
        // working directory's root
        QOR_LOG_ERROR((target.empty() ? "No Target configured" : "No DestPath configured")
                      << ": move refused");
        platform::setLastError(EINVAL);
        run->setFailure("moving Target to DestPath",
                        target.empty() ? "no Target configured" : "no DestPath configured");
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
            run->setFailure("moving " + wstringToString(target, CP_ACP) + " to " +
                                wstringToString(destPath, CP_ACP),
                            updinter::describeErrno(error));
        }
    }
    run->setPos(DownloadRun::PROGRESS_MAX);
    return moved ? DownloadRun::WORKER_SUCCESS : DownloadRun::WORKER_FAILURE;
}
